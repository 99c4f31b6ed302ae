#include "RestApi.h"

#include "../QuelbyCloudPlugin.h"

#include <KestrumException.h>
#include <Toolbox.h>

namespace QuelbyCloud
{
  namespace
  {
    Json::Value ReadJsonObjectBody(std::string_view body)
    {
      std::optional<Json::Value> parsed = Kestrum::Toolbox::ReadJsonObject(body);
      if (!parsed)
      {
        throw Kestrum::KestrumException(Kestrum::ErrorCode_NetworkProtocol);
      }
      return std::move(*parsed);
    }

    std::optional<bool> ReadOption(const Json::Value& body, const char* name)
    {
      if (!body.isMember(name))
      {
        return std::nullopt;
      }
      return Kestrum::SerializationToolbox::ReadRequiredBoolean(body, name);
    }
  }


  DestinationParameters ReadParametersMap(std::string_view body)
  {
    const Json::Value object = ReadJsonObjectBody(body);

    DestinationParameters parameters;
    for (const std::string& name : object.getMemberNames())
    {
      if (!object[name].isString())
      {
        throw Kestrum::KestrumException(Kestrum::ErrorCode_NetworkProtocol);
      }
      parameters[name] = object[name].asString();
    }
    return parameters;
  }


  PluginState::Options ReadOptions(std::string_view body)
  {
    // Both are read before either is applied: a refused request changes nothing.
    const Json::Value object = ReadJsonObjectBody(body);
    return { ReadOption(object, "AutomatedRouting"), ReadOption(object, "AutomatedDeletion") };
  }


  void ServeDestinations(QuelbyCloudPlugin& plugin, const RestRequest&, RestOutput& output)
  {
    output.AnswerJson(plugin.GetConnection().ListDestinations());
  }


  void ServeTestConnection(QuelbyCloudPlugin& plugin, const RestRequest& request, RestOutput& output)
  {
    output.AnswerJson(plugin.GetConnection().TestConnection(ReadParametersMap(request.body)));
  }


  void ServeConnect(QuelbyCloudPlugin& plugin, const RestRequest& request, RestOutput& output)
  {
    plugin.GetConnection().Connect(ReadParametersMap(request.body));
    output.AnswerOk();
  }


  void ServeDisconnect(QuelbyCloudPlugin& plugin, const RestRequest&, RestOutput& output)
  {
    plugin.GetConnection().Disconnect();
    output.AnswerOk();
  }


  void ServeOptions(QuelbyCloudPlugin& plugin, const RestRequest& request, RestOutput& output)
  {
    plugin.GetConnection().SetOptions(ReadOptions(request.body));
    output.AnswerOk();
  }


  void ServeStatus(QuelbyCloudPlugin& plugin, const RestRequest&, RestOutput& output)
  {
    output.AnswerJson(plugin.GetStatus().GetStatus());
  }


  void ServeDelivery(QuelbyCloudPlugin& plugin, const RestRequest&, RestOutput& output)
  {
    output.AnswerJson(plugin.GetDelivery().GetDelivery());
  }


  void ServeRetryFailed(QuelbyCloudPlugin& plugin, const RestRequest&, RestOutput& output)
  {
    plugin.GetDelivery().RetryFailed();
    output.AnswerOk();
  }


  // The three thread controls answer before they release the threads.

  void ServeClearPending(QuelbyCloudPlugin& plugin, const RestRequest&, RestOutput& output)
  {
    plugin.GetThreads().ClearPending([&output]() { output.AnswerOk(); });
  }


  void ServeReplay(QuelbyCloudPlugin& plugin, const RestRequest&, RestOutput& output)
  {
    plugin.GetThreads().Replay([&output]() { output.AnswerOk(); });
  }


  void ServeForceReplay(QuelbyCloudPlugin& plugin, const RestRequest&, RestOutput& output)
  {
    plugin.GetThreads().ForceReplay([&output]() { output.AnswerOk(); });
  }
}
