#pragma once

#include "ServerConfiguration.h"

#include <map>
#include <string>
#include <vector>

namespace QuelbyCloud
{
  enum ParameterType
  {
    ParameterType_Text = 0,
    ParameterType_Password = 1    // the input hides what is typed
  };

  /** One input field of a destination kind. */
  struct DestinationParameter
  {
    std::string key;          // name of the typed value in the parameters map; never "id"
    std::string name;         // label shown to the user
    ParameterType type;
    std::string placeholder;  // hint in the empty field; may be empty

    DestinationParameter(const std::string& key,
                         const std::string& name,
                         ParameterType type,
                         const std::string& placeholder) :
      key(key), name(name), type(type), placeholder(placeholder)
    {
    }
  };

  typedef std::map<std::string, std::string> DestinationParameters;

  /** A kind of destination: describes itself and turns typed values into a server configuration. */
  class IDestinationConfigurator
  {
  public:
    virtual ~IDestinationConfigurator() {}

    virtual std::string GetDescription() const = 0;

    /** True for a kind offered as a main choice, false for a partner. */
    virtual bool IsPrimary() const = 0;

    /** Appends the kind's parameters, in display order, without clearing the target. */
    virtual void ListParameters(std::vector<DestinationParameter>& target) const = 0;

    /** Fills the target and returns true, or sets a sentence for the user and returns false; never throws for bad input. */
    virtual bool Configure(ServerConfiguration& target,
                           std::string& error,
                           const DestinationParameters& parameters) const = 0;
  };
}
