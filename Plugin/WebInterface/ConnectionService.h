#pragma once

#include "../Destinations/DestinationRegistry.h"
#include "../HostBridge/HostBridge.h"
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

    // ParameterOutOfRange, logged, when the kind refuses the parameters.
    ServerConfiguration Configure(const DestinationParameters& parameters) const;

  public:
    ConnectionService(const HostBridge& host, const DestinationRegistry& destinations, PluginState& state) :
      host_(host), destinations_(destinations), state_(state)
    {
    }

    /** Every kind with its description, primary flag and parameters, in registration order. */
    Json::Value ListDestinations() const;

    /** {"success"}, or {"success": false, "error"} when the kind refuses the parameters. No lock is held. */
    Json::Value TestConnection(const DestinationParameters& parameters) const;

    /** Makes the configured server the active one. */
    void Connect(const DestinationParameters& parameters);

    void Disconnect();

    void SetOptions(const PluginState::Options& options);
  };
}
