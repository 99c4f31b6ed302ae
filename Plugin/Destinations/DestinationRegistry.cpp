#include "DestinationRegistry.h"

#include <KestrumException.h>

namespace QuelbyCloud
{
  void DestinationRegistry::Register(const std::string& identifier,
                                     std::unique_ptr<IDestinationConfigurator> configurator)
  {
    // On every failure the configurator goes out of scope and is destroyed.
    if (configurator == nullptr)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_NullPointer);
    }

    if (kinds_.count(identifier) != 0)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_ParameterOutOfRange,
                                      "Cannot add twice the same destination: " + identifier, true);
    }

    // "id" carries the kind's identifier in the parameters map.
    for (const DestinationParameter& parameter : configurator->ListParameters())
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


  const IDestinationConfigurator& DestinationRegistry::Lookup(const std::string& identifier) const
  {
    const auto found = kinds_.find(identifier);
    if (found == kinds_.end())
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_ParameterOutOfRange,
                                      "Unknown destination: " + identifier, true);
    }
    return *found->second;
  }


  ConfigurationResult DestinationRegistry::Configure(const DestinationParameters& parameters) const
  {
    const auto id = parameters.find("id");
    if (id == parameters.end())
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_NetworkProtocol, "The \"id\" field is missing", true);
    }

    const IDestinationConfigurator& configurator = Lookup(id->second);
    ConfigurationResult result = configurator.Configure(parameters);
    if (result.server)
    {
      result.server->SetPublicParameter("Description", configurator.GetDescription());
    }
    return result;
  }
}
