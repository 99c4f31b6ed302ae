#include "ExplorerRegistration.h"

#include "ServerTypes.h"

#include "../HostBridge/HostConfiguration.h"
#include "../HostBridge/HostRestApi.h"

#include <Logging.h>
#include <Toolbox.h>

#include <algorithm>

namespace QuelbyCloud
{
  namespace
  {
    const char* const DICOMWEB_PLUGIN = "dicom-web";

    /** Where a server is declared in the host, and what is declared. */
    struct Declaration
    {
      std::string uri;
      bool withPlugins;        // the DICOMweb servers are a plug-in's routes
      std::string url;         // the address the explorer will use
      const char* warnedAs;    // how the overwrite warning names the modality
    };

    bool IsDicomWebPluginLoaded(const HostBridge& host)
    {
      const std::optional<Json::Value> plugins = HostRestGet(host, "/plugins", false);
      return plugins && plugins->isArray() &&
        std::any_of(plugins->begin(), plugins->end(),
                    [](const Json::Value& plugin) { return plugin.isString() && plugin.asString() == DICOMWEB_PLUGIN; });
    }

    // Empty when the host has no registry for the server, or the DICOMweb one is missing.
    std::optional<Declaration> Locate(const HostBridge& host, const ServerConfiguration& server)
    {
      switch (GetExplorerRegistry(server))
      {
        case ExplorerRegistry::Peers:
          return Declaration{ "/peers/" + server.GetModalityName(), false, server.GetUrl(), "Kestrum peer" };

        case ExplorerRegistry::DicomWebServers:
          if (const std::optional<std::string> root = FindDicomWebRoot(host))
          {
            return Declaration{ *root + "/servers/" + server.GetModalityName(), true,
                                server.GetDicomWebBaseUrl(), "DICOMweb" };
          }
          return std::nullopt;

        default:
          return std::nullopt;
      }
    }

    // The name may come from a stored state: it must never reshape a host URI.
    bool MayBeDeclared(const ServerConfiguration& server, const char* failure)
    {
      if (GetExplorerRegistry(server) == ExplorerRegistry::None)
      {
        return false;
      }
      if (!IsSafeModalityName(server.GetModalityName()))
      {
        LOG(ERROR) << failure;
        return false;
      }
      return true;
    }
  }


  bool IsSafeModalityName(const std::string& name)
  {
    return !name.empty() && name != "." && name != ".." &&
      std::all_of(name.begin(), name.end(), [](char c)
      {
        return ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '.' || c == '_' || c == '-');
      });
  }


  std::optional<std::string> FindDicomWebRoot(const HostBridge& host)
  {
    if (!IsDicomWebPluginLoaded(host))
    {
      return std::nullopt;
    }

    std::string root = "/dicom-web";

    const HostConfiguration configuration(host);
    if (configuration.IsSection("DicomWeb"))
    {
      if (std::optional<std::string> configured = configuration.ReadSection("DicomWeb").LookupStringOption("Root"))
      {
        root = Kestrum::Toolbox::StripTrailingSlashes(*configured);
        if (root.empty() || root[0] != '/')
        {
          root = "/" + root;
        }
      }
    }

    const std::optional<Json::Value> servers = HostRestGet(host, root + "/servers", true);
    if (servers && servers->isArray())
    {
      return root;
    }
    return std::nullopt;
  }


  void RegisterInExplorer(const HostBridge& host, const ServerConfiguration& server)
  {
    static const char* const FAILURE = "Quelby Cloud plugin: Cannot add the modality for use in Kestrum Explorer";

    if (!MayBeDeclared(server, FAILURE))
    {
      return;
    }

    const std::optional<Declaration> declaration = Locate(host, server);
    if (!declaration)
    {
      LOG(ERROR) << FAILURE;
      return;
    }

    if (HostRestGet(host, declaration->uri, declaration->withPlugins))
    {
      LOG(WARNING) << "Quelby Cloud plugin: " << declaration->warnedAs << " modality \"" << server.GetModalityName()
                   << "\" was already defined, overwriting it";
    }

    // The headers carry the server's credentials: the explorer needs them to reach it.
    Json::Value body = Json::objectValue;
    body["Url"] = declaration->url;
    Kestrum::SerializationToolbox::WriteStringMap(body, server.GetHttpHeaders(), "HttpHeaders");

    if (!HostRestPut(host, declaration->uri, body, declaration->withPlugins))
    {
      LOG(ERROR) << FAILURE;
    }
  }


  void UnregisterFromExplorer(const HostBridge& host, const ServerConfiguration& server)
  {
    static const char* const FAILURE = "Quelby Cloud plugin: Cannot unregister the modality out of Kestrum Explorer";

    if (!MayBeDeclared(server, FAILURE))
    {
      return;
    }

    const std::optional<Declaration> declaration = Locate(host, server);
    if (!declaration ||
        !HostRestDelete(host, declaration->uri, declaration->withPlugins))
    {
      LOG(ERROR) << FAILURE;
    }
  }
}
