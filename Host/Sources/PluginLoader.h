#pragma once

#include <Plugins/KestrumPluginInterface.h>

#include <memory>
#include <string>
#include <vector>

namespace KestrumHost
{
  class ServiceDispatcher;

  /** One loaded plug-in: where it came from, its entry points and the context handed to it. */
  struct LoadedPlugin
  {
    std::string path;
    std::string name;
    std::string version;
    KestrumPluginInitializeFunction initialize = nullptr;
    KestrumPluginFinalizeFunction finalize = nullptr;
    bool initialized = false;
    ServiceDispatcher* services = nullptr;
    KestrumPluginContext context{};
  };

  /**
   * Loads plug-ins (dlopen) and calls their entry points: initialization in
   * load order, finalization in reverse order. Each plug-in's context sends its
   * service calls to the dispatcher under the plug-in's name. Libraries stay
   * mapped until the process ends: a plug-in's static objects may still run at exit.
   */
  class PluginLoader
  {
  private:
    std::string hostVersion_;
    ServiceDispatcher& services_;
    std::vector<std::unique_ptr<LoadedPlugin>> plugins_;

    void LoadPlugin(const std::string& path);

  public:
    PluginLoader(const std::string& hostVersion, ServiceDispatcher& services);

    PluginLoader(const PluginLoader&) = delete;
    PluginLoader& operator=(const PluginLoader&) = delete;

    /** Loads each path: a shared library, or a folder whose ".so" files are loaded. Throws HostError. */
    void Load(const std::vector<std::string>& paths);

    /** Initializes every plug-in in order; false (after logging) when one refuses. */
    bool InitializeAll();

    /** Finalizes the initialized plug-ins in reverse order. */
    void FinalizeAll();

    /** In load order. */
    const std::vector<std::unique_ptr<LoadedPlugin>>& GetPlugins() const { return plugins_; }
  };
}
