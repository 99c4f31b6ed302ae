// Bodies of the JSON API from any browser or script: the parameters map of
// test-connection and connect, and the options body. Refusals carry the codes
// of the API's failure table, and an accepted map holds exactly the strings
// that the body held.

#include "FuzzSupport.h"

#include "FakeHost.h"

#include <KestrumException.h>
#include <WebInterface/RestApi.h>

#include <json/writer.h>
#include <map>

extern "C"
{
  int32_t KestrumPluginInitialize(KestrumPluginContext* context);
  void KestrumPluginFinalize();
}

namespace
{
  const char* const TARGET = "FuzzParametersMap";

  void CheckRefusal(const Kestrum::KestrumException& e, const char* reader)
  {
    FUZZ_CHECK(TARGET, e.GetErrorCode() == Kestrum::ErrorCode_NetworkProtocol,
               std::string(reader) + " refused with code " + std::to_string(e.GetErrorCode()));
  }
}

int QuelbyCloud::Fuzzing::FuzzOne(const uint8_t* data, size_t size)
{
  Testing::FakeHost& host = ResetHost();
  const std::string_view body(reinterpret_cast<const char*>(data), size);

  // The oracle reads with the same grammar as the API (comments allowed), so
  // that only what the API does with the document is compared.
  Json::Value independent;
  const bool isObject = ParseIndependently(independent, data, size) && independent.isObject();

  try
  {
    const DestinationParameters parameters = ReadParametersMap(body);

    FUZZ_CHECK(TARGET, isObject, "a body that is no JSON object was taken as parameters");
    FUZZ_CHECK(TARGET, parameters.size() == independent.size(), "parameters lost or invented");
    for (const auto& parameter : parameters)
    {
      const Json::Value& value = independent[parameter.first];
      FUZZ_CHECK(TARGET, value.isString() && value.asString() == parameter.second,
                 "parameter changed: " + parameter.first);
    }

    // Typed values end up in the stored state (URL, headers): they must come
    // back unchanged from the writer and reader that store it. Only values:
    // the names are matched against the destination's keys, never stored.
    Json::Value stored = Json::arrayValue;
    for (const auto& parameter : parameters)
    {
      stored.append(parameter.second);
    }
    const std::string written = Json::StyledWriter().write(stored);
    Json::Value reread;
    FUZZ_CHECK(TARGET, ParseIndependently(reread, reinterpret_cast<const uint8_t*>(written.data()), written.size()) &&
               reread == stored, "accepted parameters do not survive being stored");
  }
  catch (const Kestrum::KestrumException& e)
  {
    CheckRefusal(e, "ReadParametersMap");
  }

  // The options route as the host calls it.
  FUZZ_CHECK(TARGET, KestrumPluginInitialize(host.GetContext()) == 0, "the plug-in did not start");
  const Testing::FakeHost::RouteAnswer answer =
    host.CallRoute("POST", "/plugins/quelby-cloud/api/options", std::string(body));
  KestrumPluginFinalize();

  switch (answer.callbackCode)
  {
    case 0:
      FUZZ_CHECK(TARGET, answer.status == 200 && answer.body == "ok", "options accepted without \"ok\"");
      FUZZ_CHECK(TARGET, isObject, "options taken from a body that is no JSON object");
      FUZZ_CHECK(TARGET, host.GetGlobalProperty(5467).has_value(), "options accepted but not saved");
      break;
    case Kestrum::ErrorCode_NetworkProtocol:   // not a JSON object
    case Kestrum::ErrorCode_BadFileFormat:     // an option that is not a boolean
      FUZZ_CHECK(TARGET, answer.answerCount == 0, "a refused options request was answered");
      FUZZ_CHECK(TARGET, !host.GetGlobalProperty(5467).has_value(), "a refused options request was stored");
      break;
    default:
      Fail(TARGET, "options answered with code " + std::to_string(answer.callbackCode));
  }

  CheckHostMemory(TARGET);
  return 0;
}
