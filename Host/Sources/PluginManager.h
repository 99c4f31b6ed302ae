#pragma once

#include "HostServices.h"
#include "PluginLoader.h"
#include "RestTypes.h"
#include "RouteRegistry.h"
#include "ServiceDispatcher.h"

#include <json/value.h>

#include <map>
#include <string>
#include <vector>

namespace KestrumHost
{
  /**
   * The plug-ins as the rest of the host sees them: the loader that runs their
   * entry points, the dispatcher that serves their calls, and the registry of
   * what they registered.
   */
  class PluginManager
  {
  private:
    RouteRegistry registry_;
    ServiceDispatcher dispatcher_;
    PluginLoader loader_;

  public:
    PluginManager(IHostServices& services, const std::string& hostVersion);

    PluginManager(const PluginManager&) = delete;
    PluginManager& operator=(const PluginManager&) = delete;

    /** Loads each path: a shared library, or a folder whose ".so" files are loaded. Throws HostError. */
    void Load(const std::vector<std::string>& paths) { loader_.Load(paths); }

    /** Initializes every plug-in in order; false (after logging) when one refuses. */
    bool InitializeAll() { return loader_.InitializeAll(); }

    /** Finalizes the initialized plug-ins in reverse order. */
    void FinalizeAll() { loader_.FinalizeAll(); }

    /** Tries the registered routes in order; true when one matched (the answer is then filled). */
    bool HandleRoute(const RestRequest& request, RestAnswer& answer) const
    {
      return registry_.HandleRoute(request, answer);
    }

    /** Calls every change callback, on the caller's thread. */
    void NotifyChange(int32_t changeType, int32_t resourceType, const std::string& resourceId) const
    {
      registry_.NotifyChange(changeType, resourceType, resourceId);
    }

    std::vector<std::string> ListPluginNames() const;

    /** {"ID", "Version", "Path", and "Description", "RootUri", "ExtendsKestrumExplorer" when set}; false when unknown. */
    bool DescribePlugin(const std::string& name, Json::Value& description) const;

    /** Every plug-in's explorer extension, concatenated. */
    std::string GetExplorerExtensions() const;

    /** The plug-ins' root pages: name -> root URI (only those that set one). */
    std::map<std::string, std::string> GetRootUris() const;
  };
}
