#include "ConnectionService.h"

#include "../Destinations/ServerTypes.h"
#include "../TransferClients/ITransferClient.h"

#include <KestrumException.h>

namespace QuelbyCloud
{
  namespace
  {
    const char* ParameterTypeText(ParameterType type)
    {
      switch (type)
      {
        case ParameterType_Text:
          return "text";
        case ParameterType_Password:
          return "password";
        default:
          throw Kestrum::KestrumException(Kestrum::ErrorCode_ParameterOutOfRange);
      }
    }

    Json::Value DescribeDestination(const std::string& key, const IDestinationConfigurator& configurator)
    {
      Json::Value parameters = Json::arrayValue;
      for (const DestinationParameter& parameter : configurator.ListParameters())
      {
        Json::Value item = Json::objectValue;
        item["key"] = parameter.key;
        item["name"] = parameter.name;
        item["placeholder"] = parameter.placeholder;
        item["type"] = ParameterTypeText(parameter.type);
        parameters.append(item);
      }

      Json::Value destination = Json::objectValue;
      destination["key"] = key;
      destination["description"] = configurator.GetDescription();
      destination["primary"] = configurator.IsPrimary();
      destination["parameters"] = parameters;
      return destination;
    }
  }


  Json::Value ConnectionService::ListDestinations() const
  {
    Json::Value answer = Json::arrayValue;
    for (const std::string& identifier : destinations_.ListIdentifiers())
    {
      answer.append(DescribeDestination(identifier, destinations_.Lookup(identifier)));
    }
    return answer;
  }


  Json::Value ConnectionService::TestConnection(const DestinationParameters& parameters)
  {
    const ConfigurationResult configured = destinations_.Configure(parameters);

    Json::Value answer = Json::objectValue;
    if (configured.server)
    {
      // A slow server delays only this request: nothing is locked while it answers.
      const std::unique_ptr<ITransferClient> client = CreateTransferClient(host_, *configured.server);
      const bool success = client->TestConnection();
      answer["success"] = success;

      if (success)
      {
        ledger_.RecordTestResult(std::nullopt);
      }
      else
      {
        ledger_.RecordTestResult(client->GetFailureCause().empty() ? "the destination answered, but not as expected"
                                                                   : client->GetFailureCause());
      }
    }
    else
    {
      answer["error"] = configured.error;
      answer["success"] = false;
    }
    return answer;
  }


  ServerConfiguration ConnectionService::Configure(const DestinationParameters& parameters) const
  {
    ConfigurationResult configured = destinations_.Configure(parameters);
    if (!configured.server)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_ParameterOutOfRange,
                                      "Bad parameters for the remote server: " + configured.error, true);
    }
    return std::move(*configured.server);
  }


  void ConnectionService::Connect(const DestinationParameters& parameters)
  {
    // Nothing is restarted: the synchronization thread uses the new server for its next batch.
    state_.Connect(Configure(parameters));
    ledger_.Restart();
    ledger_.StoreIfChanged();
  }


  void ConnectionService::Disconnect()
  {
    state_.Disconnect();
    ledger_.Clear();
    ledger_.StoreIfChanged();
  }


  void ConnectionService::SetOptions(const PluginState::Options& options)
  {
    state_.SetOptions(options);
  }
}
