#include "RestApi.h"

#include "../Destinations/DestinationRegistry.h"
#include "../HostBridge/HostConfiguration.h"
#include "../HostBridge/RestAnswers.h"
#include "../Synchronization/PluginState.h"
#include "../Synchronization/PendingInstance.h"
#include "../Synchronization/SynchronizationStatistics.h"
#include "../Synchronization/SynchronizationThreads.h"
#include "../TransferClients/ITransferClient.h"

#include <KestrumException.h>
#include <SystemToolbox.h>
#include <Toolbox.h>

#include <json/reader.h>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

namespace QuelbyCloud
{
  namespace
  {
    typedef std::map<std::string, std::string> ParametersMap;

    /** True when the request uses the route's method; otherwise answers 405 naming it. */
    bool CheckMethod(KestrumRestOutput* output, const KestrumHttpRequest* request, int32_t method)
    {
      if (request->method == method)
      {
        return true;
      }

      SendMethodNotAllowed(output, method == KestrumHttpMethod_Get ? "GET" : "POST");
      return false;
    }

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
      std::vector<DestinationParameter> parameters;
      configurator.ListParameters(parameters);

      Json::Value items = Json::arrayValue;
      for (const DestinationParameter& parameter : parameters)
      {
        Json::Value item = Json::objectValue;
        item["key"] = parameter.key;
        item["name"] = parameter.name;
        item["placeholder"] = parameter.placeholder;
        item["type"] = ParameterTypeText(parameter.type);
        items.append(item);
      }

      Json::Value destination = Json::objectValue;
      destination["key"] = key;
      destination["description"] = configurator.GetDescription();
      destination["primary"] = configurator.IsPrimary();
      destination["parameters"] = items;
      return destination;
    }

    /** The server that the request's parameters describe, or false with the kind's sentence for the user. */
    bool ConfigureFromRequest(ServerConfiguration& server, std::string& error, const KestrumHttpRequest* request)
    {
      ParametersMap parameters;
      ReadParametersMap(parameters, request);
      return ConfigureFromParameters(server, error, parameters);
    }

    bool HasReadableCertificates()
    {
      HostConfiguration configuration;
      std::string path;
      if (!configuration.LookupStringOption(path, "HttpsCACertificates"))
      {
        return false;
      }

      try
      {
        std::string content;
        Kestrum::ReadWholeFile(content, path);
        return true;
      }
      catch (const Kestrum::KestrumException&)
      {
        return false;  // the exception has logged why
      }
    }
  }


  void ReadJsonObjectBody(Json::Value& target, const KestrumHttpRequest* request)
  {
    const char* begin = static_cast<const char*>(request->body);
    bool parsed = false;
    // A body that is not UTF-8 is no JSON; taken as it is, its texts would be
    // altered when the state is written (a stored credential would change).
    if (begin != nullptr &&
        Kestrum::Toolbox::IsValidUtf8(begin, begin + request->bodySize))
    {
      try
      {
        Json::Reader reader;
        parsed = reader.parse(begin, begin + request->bodySize, target, true /* collect comments */);
      }
      catch (const Json::Exception&)
      {
        // Nesting beyond jsoncpp's depth limit is thrown: a bad body like any other.
      }
    }

    if (!parsed ||
        target.type() != Json::objectValue)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_NetworkProtocol);
    }
  }


  void ReadParametersMap(ParametersMap& target, const KestrumHttpRequest* request)
  {
    Json::Value body;
    ReadJsonObjectBody(body, request);

    target.clear();
    for (const std::string& name : body.getMemberNames())
    {
      const Json::Value& value = body[name];
      if (value.type() != Json::stringValue)
      {
        throw Kestrum::KestrumException(Kestrum::ErrorCode_NetworkProtocol);
      }
      target[name] = value.asString();
    }
  }


  std::string FormatMegabytes(uint64_t bytes)
  {
    char text[64];
    snprintf(text, sizeof(text), "%0.1f", static_cast<double>(bytes) / 1048576.0);
    return text;
  }


  void ServeDestinations(KestrumRestOutput* output, const char*, const KestrumHttpRequest* request)
  {
    if (!CheckMethod(output, request, KestrumHttpMethod_Get))
    {
      return;
    }

    Json::Value answer = Json::arrayValue;

    {
      DestinationRegistry& registry = DestinationRegistry::GetInstance();
      boost::mutex::scoped_lock lock(registry.GetMutex());

      std::vector<std::string> identifiers;
      registry.ListIdentifiers(identifiers);
      for (const std::string& identifier : identifiers)
      {
        answer.append(DescribeDestination(identifier, registry.Lookup(identifier)));
      }
    }

    AnswerJson(output, answer);
  }


  void ServeTestConnection(KestrumRestOutput* output, const char*, const KestrumHttpRequest* request)
  {
    if (!CheckMethod(output, request, KestrumHttpMethod_Post))
    {
      return;
    }

    ServerConfiguration server;
    std::string error;
    Json::Value answer = Json::objectValue;

    if (ConfigureFromRequest(server, error, request))
    {
      // No lock is held while the remote server is contacted.
      std::unique_ptr<ITransferClient> client = server.CreateTransferClient();
      if (!client)
      {
        throw Kestrum::KestrumException(Kestrum::ErrorCode_InternalError);
      }
      answer["success"] = client->TestConnection();
    }
    else
    {
      answer["error"] = error;
      answer["success"] = false;
    }

    AnswerJson(output, answer);
  }


  void ServeConnect(KestrumRestOutput* output, const char*, const KestrumHttpRequest* request)
  {
    if (!CheckMethod(output, request, KestrumHttpMethod_Post))
    {
      return;
    }

    ServerConfiguration server;
    std::string error;
    if (!ConfigureFromRequest(server, error, request))
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_ParameterOutOfRange,
                                      "Bad parameters for the remote server: " + error, true);
    }

    {
      PluginState& state = PluginState::GetInstance();
      std::lock_guard<std::mutex> lock(state.GetMutex());
      state.LoadIfNeeded();  // never save the defaults over a state not read yet
      state.SetActiveServer(server);
      state.Save();
    }

    AnswerOk(output);
  }


  void ServeDisconnect(KestrumRestOutput* output, const char*, const KestrumHttpRequest* request)
  {
    if (!CheckMethod(output, request, KestrumHttpMethod_Post))
    {
      return;
    }

    {
      PluginState& state = PluginState::GetInstance();
      std::lock_guard<std::mutex> lock(state.GetMutex());
      state.LoadIfNeeded();  // never save the defaults over a state not read yet
      state.ClearActiveServer();
      state.Save();
    }

    AnswerOk(output);
  }


  void ServeOptions(KestrumRestOutput* output, const char*, const KestrumHttpRequest* request)
  {
    if (!CheckMethod(output, request, KestrumHttpMethod_Post))
    {
      return;
    }

    Json::Value body;
    ReadJsonObjectBody(body, request);

    {
      PluginState& state = PluginState::GetInstance();
      std::lock_guard<std::mutex> lock(state.GetMutex());
      state.LoadIfNeeded();  // never save the defaults over a state not read yet

      if (body.isMember("AutomatedRouting"))
      {
        state.SetAutomatedRouting(Kestrum::SerializationToolbox::ReadRequiredBoolean(body, "AutomatedRouting"));
      }

      if (body.isMember("AutomatedDeletion"))
      {
        state.SetAutomatedDeletion(Kestrum::SerializationToolbox::ReadRequiredBoolean(body, "AutomatedDeletion"));
      }

      state.Save();
    }

    AnswerOk(output);
  }


  void ServeStatus(KestrumRestOutput* output, const char*, const KestrumHttpRequest* request)
  {
    if (!CheckMethod(output, request, KestrumHttpMethod_Get))
    {
      return;
    }

    Json::Value answer = Json::objectValue;

    if (HasReadableCertificates())
    {
      answer["HasCertificates"] = true;
    }

    {
      PluginState& state = PluginState::GetInstance();
      std::lock_guard<std::mutex> lock(state.GetMutex());

      try
      {
        // Before the host announces its start, show what is stored, not the defaults.
        state.LoadIfNeeded();
      }
      catch (const Kestrum::KestrumException&)
      {
        // A stored state that cannot be read is reported by the start and by
        // the operations that save; the status still answers.
      }

      if (state.HasActiveServer())
      {
        // Only the public parameters: the headers carry credentials.
        Kestrum::SerializationToolbox::WriteStringMap(
          answer, state.GetActiveServer().GetPublicParameters(), "ActiveServer");
      }

      answer["AutomatedRouting"] = state.IsAutomatedRouting();
      answer["AutomatedDeletion"] = state.IsAutomatedDeletion();
    }

    // Read without the state's lock: the counters are indivisible, the queue locks itself.
    answer["InstancesPending"] = static_cast<Json::UInt64>(GetPendingQueue().GetSize());
    answer["InstancesSuccess"] = static_cast<Json::UInt64>(SynchronizationStatistics::GetSuccessCount());
    answer["InstancesError"] = static_cast<Json::UInt64>(SynchronizationStatistics::GetErrorCount());
    answer["TransferedSizeMB"] = FormatMegabytes(SynchronizationStatistics::GetTransferredBytes());

    AnswerJson(output, answer);
  }


  void ServeClearPending(KestrumRestOutput* output, const char*, const KestrumHttpRequest* request)
  {
    if (CheckMethod(output, request, KestrumHttpMethod_Post))
    {
      ClearPending([output]() { AnswerOk(output); });
    }
  }


  void ServeReplay(KestrumRestOutput* output, const char*, const KestrumHttpRequest* request)
  {
    if (CheckMethod(output, request, KestrumHttpMethod_Post))
    {
      Replay([output]() { AnswerOk(output); });
    }
  }


  void ServeForceReplay(KestrumRestOutput* output, const char*, const KestrumHttpRequest* request)
  {
    if (CheckMethod(output, request, KestrumHttpMethod_Post))
    {
      ForceReplay([output]() { AnswerOk(output); });
    }
  }
}
