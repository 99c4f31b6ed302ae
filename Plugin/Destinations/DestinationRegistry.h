#pragma once

#include "IDestinationConfigurator.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace QuelbyCloud
{
  /**
   * The kinds of destination under their identifiers. Filled while the
   * plug-in is built, before the host can call any route, and only read
   * afterwards: it needs no lock.
   */
  class DestinationRegistry
  {
  private:
    std::map<std::string, std::unique_ptr<IDestinationConfigurator>> kinds_;
    std::vector<std::string> order_;

  public:
    DestinationRegistry() = default;
    DestinationRegistry(const DestinationRegistry&) = delete;
    DestinationRegistry& operator=(const DestinationRegistry&) = delete;

    /** Takes ownership. Null: NullPointer; a known identifier or a parameter keyed "id": ParameterOutOfRange. */
    void Register(const std::string& identifier, std::unique_ptr<IDestinationConfigurator> configurator);

    /** The configurator stays owned by the registry; ParameterOutOfRange for an unknown identifier. */
    const IDestinationConfigurator& Lookup(const std::string& identifier) const;

    /** The identifiers in registration order. */
    const std::vector<std::string>& ListIdentifiers() const { return order_; }

    /**
     * Turns a user's parameters into a server configuration through the kind
     * named by their "id" (NetworkProtocol when absent, ParameterOutOfRange when unknown); a
     * configured server carries the kind's description as public parameter.
     */
    ConfigurationResult Configure(const DestinationParameters& parameters) const;
  };
}
