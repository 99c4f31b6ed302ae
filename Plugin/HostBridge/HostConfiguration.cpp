#include "HostConfiguration.h"

#include "HostBuffer.h"
#include "HostContext.h"

#include <KestrumException.h>
#include <Logging.h>

namespace QuelbyCloud
{
  static void LoadConfiguration(Json::Value& target)
  {
    KestrumPluginContext* context = RequireHostContext();

    // 1. Ask the host for its configuration as JSON text.
    char* text = nullptr;
    _KestrumGetConfiguration params;
    params.result = &text;
    params.reserved = nullptr;
    KestrumErrorCode code = context->InvokeService(context, KestrumService_GetConfiguration, &params);

    // 2. A failing service leaves nothing to give back.
    if (code != 0 || text == nullptr)
    {
      LOG(ERROR) << "Cannot access the Kestrum configuration";
      throw Kestrum::KestrumException(Kestrum::ErrorCode_InternalError);
    }

    // 5. The text goes back to the host on every path from here (HostString).
    HostString owned;
    *owned.GetAddress() = text;

    // 3. Parse.
    Json::Value configuration;
    owned.ToJson(configuration);

    // 4. Only an object is a configuration.
    if (configuration.type() != Json::objectValue)
    {
      LOG(ERROR) << "Unable to read the Kestrum configuration";
      throw Kestrum::KestrumException(Kestrum::ErrorCode_InternalError);
    }

    target.swap(configuration);
  }

  HostConfiguration::HostConfiguration()
  {
    LoadConfiguration(configuration_);
  }

  HostConfiguration::HostConfiguration(bool load)
  {
    if (load)
    {
      LoadConfiguration(configuration_);
    }
    else
    {
      configuration_ = Json::objectValue;
    }
  }

  std::string HostConfiguration::QualifiedKey(const std::string& key) const
  {
    return path_.empty() ? key : path_ + "." + key;
  }

  bool HostConfiguration::IsSection(const std::string& key) const
  {
    return configuration_.type() == Json::objectValue &&
      configuration_.isMember(key) &&
      configuration_[key].type() == Json::objectValue;
  }

  void HostConfiguration::ReadSection(HostConfiguration& target, const std::string& key) const
  {
    target.path_ = QualifiedKey(key);

    if (configuration_.type() != Json::objectValue || !configuration_.isMember(key))
    {
      target.configuration_ = Json::objectValue;
    }
    else if (configuration_[key].type() == Json::objectValue)
    {
      target.configuration_ = configuration_[key];
    }
    else
    {
      LOG(ERROR) << "The configuration section \"" << target.path_ << "\" is not an associative array as expected";
      throw Kestrum::KestrumException(Kestrum::ErrorCode_BadFileFormat);
    }
  }

  bool HostConfiguration::LookupStringOption(std::string& target, const std::string& key) const
  {
    if (configuration_.type() != Json::objectValue || !configuration_.isMember(key))
    {
      return false;
    }

    const Json::Value& value = configuration_[key];
    if (value.type() != Json::stringValue)
    {
      LOG(ERROR) << "The configuration option \"" << QualifiedKey(key) << "\" is not a string as expected";
      throw Kestrum::KestrumException(Kestrum::ErrorCode_BadFileFormat);
    }

    target = value.asString();
    return true;
  }
}
