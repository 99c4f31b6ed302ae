#pragma once

#include "../Destinations/DestinationRegistry.h"
#include "../HostBridge/HostBridge.h"
#include "../Synchronization/DeliveryLedger.h"
#include "../Synchronization/PluginState.h"

#include <json/value.h>

namespace QuelbyCloud
{
  /** The destination and the options the user chooses: listed, tested, connected, stored. */
  class ConnectionService
  {
  private:
    const HostBridge& host_;
    const DestinationRegistry& destinations_;
    PluginState& state_;
    DeliveryLedger& ledger_;

    // ParameterOutOfRange, logged, when the kind refuses the parameters.
    ServerConfiguration Configure(const DestinationParameters& parameters) const;

  public:
    ConnectionService(const HostBridge& host, const DestinationRegistry& destinations, PluginState& state,
                      DeliveryLedger& ledger) :
      host_(host), destinations_(destinations), state_(state), ledger_(ledger)
    {
    }

    /** Every kind with its description, primary flag and parameters, in registration order. */
    Json::Value ListDestinations() const;

    /**
     * {"success"}, or {"success": false, "error"} when the kind refuses the
     * parameters. A failed test is kept, with its cause, for the delivery
     * route. No lock is held while the server is contacted.
     */
    Json::Value TestConnection(const DestinationParameters& parameters);

    /** Makes the configured server the active one; what is owed goes to it at once, the failed list is emptied. */
    void Connect(const DestinationParameters& parameters);

    /** No server is active any more: nothing is owed or failed. */
    void Disconnect();

    void SetOptions(const PluginState::Options& options);
  };
}
