#include "DestinationRegistry.h"

#include <KestrumException.h>

namespace QuelbyCloud
{
  DestinationRegistry& DestinationRegistry::GetInstance()
  {
    static DestinationRegistry instance;
    return instance;
  }


  void DestinationRegistry::Register(const std::string& identifier,
                                     std::unique_ptr<IDestinationConfigurator> configurator)
  {
    // On every failure the configurator goes out of scope and is destroyed.
    if (configurator.get() == nullptr)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_NullPointer);
    }

    if (kinds_.find(identifier) != kinds_.end())
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_ParameterOutOfRange,
                                      "Cannot add twice the same destination: " + identifier, true);
    }

    // "id" carries the kind's identifier in the parameters map.
    std::vector<DestinationParameter> parameters;
    configurator->ListParameters(parameters);
    for (const DestinationParameter& parameter : parameters)
    {
      if (parameter.key == "id")
      {
        throw Kestrum::KestrumException(Kestrum::ErrorCode_ParameterOutOfRange,
                                        "The \"id\" key cannot be used to name a parameter", true);
      }
    }

    kinds_[identifier] = std::move(configurator);
    order_.push_back(identifier);
  }


  IDestinationConfigurator& DestinationRegistry::Lookup(const std::string& identifier) const
  {
    std::map<std::string, std::unique_ptr<IDestinationConfigurator> >::const_iterator found = kinds_.find(identifier);
    if (found == kinds_.end())
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_ParameterOutOfRange,
                                      "Unknown destination: " + identifier, true);
    }

    return *found->second;
  }


  void DestinationRegistry::ListIdentifiers(std::vector<std::string>& target) const
  {
    target = order_;
  }


  bool ConfigureFromParameters(DestinationRegistry& registry,
                               ServerConfiguration& target,
                               std::string& error,
                               const DestinationParameters& parameters)
  {
    DestinationParameters::const_iterator id = parameters.find("id");
    if (id == parameters.end())
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_NetworkProtocol,
                                      "The \"id\" field is missing", true);
    }

    boost::mutex::scoped_lock lock(registry.GetMutex());

    const IDestinationConfigurator& configurator = registry.Lookup(id->second);
    const bool success = configurator.Configure(target, error, parameters);
    if (success)
    {
      target.SetPublicParameter("Description", configurator.GetDescription());
    }

    return success;
  }


  bool ConfigureFromParameters(ServerConfiguration& target,
                               std::string& error,
                               const DestinationParameters& parameters)
  {
    return ConfigureFromParameters(DestinationRegistry::GetInstance(), target, error, parameters);
  }
}
