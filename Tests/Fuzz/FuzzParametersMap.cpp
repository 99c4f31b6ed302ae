// Bodies of the JSON API from any browser or script: the parameters map of
// test-connection and connect, and the options body. Refusals carry the codes
// of the API's failure table, and an accepted map holds exactly the strings
// that the body held.

#include "FuzzSupport.h"

#include "FakeHost.h"

#include <HostBridge/GuardedRestCallback.h>
#include <KestrumException.h>
#include <WebInterface/RestApi.h>

#include <json/reader.h>
#include <json/writer.h>
#include <map>

namespace
{
  const char* const TARGET = "FuzzParametersMap";

  KestrumHttpRequest PostRequest(const uint8_t* data, size_t size)
  {
    KestrumHttpRequest request = {};
    request.method = KestrumHttpMethod_Post;
    request.body = data;
    request.bodySize = static_cast<uint32_t>(size);
    return request;
  }

  void CheckRefusal(const Kestrum::KestrumException& e, const char* reader)
  {
    FUZZ_CHECK(TARGET, e.GetErrorCode() == Kestrum::ErrorCode_NetworkProtocol,
               std::string(reader) + " refused with code " + std::to_string(e.GetErrorCode()));
  }
}

int QuelbyCloud::Fuzzing::FuzzOne(const uint8_t* data, size_t size)
{
  ResetHost();
  const KestrumHttpRequest request = PostRequest(data, size);

  // The oracle reads with the same grammar as the API (comments allowed), so
  // that only what the API does with the document is compared.
  Json::Value independent;
  bool isObject = false;
  try
  {
    Json::Reader reader;
    const char* begin = reinterpret_cast<const char*>(data);
    isObject = reader.parse(begin, begin + size, independent, false) && independent.isObject();
  }
  catch (const Json::Exception&)
  {
  }

  std::map<std::string, std::string> parameters;
  try
  {
    ReadParametersMap(parameters, &request);

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
    Json::Value reread;
    Json::Reader reader;
    FUZZ_CHECK(TARGET, reader.parse(Json::StyledWriter().write(stored), reread) && reread == stored,
               "accepted parameters do not survive being stored");
  }
  catch (const Kestrum::KestrumException& e)
  {
    CheckRefusal(e, "ReadParametersMap");
  }

  Json::Value body;
  try
  {
    ReadJsonObjectBody(body, &request);
    FUZZ_CHECK(TARGET, body.isObject(), "ReadJsonObjectBody gave something else than an object");
  }
  catch (const Kestrum::KestrumException& e)
  {
    CheckRefusal(e, "ReadJsonObjectBody");
  }

  // The options route as the host calls it.
  Testing::FakeHost& host = Testing::FakeHost::Shared();
  const Testing::FakeHost::RouteAnswer answer =
    host.CallHandler(GuardedRestCallback<ServeOptions>, "POST", {},
                     std::string(reinterpret_cast<const char*>(data), size));

  switch (answer.callbackCode)
  {
    case 0:
      FUZZ_CHECK(TARGET, answer.status == 200 && answer.body == "ok", "options accepted without \"ok\"");
      FUZZ_CHECK(TARGET, host.GetGlobalProperty(5467).has_value(), "options accepted but not saved");
      break;
    case Kestrum::ErrorCode_NetworkProtocol:   // not a JSON object
    case Kestrum::ErrorCode_BadFileFormat:     // an option that is not a boolean
      FUZZ_CHECK(TARGET, answer.answerCount == 0, "a refused options request was answered");
      break;
    default:
      Fail(TARGET, "options answered with code " + std::to_string(answer.callbackCode));
  }

  CheckHostMemory(TARGET);
  return 0;
}
