#include "HostConfiguration.h"

#include "HostBuffer.h"

#include <KestrumException.h>
#include <Toolbox.h>

namespace QuelbyCloud
{
  namespace
  {
    const unsigned int DEFAULT_HTTP_PORT = 8042;

    Json::Value LoadConfiguration(const HostBridge& host)
    {
      HostString text(host);
      _KestrumGetConfiguration params;
      params.result = text.GetAddress();
      params.reserved = nullptr;

      if (host.TryInvoke(KestrumService_GetConfiguration, &params) != 0 ||
          text.GetContent() == nullptr)
      {
        // A failing service gave nothing that could be given back.
        *text.GetAddress() = nullptr;
        LOG(ERROR) << "Cannot access the Kestrum configuration";
        throw Kestrum::KestrumException(Kestrum::ErrorCode_InternalError);
      }

      Json::Value configuration = text.ToJson();
      if (!configuration.isObject())
      {
        LOG(ERROR) << "Unable to read the Kestrum configuration";
        throw Kestrum::KestrumException(Kestrum::ErrorCode_InternalError);
      }
      return configuration;
    }
  }


  HostConfiguration::HostConfiguration() :
    configuration_(Json::objectValue)
  {
  }


  HostConfiguration::HostConfiguration(const HostBridge& host) :
    configuration_(LoadConfiguration(host))
  {
  }


  std::string HostConfiguration::QualifiedKey(const std::string& key) const
  {
    return path_.empty() ? key : path_ + "." + key;
  }


  bool HostConfiguration::IsSection(const std::string& key) const
  {
    return configuration_.isObject() &&
      configuration_.isMember(key) &&
      configuration_[key].isObject();
  }


  HostConfiguration HostConfiguration::ReadSection(const std::string& key) const
  {
    HostConfiguration section;
    section.path_ = QualifiedKey(key);

    if (configuration_.isObject() && configuration_.isMember(key))
    {
      if (!configuration_[key].isObject())
      {
        LOG(ERROR) << "The configuration section \"" << section.path_ << "\" is not an associative array as expected";
        throw Kestrum::KestrumException(Kestrum::ErrorCode_BadFileFormat);
      }
      section.configuration_ = configuration_[key];
    }

    return section;
  }


  std::optional<std::string> HostConfiguration::LookupStringOption(const std::string& key) const
  {
    if (!configuration_.isObject() || !configuration_.isMember(key))
    {
      return std::nullopt;
    }

    const Json::Value& value = configuration_[key];
    if (!value.isString())
    {
      LOG(ERROR) << "The configuration option \"" << QualifiedKey(key) << "\" is not a string as expected";
      throw Kestrum::KestrumException(Kestrum::ErrorCode_BadFileFormat);
    }
    return value.asString();
  }


  unsigned int HostConfiguration::GetHttpPort() const
  {
    const Json::Value& value = configuration_["HttpPort"];
    if (value.isUInt() && value.asUInt() > 0 && value.asUInt() <= 65535)
    {
      return value.asUInt();
    }
    if (value.isString())
    {
      if (const std::optional<unsigned int> port = Kestrum::Toolbox::ParsePort(value.asString()))
      {
        return *port;
      }
    }
    return DEFAULT_HTTP_PORT;
  }
}
