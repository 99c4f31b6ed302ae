#pragma once

#include "IDestinationConfigurator.h"

#include <boost/thread/mutex.hpp>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace QuelbyCloud
{
  /**
   * The kinds of destination under their identifiers. Its operations take no
   * lock: each caller holds GetMutex() around its whole sequence of calls.
   */
  class DestinationRegistry
  {
  private:
    boost::mutex mutex_;
    std::map<std::string, std::unique_ptr<IDestinationConfigurator> > kinds_;
    std::vector<std::string> order_;

  public:
    DestinationRegistry() = default;
    DestinationRegistry(const DestinationRegistry&) = delete;
    DestinationRegistry& operator=(const DestinationRegistry&) = delete;

    /** The process-wide registry, created on first use. */
    static DestinationRegistry& GetInstance();

    boost::mutex& GetMutex() { return mutex_; }

    /** Takes ownership. Null: code 35; a known identifier or a parameter keyed "id": code 3 (the configurator is destroyed). */
    void Register(const std::string& identifier, std::unique_ptr<IDestinationConfigurator> configurator);

    /** The configurator stays owned by the registry; code 3 for an unknown identifier. */
    IDestinationConfigurator& Lookup(const std::string& identifier) const;

    /** Clears the target, then lists the identifiers in registration order. */
    void ListIdentifiers(std::vector<std::string>& target) const;
  };


  /**
   * Turns a user's parameters into a server configuration through the kind
   * named by their "id" (code 9 when absent, code 3 when unknown). Takes the
   * registry's mutex itself.
   */
  bool ConfigureFromParameters(DestinationRegistry& registry,
                               ServerConfiguration& target,
                               std::string& error,
                               const DestinationParameters& parameters);

  /** The same on the process-wide registry. */
  bool ConfigureFromParameters(ServerConfiguration& target,
                               std::string& error,
                               const DestinationParameters& parameters);
}
