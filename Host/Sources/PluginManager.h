#pragma once

#include "HostServices.h"
#include "RestTypes.h"

#include <Plugins/KestrumPluginInterface.h>

#include <boost/regex.hpp>
#include <json/value.h>

#include <map>
#include <mutex>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

namespace KestrumHost
{
  /**
   * Loads plug-ins (dlopen), calls their entry points and serves their calls to
   * InvokeService. Holds what they register: REST routes (tried in registration
   * order), change callbacks and properties.
   */
  class PluginManager
  {
  private:
    struct Plugin
    {
      PluginManager* manager = nullptr;
      std::string path;
      std::string name;
      std::string version;
      void* handle = nullptr;
      KestrumPluginInitializeFunction initialize = nullptr;
      KestrumPluginFinalizeFunction finalize = nullptr;
      bool initialized = false;
      KestrumPluginContext context;
    };

    struct Route
    {
      std::string expression;
      boost::regex regex;
      KestrumRestCallback callback;
    };

    IHostServices& services_;
    std::string hostVersion_;
    std::vector<std::unique_ptr<Plugin>> plugins_;

    mutable std::shared_mutex registrationsMutex_;
    std::vector<Route> routes_;
    std::vector<KestrumOnChangeCallback> changeCallbacks_;
    std::map<std::string, std::map<int32_t, std::string>> properties_;  // plug-in name -> property -> value

    void LoadOne(const std::string& path);
    KestrumErrorCode Invoke(Plugin& plugin, int32_t service, const void* params);
    KestrumErrorCode InvokeRest(KestrumHttpMethod method, const char* uri, const void* body, uint32_t bodySize,
                                bool withPlugins, KestrumMemoryBuffer* target);
    KestrumErrorCode InvokeHttpClient(const _KestrumCallHttpClient& params);

    static KestrumErrorCode InvokeServiceEntry(KestrumPluginContext* context, int32_t service, const void* params);

  public:
    PluginManager(IHostServices& services, const std::string& hostVersion);
    ~PluginManager();

    PluginManager(const PluginManager&) = delete;
    PluginManager& operator=(const PluginManager&) = delete;

    /** Loads each path: a shared library, or a folder whose ".so" files are loaded. Throws HostError. */
    void Load(const std::vector<std::string>& paths);

    /** Initializes every plug-in in order; false (after logging) when one refuses. */
    bool InitializeAll();

    /** Finalizes the initialized plug-ins in reverse order. */
    void FinalizeAll();

    /** Tries the registered routes in order; true when one matched (the answer is then filled). */
    bool HandleRoute(const RestRequest& request, RestAnswer& answer) const;

    /** Calls every change callback, on the caller's thread. */
    void NotifyChange(int32_t changeType, int32_t resourceType, const std::string& resourceId) const;

    std::vector<std::string> ListPluginNames() const;

    /** {"ID", "Version", "Description", "RootUri", "ExplorerExtension"?, "Path"}; false when unknown. */
    bool DescribePlugin(const std::string& name, Json::Value& description) const;

    /** Every plug-in's explorer extension, concatenated. */
    std::string GetExplorerExtensions() const;

    /** The plug-ins' root pages: name -> root URI (only those that set one). */
    std::map<std::string, std::string> GetRootUris() const;
  };

  /** Splits "path?query" and percent-decodes both parts into a request. */
  void ParseUri(const std::string& uri, RestRequest& request);

  std::string PercentDecode(const std::string& text, bool plusIsSpace);
}
