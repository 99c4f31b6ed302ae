#include "HostConfig.h"

#include <json/reader.h>

#include <fstream>
#include <sstream>

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
  }

  HostConfig HostConfig::Parse(const std::string& text)
  {
    Json::CharReaderBuilder builder;
    builder["allowComments"] = true;
    builder["collectComments"] = false;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors))
    {
      throw ConfigurationError("The configuration is not valid JSON: " + errors);
    }
    if (!root.isObject())
    {
      throw ConfigurationError("The configuration must be a JSON object");
    }

    HostConfig config;
    config.raw = root;
    ReadString(root, "Name", config.name);
    ReadString(root, "Version", config.version);
    ReadUnsigned(root, "HttpPort", 65535, config.httpPort);
    ReadBool(root, "RemoteAccessAllowed", config.remoteAccessAllowed);
    ReadUnsigned(root, "MaximumBodySize", 65536, config.maximumBodySize);
    ReadString(root, "StorageDirectory", config.storageDirectory);
    ReadStringArray(root, "Plugins", config.plugins);

    ReadBool(root, "AuthenticationEnabled", config.authenticationEnabled);
    if (root.isMember("RegisteredUsers"))
    {
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

    ReadBool(root, "SslEnabled", config.sslEnabled);
    ReadString(root, "SslCertificate", config.sslCertificate);
    ReadString(root, "SslPrivateKey", config.sslPrivateKey);
    if (config.sslEnabled && config.sslCertificate.empty())
    {
      throw ConfigurationError("\"SslEnabled\" is true but \"SslCertificate\" is not set");
    }

    ReadString(root, "HttpsCACertificates", config.httpsCACertificates);
    ReadBool(root, "HttpsVerifyPeers", config.httpsVerifyPeers);
    ReadUnsigned(root, "HttpTimeout", 86400 * 365, config.httpTimeout);
    ReadStringArray(root, "HttpConnectTo", config.httpConnectTo);

    if (root.isMember("DicomWeb"))
    {
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
    return config;
  }

  HostConfig HostConfig::Load(const std::string& path)
  {
    std::ifstream file(path, std::ios::binary);
    if (!file)
    {
      throw ConfigurationError("Cannot read the configuration file: " + path);
    }
    std::ostringstream content;
    content << file.rdbuf();
    return Parse(content.str());
  }

  std::string HostConfig::NormalizedDicomWebRoot() const
  {
    std::string root = dicomWebRoot;
    while (!root.empty() && root.back() == '/')
    {
      root.pop_back();
    }
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
