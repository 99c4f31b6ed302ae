#include "HostConfig.h"

#include "HostError.h"

#include <KestrumException.h>
#include <SystemToolbox.h>
#include <Toolbox.h>

#include <optional>

namespace KestrumHost
{
  namespace
  {
    std::string Quoted(const std::string& key)
    {
      return "\"" + key + "\"";
    }

    void ReadString(const Json::Value& object, const char* key, std::string& target)
    {
      if (object.isMember(key))
      {
        if (!object[key].isString())
        {
          throw ConfigurationError("The configuration option " + Quoted(key) + " must be a string");
        }
        target = object[key].asString();
      }
    }

    void ReadBool(const Json::Value& object, const char* key, bool& target)
    {
      if (object.isMember(key))
      {
        if (!object[key].isBool())
        {
          throw ConfigurationError("The configuration option " + Quoted(key) + " must be a boolean");
        }
        target = object[key].asBool();
      }
    }

    void ReadUnsigned(const Json::Value& object, const char* key, unsigned int maximum, unsigned int& target)
    {
      if (object.isMember(key))
      {
        const Json::Value& value = object[key];
        if (!value.isIntegral() || !value.isInt64() || value.asInt64() < 0 || value.asInt64() > maximum)
        {
          throw ConfigurationError("The configuration option " + Quoted(key) +
                                   " must be an integer between 0 and " + std::to_string(maximum));
        }
        target = static_cast<unsigned int>(value.asInt64());
      }
    }

    void ReadStringArray(const Json::Value& object, const char* key, std::vector<std::string>& target)
    {
      if (object.isMember(key))
      {
        const Json::Value& value = object[key];
        if (!value.isArray())
        {
          throw ConfigurationError("The configuration option " + Quoted(key) + " must be an array of strings");
        }
        target.clear();
        for (const Json::Value& item : value)
        {
          if (!item.isString())
          {
            throw ConfigurationError("The configuration option " + Quoted(key) + " must be an array of strings");
          }
          target.push_back(item.asString());
        }
      }
    }

    /** The same data without the comments that the reader keeps: they belong to the file, not to the plug-ins. */
    Json::Value WithoutComments(const Json::Value& value)
    {
      Json::Value copy;
      if (value.isArray())
      {
        copy = Json::Value(Json::arrayValue);
        for (const Json::Value& item : value)
        {
          copy.append(WithoutComments(item));
        }
      }
      else if (value.isObject())
      {
        copy = Json::Value(Json::objectValue);
        for (const std::string& name : value.getMemberNames())
        {
          copy[name] = WithoutComments(value[name]);
        }
      }
      else
      {
        copy.copyPayload(value);
      }
      return copy;
    }

    void ReadServerOptions(const Json::Value& root, HostConfig& config)
    {
      ReadString(root, "Name", config.name);
      ReadString(root, "Version", config.version);
      ReadUnsigned(root, "HttpPort", 65535, config.httpPort);
      ReadBool(root, "RemoteAccessAllowed", config.remoteAccessAllowed);
      ReadUnsigned(root, "MaximumBodySize", 65536, config.maximumBodySize);
      ReadString(root, "StorageDirectory", config.storageDirectory);
      ReadStringArray(root, "Plugins", config.plugins);
    }

    void ReadAuthentication(const Json::Value& root, HostConfig& config)
    {
      ReadBool(root, "AuthenticationEnabled", config.authenticationEnabled);
      if (!root.isMember("RegisteredUsers"))
      {
        return;
      }
      const Json::Value& users = root["RegisteredUsers"];
      if (!users.isObject())
      {
        throw ConfigurationError("The configuration option \"RegisteredUsers\" must be an object of user -> password");
      }
      for (const std::string& user : users.getMemberNames())
      {
        if (!users[user].isString())
        {
          throw ConfigurationError("The password of the registered user " + Quoted(user) + " must be a string");
        }
        config.registeredUsers[user] = users[user].asString();
      }
    }

    void ReadTls(const Json::Value& root, HostConfig& config)
    {
      ReadBool(root, "SslEnabled", config.sslEnabled);
      ReadString(root, "SslCertificate", config.sslCertificate);
      ReadString(root, "SslPrivateKey", config.sslPrivateKey);
      if (config.sslEnabled && config.sslCertificate.empty())
      {
        throw ConfigurationError("\"SslEnabled\" is true but \"SslCertificate\" is not set");
      }
    }

    void ReadOutgoingHttp(const Json::Value& root, HostConfig& config)
    {
      ReadString(root, "HttpsCACertificates", config.httpsCACertificates);
      ReadBool(root, "HttpsVerifyPeers", config.httpsVerifyPeers);
      ReadUnsigned(root, "HttpTimeout", 86400 * 365, config.httpTimeout);
      ReadStringArray(root, "HttpConnectTo", config.httpConnectTo);
    }

    void ReadBoundedUnsigned(const Json::Value& root, const char* key, unsigned int minimum, unsigned int maximum,
                             unsigned int& target)
    {
      ReadUnsigned(root, key, maximum, target);
      if (target < minimum)
      {
        throw ConfigurationError("The configuration option " + Quoted(key) + " must be an integer between " +
                                 std::to_string(minimum) + " and " + std::to_string(maximum));
      }
    }

    void ReadDicomServer(const Json::Value& root, HostConfig& config)
    {
      ReadUnsigned(root, "DicomPort", 65535, config.dicomPort);
      ReadString(root, "DicomAet", config.dicomAet);
      ReadBool(root, "DicomCheckCalledAet", config.dicomCheckCalledAet);
      ReadBoundedUnsigned(root, "DicomMaxAssociations", 1, 1000, config.dicomMaxAssociations);
      // A silent peer must never hold a thread for ever: no "no time-out" here.
      ReadBoundedUnsigned(root, "DicomTimeout", 1, 3600, config.dicomTimeout);
      // Peers pad titles with spaces: a title of spaces only is empty.
      if (config.dicomAet.find_first_not_of(' ') == std::string::npos || config.dicomAet.size() > 16)
      {
        throw HostError(Kestrum::ErrorCode_BadApplicationEntityTitle,
                        std::string("The configuration option \"DicomAet\": ") +
                        Kestrum::DescribeErrorCode(Kestrum::ErrorCode_BadApplicationEntityTitle));
      }
    }

    void ReadDicomWeb(const Json::Value& root, HostConfig& config)
    {
      if (!root.isMember("DicomWeb"))
      {
        return;
      }
      const Json::Value& dicomWeb = root["DicomWeb"];
      if (!dicomWeb.isObject())
      {
        throw ConfigurationError("The configuration option \"DicomWeb\" must be an object");
      }
      try
      {
        ReadBool(dicomWeb, "Enable", config.dicomWebEnabled);
        ReadString(dicomWeb, "Root", config.dicomWebRoot);
      }
      catch (const ConfigurationError& e)
      {
        throw ConfigurationError(std::string("In the section \"DicomWeb\": ") + e.what());
      }
    }
  }

  HostConfig HostConfig::Parse(const std::string& text)
  {
    std::string errors;
    const std::optional<Json::Value> root = Kestrum::Toolbox::ReadJsonWithErrors(text, errors);
    if (!root)
    {
      throw ConfigurationError("The configuration is not valid JSON: " + errors);
    }
    if (!root->isObject())
    {
      throw ConfigurationError("The configuration must be a JSON object");
    }

    HostConfig config;
    config.raw = WithoutComments(*root);
    ReadServerOptions(*root, config);
    ReadAuthentication(*root, config);
    ReadTls(*root, config);
    ReadOutgoingHttp(*root, config);
    ReadDicomWeb(*root, config);
    ReadDicomServer(*root, config);
    return config;
  }

  HostConfig HostConfig::Load(const std::string& path)
  {
    std::string content;
    try
    {
      Kestrum::ReadWholeFile(content, path);
    }
    catch (const Kestrum::KestrumException&)
    {
      throw ConfigurationError("Cannot read the configuration file: " + path);
    }
    return Parse(content);
  }

  std::string HostConfig::NormalizedDicomWebRoot() const
  {
    std::string root = Kestrum::Toolbox::StripTrailingSlashes(dicomWebRoot);
    if (root.empty() || root[0] != '/')
    {
      root = "/" + root;
    }
    if (root == "/")
    {
      root.clear();  // routes then start with "/studies"
    }
    return root;
  }
}
