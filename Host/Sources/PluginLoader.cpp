#include "PluginLoader.h"

#include "HostError.h"
#include "HostLog.h"
#include "ServiceDispatcher.h"

#include <algorithm>
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>

namespace KestrumHost
{
  namespace
  {
    bool IsDirectory(const std::string& path)
    {
      std::error_code error;
      return std::filesystem::is_directory(path, error);
    }

    bool EndsWith(const std::string& text, const std::string& suffix)
    {
      return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
    }

    /** The folder's ".so" files, sorted: the load order must not depend on the file system. */
    std::vector<std::string> ListLibraries(const std::string& folder)
    {
      std::vector<std::string> libraries;
      std::error_code error;
      for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end;
           entry.increment(error))
      {
        const std::string name = entry->path().filename().string();
        if (EndsWith(name, ".so") && !IsDirectory(folder + "/" + name))
        {
          libraries.push_back(folder + "/" + name);
        }
      }
      std::sort(libraries.begin(), libraries.end());
      return libraries;
    }

    template <typename Function>
    Function Resolve(void* handle, const char* symbol)
    {
      return reinterpret_cast<Function>(dlsym(handle, symbol));
    }

    /** The context's InvokeService: the plug-in's calls reach its dispatcher under its name. */
    KestrumErrorCode InvokeService(KestrumPluginContext* context, int32_t service, const void* params)
    {
      if (context == nullptr || context->pluginsManager == nullptr)
      {
        return Kestrum::ErrorCode_NullPointer;
      }
      const LoadedPlugin& plugin = *static_cast<const LoadedPlugin*>(context->pluginsManager);
      return plugin.services->Invoke(plugin.name, service, params);
    }
  }

  PluginLoader::PluginLoader(const std::string& hostVersion, ServiceDispatcher& services) :
    hostVersion_(hostVersion),
    services_(services)
  {
  }

  void PluginLoader::Load(const std::vector<std::string>& paths)
  {
    for (const std::string& path : paths)
    {
      if (IsDirectory(path))
      {
        for (const std::string& library : ListLibraries(path))
        {
          LoadPlugin(library);
        }
      }
      else
      {
        LoadPlugin(path);
      }
    }
  }

  void PluginLoader::LoadPlugin(const std::string& path)
  {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr)
    {
      const char* error = dlerror();
      throw HostError(Kestrum::ErrorCode_SharedLibrary,
                      "Cannot load the plug-in " + path + ": " + (error ? error : "unknown error"));
    }

    auto plugin = std::make_unique<LoadedPlugin>();
    plugin->path = path;
    plugin->initialize = Resolve<KestrumPluginInitializeFunction>(handle, "KestrumPluginInitialize");
    plugin->finalize = Resolve<KestrumPluginFinalizeFunction>(handle, "KestrumPluginFinalize");
    auto getName = Resolve<KestrumPluginGetNameFunction>(handle, "KestrumPluginGetName");
    auto getVersion = Resolve<KestrumPluginGetVersionFunction>(handle, "KestrumPluginGetVersion");
    if (!plugin->initialize || !plugin->finalize || !getName || !getVersion)
    {
      throw HostError(Kestrum::ErrorCode_SharedLibrary,
                      "The shared library " + path + " is not a plug-in: an entry point is missing");
    }
    const char* name = getName();
    const char* version = getVersion();
    plugin->name = (name ? name : "");
    plugin->version = (version ? version : "");
    if (plugin->name.empty())
    {
      throw HostError(Kestrum::ErrorCode_SharedLibrary, "The plug-in " + path + " has no name");
    }
    for (const auto& other : plugins_)
    {
      if (other->name == plugin->name)
      {
        throw HostError(Kestrum::ErrorCode_SharedLibrary,
                        "Two plug-ins are named \"" + plugin->name + "\": " + other->path + " and " + path);
      }
    }

    plugin->services = &services_;
    plugin->context.pluginsManager = plugin.get();
    plugin->context.kestrumVersion = hostVersion_.c_str();
    plugin->context.Free = &std::free;
    plugin->context.InvokeService = &InvokeService;

    LogInfo("Loaded plug-in \"" + plugin->name + "\" version " + plugin->version + " from " + path);
    plugins_.push_back(std::move(plugin));
  }

  bool PluginLoader::InitializeAll()
  {
    for (auto& plugin : plugins_)
    {
      int32_t result = plugin->initialize(&plugin->context);
      if (result != Kestrum::ErrorCode_Success)
      {
        LogError("The plug-in \"" + plugin->name + "\" failed to initialize (code " + std::to_string(result) +
                 ": " + Kestrum::DescribeErrorCode(result) + ")");
        return false;
      }
      plugin->initialized = true;
      LogInfo("Initialized plug-in \"" + plugin->name + "\"");
    }
    return true;
  }

  void PluginLoader::FinalizeAll()
  {
    for (auto it = plugins_.rbegin(); it != plugins_.rend(); ++it)
    {
      if ((*it)->initialized)
      {
        (*it)->finalize();
        (*it)->initialized = false;
        LogInfo("Finalized plug-in \"" + (*it)->name + "\"");
      }
    }
  }
}
