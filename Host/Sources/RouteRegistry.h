#pragma once

#include "RestTypes.h"

#include <Plugins/KestrumPluginInterface.h>

#include <boost/regex.hpp>

#include <map>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

namespace KestrumHost
{
  /**
   * What the plug-ins register: REST routes (tried in registration order),
   * change callbacks and plug-in properties. Registrations may come from any
   * thread. Callbacks run without the registry's lock, since they call back
   * into the host, and may register more.
   */
  class RouteRegistry
  {
  private:
    struct Route
    {
      boost::regex regex;
      KestrumRestCallback callback;
    };

    mutable std::shared_mutex mutex_;
    std::vector<Route> routes_;
    std::vector<KestrumOnChangeCallback> changeCallbacks_;
    std::map<std::string, std::map<int32_t, std::string>> properties_;  // plug-in name -> property -> value

    /** The callback of the first route that matches the whole path, and the groups it captured. */
    std::optional<KestrumRestCallback> FindRoute(const std::string& path, std::vector<std::string>& groups) const;

  public:
    /** False (nothing registered) when the expression is not a regular expression. */
    bool AddRoute(const std::string& expression, KestrumRestCallback callback);

    void AddChangeCallback(KestrumOnChangeCallback callback);

    void SetProperty(const std::string& plugin, int32_t property, const std::string& value);

    std::optional<std::string> GetProperty(const std::string& plugin, int32_t property) const;

    /** Calls the first matching route; true when one matched (the answer is then filled). */
    bool HandleRoute(const RestRequest& request, RestAnswer& answer) const;

    /** Calls every change callback, on the caller's thread. */
    void NotifyChange(int32_t changeType, int32_t resourceType, const std::string& resourceId) const;
  };
}
