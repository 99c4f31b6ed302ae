#include "PluginManager.h"

namespace KestrumHost
{
  PluginManager::PluginManager(IHostServices& services, const std::string& hostVersion) :
    dispatcher_(services, registry_),
    loader_(hostVersion, dispatcher_)
  {
  }

  std::vector<std::string> PluginManager::ListPluginNames() const
  {
    std::vector<std::string> names;
    for (const auto& plugin : loader_.GetPlugins())
    {
      names.push_back(plugin->name);
    }
    return names;
  }

  bool PluginManager::DescribePlugin(const std::string& name, Json::Value& description) const
  {
    for (const auto& plugin : loader_.GetPlugins())
    {
      if (plugin->name != name)
      {
        continue;
      }
      description = Json::Value(Json::objectValue);
      description["ID"] = plugin->name;
      description["Version"] = plugin->version;
      description["Path"] = plugin->path;
      if (auto text = registry_.GetProperty(name, KestrumProperty_Description))
      {
        description["Description"] = *text;
      }
      if (auto root = registry_.GetProperty(name, KestrumProperty_RootUri))
      {
        description["RootUri"] = *root;
      }
      if (registry_.GetProperty(name, KestrumProperty_ExplorerExtension))
      {
        description["ExtendsKestrumExplorer"] = true;
      }
      return true;
    }
    return false;
  }

  std::string PluginManager::GetExplorerExtensions() const
  {
    std::string result;
    for (const auto& plugin : loader_.GetPlugins())
    {
      if (auto extension = registry_.GetProperty(plugin->name, KestrumProperty_ExplorerExtension))
      {
        result += "\n// Explorer extension of the plug-in " + plugin->name + "\n" + *extension + "\n";
      }
    }
    return result;
  }

  std::map<std::string, std::string> PluginManager::GetRootUris() const
  {
    std::map<std::string, std::string> result;
    for (const auto& plugin : loader_.GetPlugins())
    {
      if (auto root = registry_.GetProperty(plugin->name, KestrumProperty_RootUri))
      {
        result[plugin->name] = *root;
      }
    }
    return result;
  }
}
