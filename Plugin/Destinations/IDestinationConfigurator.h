#pragma once

#include "ServerConfiguration.h"

#include <map>
#include <optional>
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
  };

  /** What the user typed, by parameter key, plus "id", the kind's identifier. */
  using DestinationParameters = std::map<std::string, std::string>;

  /** A server built from the user's parameters, or the sentence that tells the user what is wrong. */
  struct ConfigurationResult
  {
    std::optional<ServerConfiguration> server;
    std::string error;

    static ConfigurationResult Success(const ServerConfiguration& server) { return { server, "" }; }
    static ConfigurationResult Failure(const std::string& error) { return { std::nullopt, error }; }
  };

  /** A kind of destination: describes itself and turns typed values into a server configuration. */
  class IDestinationConfigurator
  {
  public:
    virtual ~IDestinationConfigurator() = default;

    /** The label of the kind, shown to the user. */
    virtual std::string GetDescription() const = 0;

    /** True for a kind offered as a main choice, false for a partner. */
    virtual bool IsPrimary() const = 0;

    /** The kind's parameters, in display order. */
    virtual std::vector<DestinationParameter> ListParameters() const = 0;

    /** Never throws for bad input: a refusal is a result with the sentence for the user. */
    virtual ConfigurationResult Configure(const DestinationParameters& parameters) const = 0;
  };
}
