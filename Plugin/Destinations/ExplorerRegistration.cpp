// Declaration of the active server as a modality in the host's explorer:
// a peer for a native Kestrum server, a server of the host's DICOMweb plug-in
// for a DICOMweb one.

#include "ExplorerRegistration.h"
#include "ServerConfiguration.h"

#include "../HostBridge/HostConfiguration.h"
#include "../HostBridge/HostRestApi.h"

#include <Logging.h>
#include <Toolbox.h>

namespace QuelbyCloud
{
  namespace
  {
    const char* const DICOMWEB_PLUGIN = "dicom-web";
    const char* const PEERS = "/peers/";

    const char* const REGISTER_FAILED =
      "Quelby Cloud plugin: Cannot add the modality for use in Kestrum Explorer";
    const char* const UNREGISTER_FAILED =
      "Quelby Cloud plugin: Cannot unregister the modality out of Kestrum Explorer";

    enum Declaration
    {
      Declaration_None,
      Declaration_Peer,
      Declaration_DicomWeb
    };

    Declaration GetDeclaration(const ServerConfiguration& server)
    {
      if (server.GetProtocolType() == ProtocolType_Native &&
          server.GetServerType() == ServerType_Kestrum)
      {
        return Declaration_Peer;
      }
      else if (server.GetProtocolType() == ProtocolType_DicomWeb)
      {
        return Declaration_DicomWeb;
      }
      else
      {
        // A native portal has no host-side registry; unknown protocols neither.
        return Declaration_None;
      }
    }

    bool IsDicomWebPluginLoaded()
    {
      Json::Value plugins;
      if (!HostRestGet(plugins, "/plugins", false) ||
          !plugins.isArray())
      {
        return false;
      }

      for (Json::ArrayIndex i = 0; i < plugins.size(); i++)
      {
        if (plugins[i].isString() &&
            plugins[i].asString() == DICOMWEB_PLUGIN)
        {
          return true;
        }
      }

      return false;
    }

    Json::Value MakeDeclarationBody(const std::string& url, const ServerConfiguration& server)
    {
      Json::Value body = Json::objectValue;
      body["Url"] = url;
      Kestrum::SerializationToolbox::WriteStringMap(body, server.GetHttpHeaders(), "HttpHeaders");
      return body;
    }
  }


  bool IsSafeModalityName(const std::string& name)
  {
    if (name.empty() || name == "." || name == "..")
    {
      return false;
    }

    for (char c : name)
    {
      const bool allowed = ((c >= 'a' && c <= 'z') ||
                            (c >= 'A' && c <= 'Z') ||
                            (c >= '0' && c <= '9') ||
                            c == '.' || c == '_' || c == '-');
      if (!allowed)
      {
        return false;
      }
    }

    return true;
  }


  bool FindDicomWebRoot(std::string& root)
  {
    if (!IsDicomWebPluginLoaded())
    {
      return false;
    }

    root = "/dicom-web";

    HostConfiguration configuration;
    if (configuration.IsSection("DicomWeb"))
    {
      HostConfiguration section(false);
      configuration.ReadSection(section, "DicomWeb");

      std::string configured;
      if (section.LookupStringOption(configured, "Root"))
      {
        configured = Kestrum::Toolbox::StripTrailingSlashes(configured);
        if (configured.empty() || configured[0] != '/')
        {
          configured = "/" + configured;
        }
        root = configured;
      }
    }

    Json::Value servers;
    return (HostRestGet(servers, root + "/servers", true) &&
            servers.isArray());
  }


  void ServerConfiguration::RegisterInExplorer() const
  {
    const Declaration declaration = GetDeclaration(*this);
    if (declaration == Declaration_None)
    {
      return;
    }

    // The name may come from a stored state: never let it reshape a host URI.
    if (!IsSafeModalityName(modalityName_))
    {
      LOG(ERROR) << REGISTER_FAILED;
      return;
    }

    bool success = false;

    if (declaration == Declaration_Peer)
    {
      const std::string uri = PEERS + modalityName_;

      Json::Value existing;
      if (HostRestGet(existing, uri, false))
      {
        LOG(WARNING) << "Quelby Cloud plugin: Kestrum peer modality \"" << modalityName_
                     << "\" was already defined, overwriting it";
      }

      Json::Value answer;
      success = HostRestPut(answer, uri, MakeDeclarationBody(url_, *this), false);
    }
    else
    {
      std::string root;
      if (FindDicomWebRoot(root))
      {
        const std::string uri = root + "/servers/" + modalityName_;

        Json::Value existing;
        if (HostRestGet(existing, uri, true))
        {
          LOG(WARNING) << "Quelby Cloud plugin: DICOMweb modality \"" << modalityName_
                       << "\" was already defined, overwriting it";
        }

        Json::Value answer;
        success = HostRestPut(answer, uri, MakeDeclarationBody(GetDicomWebBaseUrl(), *this), true);
      }
    }

    if (!success)
    {
      LOG(ERROR) << REGISTER_FAILED;
    }
  }


  void ServerConfiguration::UnregisterFromExplorer() const
  {
    const Declaration declaration = GetDeclaration(*this);
    if (declaration == Declaration_None)
    {
      return;
    }

    if (!IsSafeModalityName(modalityName_))
    {
      LOG(ERROR) << UNREGISTER_FAILED;
      return;
    }

    bool success = false;

    if (declaration == Declaration_Peer)
    {
      success = HostRestDelete(PEERS + modalityName_, false);
    }
    else
    {
      std::string root;
      if (FindDicomWebRoot(root))
      {
        success = HostRestDelete(root + "/servers/" + modalityName_, true);
      }
    }

    if (!success)
    {
      LOG(ERROR) << UNREGISTER_FAILED;
    }
  }
}
