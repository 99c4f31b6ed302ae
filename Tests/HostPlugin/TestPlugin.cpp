/**
 * A plug-in that exercises the host's side of the plug-in interface and
 * reports what it saw through its own REST routes, so that black-box tests
 * can check the host before the real plug-in relies on it.
 *
 * Environment:
 *   TEST_PLUGIN_REFUSE=1         KestrumPluginInitialize fails
 *   TEST_PLUGIN_CHANGES_FILE=F   every change received is appended to F
 *   TEST_PLUGIN_SLOW_CHANGES_MS=N the change callback takes N ms per change
 */

#include <Plugins/KestrumPluginInterface.h>

#include <json/json.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{
  const char* const PLUGIN_NAME = "kestrum-test-plugin";
  const char* const PLUGIN_VERSION = "1.2.3";

  KestrumPluginContext* context_ = nullptr;

  struct ObservedChange
  {
    int32_t changeType;
    int32_t resourceType;
    std::string resourceId;
  };

  std::mutex changesMutex_;
  std::vector<ObservedChange> changes_;
  std::string changesFile_;
  int slowChangesMs_ = 0;


  // ---- Base64, for carrying arbitrary bytes inside JSON ----

  const char* const BASE64_ALPHABET =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

  std::string EncodeBase64(const void* data, size_t size)
  {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    for (size_t i = 0; i < size; i += 3)
    {
      uint32_t v = p[i] << 16;
      if (i + 1 < size) v |= p[i + 1] << 8;
      if (i + 2 < size) v |= p[i + 2];
      out += BASE64_ALPHABET[(v >> 18) & 63];
      out += BASE64_ALPHABET[(v >> 12) & 63];
      out += (i + 1 < size) ? BASE64_ALPHABET[(v >> 6) & 63] : '=';
      out += (i + 2 < size) ? BASE64_ALPHABET[v & 63] : '=';
    }
    return out;
  }

  std::string DecodeBase64(const std::string& text)
  {
    std::string out;
    uint32_t accumulator = 0;
    int bits = 0;
    for (char c : text)
    {
      const char* position = std::strchr(BASE64_ALPHABET, c);
      if (c == '\0' || position == nullptr)
      {
        continue;  // padding and white space
      }
      accumulator = (accumulator << 6) | static_cast<uint32_t>(position - BASE64_ALPHABET);
      bits += 6;
      if (bits >= 8)
      {
        bits -= 8;
        out += static_cast<char>((accumulator >> bits) & 0xff);
      }
    }
    return out;
  }


  // ---- Host memory and answers ----

  /** A block that the host allocated, given back on every path. */
  class HostMemory
  {
  public:
    KestrumMemoryBuffer buffer{nullptr, 0};

    HostMemory() = default;
    HostMemory(const HostMemory&) = delete;
    HostMemory& operator=(const HostMemory&) = delete;
    ~HostMemory()
    {
      if (buffer.data != nullptr)
      {
        context_->Free(buffer.data);
      }
    }

    std::string ToString() const
    {
      return buffer.data == nullptr ? std::string()
        : std::string(static_cast<const char*>(buffer.data), buffer.size);
    }
  };

  class HostText
  {
  public:
    char* text = nullptr;

    HostText() = default;
    HostText(const HostText&) = delete;
    HostText& operator=(const HostText&) = delete;
    ~HostText()
    {
      if (text != nullptr)
      {
        context_->Free(text);
      }
    }
  };

  void Log(int32_t service, const std::string& line)
  {
    context_->InvokeService(context_, service, line.c_str());
  }

  void Answer(KestrumRestOutput* output, const std::string& body, const char* mimeType)
  {
    _KestrumAnswerBuffer params;
    params.output = output;
    params.answer = body.data();
    params.answerSize = static_cast<uint32_t>(body.size());
    params.mimeType = mimeType;
    context_->InvokeService(context_, KestrumService_AnswerBuffer, &params);
  }

  void AnswerJson(KestrumRestOutput* output, const Json::Value& value)
  {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    Answer(output, Json::writeString(builder, value), "application/json");
  }

  bool ParseJson(Json::Value& target, const std::string& text)
  {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    return reader->parse(text.data(), text.data() + text.size(), &target, &errors);
  }

  std::string RequestBody(const KestrumHttpRequest* request)
  {
    return request->body == nullptr ? std::string()
      : std::string(static_cast<const char*>(request->body), request->bodySize);
  }

  std::string QueryArgument(const KestrumHttpRequest* request, const char* key,
                            const std::string& defaultValue = "")
  {
    for (uint32_t i = 0; i < request->getCount; i++)
    {
      if (std::strcmp(request->getKeys[i], key) == 0)
      {
        return request->getValues[i];
      }
    }
    return defaultValue;
  }

  bool AllowOnly(KestrumRestOutput* output, const KestrumHttpRequest* request,
                 int32_t method, const char* name)
  {
    if (request->method == method)
    {
      return true;
    }
    _KestrumOutputAllowedMethods params{output, name};
    context_->InvokeService(context_, KestrumService_SendMethodNotAllowed, &params);
    return false;
  }

  std::string FirstGroup(const KestrumHttpRequest* request)
  {
    return request->groupsCount > 0 ? request->groups[0] : "";
  }


  // ---- Routes ----

  /** Echoes what the host handed over: groups, method, query and body. */
  KestrumErrorCode Echo(KestrumRestOutput* output, const char* url, const KestrumHttpRequest* request)
  {
    Json::Value answer;
    answer["Url"] = url;
    answer["Method"] = request->method;
    answer["Groups"] = Json::arrayValue;
    for (uint32_t i = 0; i < request->groupsCount; i++)
    {
      answer["Groups"].append(request->groups[i]);
    }
    answer["Query"] = Json::objectValue;
    for (uint32_t i = 0; i < request->getCount; i++)
    {
      answer["Query"][request->getKeys[i]] = request->getValues[i];
    }
    answer["Body"] = EncodeBase64(request->body, request->body == nullptr ? 0 : request->bodySize);
    AnswerJson(output, answer);
    return 0;
  }

  KestrumErrorCode OrderSpecific(KestrumRestOutput* output, const char*, const KestrumHttpRequest*)
  {
    Answer(output, "specific", "text/plain");
    return 0;
  }

  KestrumErrorCode OrderCatchAll(KestrumRestOutput* output, const char*, const KestrumHttpRequest* request)
  {
    Answer(output, "catch-all:" + FirstGroup(request), "text/plain");
    return 0;
  }

  KestrumErrorCode OrderShadowed(KestrumRestOutput* output, const char*, const KestrumHttpRequest*)
  {
    Answer(output, "shadowed", "text/plain");
    return 0;
  }

  /** Returns the error code given in the path, to check the host's mapping to HTTP. */
  KestrumErrorCode Fail(KestrumRestOutput*, const char*, const KestrumHttpRequest* request)
  {
    return static_cast<KestrumErrorCode>(std::atoi(FirstGroup(request).c_str()));
  }

  KestrumErrorCode PostOnly(KestrumRestOutput* output, const char*, const KestrumHttpRequest* request)
  {
    if (AllowOnly(output, request, KestrumHttpMethod_Post, "POST"))
    {
      Answer(output, "posted", "text/plain");
    }
    return 0;
  }

  KestrumErrorCode Changes(KestrumRestOutput* output, const char*, const KestrumHttpRequest* request)
  {
    if (!AllowOnly(output, request, KestrumHttpMethod_Get, "GET"))
    {
      return 0;
    }
    Json::Value answer = Json::arrayValue;
    {
      std::lock_guard<std::mutex> lock(changesMutex_);
      for (const ObservedChange& change : changes_)
      {
        Json::Value item;
        item["ChangeType"] = change.changeType;
        item["ResourceType"] = change.resourceType;
        item["ID"] = change.resourceId;
        answer.append(item);
      }
    }
    AnswerJson(output, answer);
    return 0;
  }

  /** GET, PUT or DELETE into the host's REST API: ?uri=...&withPlugins=0|1;
      a PUT forwards the request body. Answers the service's code and answer. */
  KestrumErrorCode CallRest(KestrumRestOutput* output, const char*, const KestrumHttpRequest* request)
  {
    const std::string uri = QueryArgument(request, "uri");
    const bool withPlugins = QueryArgument(request, "withPlugins", "0") == "1";
    const std::string body = RequestBody(request);

    HostMemory answer;
    KestrumErrorCode code;
    switch (request->method)
    {
      case KestrumHttpMethod_Get:
      {
        _KestrumRestApiGet params{&answer.buffer, uri.c_str()};
        code = context_->InvokeService(context_, withPlugins ? KestrumService_RestApiGetAfterPlugins
                                       : KestrumService_RestApiGet, &params);
        break;
      }
      case KestrumHttpMethod_Put:
      {
        _KestrumRestApiPut params{&answer.buffer, uri.c_str(), body.data(),
                                  static_cast<uint32_t>(body.size())};
        code = context_->InvokeService(context_, withPlugins ? KestrumService_RestApiPutAfterPlugins
                                       : KestrumService_RestApiPut, &params);
        break;
      }
      case KestrumHttpMethod_Delete:
        code = context_->InvokeService(context_, withPlugins ? KestrumService_RestApiDeleteAfterPlugins
                                       : KestrumService_RestApiDelete, uri.c_str());
        break;
      default:
      {
        _KestrumOutputAllowedMethods params{output, "GET,PUT,DELETE"};
        context_->InvokeService(context_, KestrumService_SendMethodNotAllowed, &params);
        return 0;
      }
    }

    Json::Value result;
    result["Code"] = code;
    result["Body"] = code == 0 ? EncodeBase64(answer.buffer.data, answer.buffer.size) : "";
    AnswerJson(output, result);
    return 0;
  }

  /** Global property N through services 8 (GET, ?default=...) and 9 (PUT, the body). */
  KestrumErrorCode GlobalProperty(KestrumRestOutput* output, const char*, const KestrumHttpRequest* request)
  {
    const int32_t property = std::atoi(FirstGroup(request).c_str());
    Json::Value result;
    if (request->method == KestrumHttpMethod_Get)
    {
      const std::string defaultValue = QueryArgument(request, "default");
      HostText value;
      _KestrumGetGlobalProperty params{&value.text, property, defaultValue.c_str()};
      result["Code"] = context_->InvokeService(context_, KestrumService_GetGlobalProperty, &params);
      result["Value"] = value.text == nullptr ? Json::Value() : Json::Value(value.text);
    }
    else if (request->method == KestrumHttpMethod_Put)
    {
      const std::string value = RequestBody(request);
      _KestrumSetGlobalProperty params{nullptr, property, value.c_str()};
      result["Code"] = context_->InvokeService(context_, KestrumService_SetGlobalProperty, &params);
    }
    else
    {
      _KestrumOutputAllowedMethods params{output, "GET,PUT"};
      context_->InvokeService(context_, KestrumService_SendMethodNotAllowed, &params);
      return 0;
    }
    AnswerJson(output, result);
    return 0;
  }

  KestrumErrorCode Configuration(KestrumRestOutput* output, const char*, const KestrumHttpRequest* request)
  {
    if (!AllowOnly(output, request, KestrumHttpMethod_Get, "GET"))
    {
      return 0;
    }
    HostText text;
    _KestrumGetConfiguration params{&text.text, nullptr};
    Json::Value result;
    result["Code"] = context_->InvokeService(context_, KestrumService_GetConfiguration, &params);
    result["Text"] = text.text == nullptr ? Json::Value() : Json::Value(text.text);
    AnswerJson(output, result);
    return 0;
  }

  KestrumErrorCode UnknownService(KestrumRestOutput* output, const char*, const KestrumHttpRequest*)
  {
    int dummy = 0;
    Json::Value result;
    result["Code"] = context_->InvokeService(context_, 987654, &dummy);
    AnswerJson(output, result);
    return 0;
  }

  /** Logs the body as one line at the level given by ?level=1|2|3. */
  KestrumErrorCode LogLine(KestrumRestOutput* output, const char*, const KestrumHttpRequest* request)
  {
    if (!AllowOnly(output, request, KestrumHttpMethod_Post, "POST"))
    {
      return 0;
    }
    const int32_t level = std::atoi(QueryArgument(request, "level", "2").c_str());
    Json::Value result;
    result["Code"] = context_->InvokeService(context_, level, RequestBody(request).c_str());
    AnswerJson(output, result);
    return 0;
  }

  /**
   * One outgoing request through service 27, described by a JSON body:
   * {"Method", "Url", "Headers": {..}, "Body" (base64), "Username",
   *  "Password", "Timeout", "CertificateFile", "CertificateKeyFile",
   *  "CertificateKeyPassword", "Pkcs11"}.
   * Answers {"Code", "Status", "Headers" (as parsed), "HeadersText", "Body" (base64)}.
   */
  KestrumErrorCode CallHttp(KestrumRestOutput* output, const char*, const KestrumHttpRequest* request)
  {
    if (!AllowOnly(output, request, KestrumHttpMethod_Post, "POST"))
    {
      return 0;
    }

    Json::Value description;
    if (!ParseJson(description, RequestBody(request)) || !description.isObject())
    {
      return 8;  // bad request
    }

    const std::string url = description.get("Url", "").asString();
    const std::string body = DecodeBase64(description.get("Body", "").asString());
    const std::string username = description.get("Username", "").asString();
    const std::string password = description.get("Password", "").asString();
    const std::string certificateFile = description.get("CertificateFile", "").asString();
    const std::string certificateKeyFile = description.get("CertificateKeyFile", "").asString();
    const std::string certificateKeyPassword = description.get("CertificateKeyPassword", "").asString();

    std::vector<std::string> names, values;
    const Json::Value& headers = description["Headers"];
    if (headers.isObject())
    {
      for (const std::string& name : headers.getMemberNames())
      {
        names.push_back(name);
        values.push_back(headers[name].asString());
      }
    }
    std::vector<const char*> namePointers, valuePointers;
    for (size_t i = 0; i < names.size(); i++)
    {
      namePointers.push_back(names[i].c_str());
      valuePointers.push_back(values[i].c_str());
    }

    HostMemory answerBody, answerHeaders;
    uint16_t status = 0;

    _KestrumCallHttpClient params;
    std::memset(&params, 0, sizeof(params));
    params.answerBody = &answerBody.buffer;
    params.answerHeaders = &answerHeaders.buffer;
    params.httpStatus = &status;
    params.method = description.get("Method", KestrumHttpMethod_Get).asInt();
    params.url = url.c_str();
    params.headersCount = static_cast<uint32_t>(names.size());
    params.headersKeys = names.empty() ? nullptr : namePointers.data();
    params.headersValues = names.empty() ? nullptr : valuePointers.data();
    params.body = body.empty() ? nullptr : body.data();
    params.bodySize = static_cast<uint32_t>(body.size());
    params.username = username.empty() ? nullptr : username.c_str();
    params.password = password.empty() ? nullptr : password.c_str();
    params.timeout = description.get("Timeout", 0).asUInt();
    params.certificateFile = certificateFile.empty() ? nullptr : certificateFile.c_str();
    params.certificateKeyFile = certificateFile.empty() ? nullptr : certificateKeyFile.c_str();
    params.certificateKeyPassword = certificateFile.empty() ? nullptr : certificateKeyPassword.c_str();
    params.pkcs11 = description.get("Pkcs11", false).asBool() ? 1 : 0;

    Json::Value result;
    result["Code"] = context_->InvokeService(context_, KestrumService_CallHttpClient, &params);
    result["Status"] = status;
    result["HeadersText"] = answerHeaders.ToString();
    Json::Value parsedHeaders;
    if (!answerHeaders.ToString().empty() && ParseJson(parsedHeaders, answerHeaders.ToString()))
    {
      result["Headers"] = parsedHeaders;
    }
    result["Body"] = EncodeBase64(answerBody.buffer.data, answerBody.buffer.size);
    AnswerJson(output, result);
    return 0;
  }


  // ---- Change callback ----

  KestrumErrorCode OnChange(int32_t changeType, int32_t resourceType, const char* resourceId)
  {
    const std::string id = resourceId == nullptr ? "" : resourceId;
    if (slowChangesMs_ > 0)
    {
      std::this_thread::sleep_for(std::chrono::milliseconds(slowChangesMs_));
    }
    std::lock_guard<std::mutex> lock(changesMutex_);
    changes_.push_back({changeType, resourceType, id});
    if (!changesFile_.empty())
    {
      // Appended at once, so that the test can read them after the host stopped.
      FILE* f = std::fopen(changesFile_.c_str(), "a");
      if (f != nullptr)
      {
        std::fprintf(f, "%d %d %s\n", changeType, resourceType, id.c_str());
        std::fclose(f);
      }
    }
    return 0;
  }


  // ---- Registration ----

  void RegisterRoute(const char* expression, KestrumRestCallback callback)
  {
    _KestrumRestCallback params{expression, callback};
    context_->InvokeService(context_, KestrumService_RegisterRestCallbackNoLock, &params);
  }

  void SetProperty(int32_t property, const char* value)
  {
    _KestrumSetPluginProperty params{PLUGIN_NAME, property, value};
    context_->InvokeService(context_, KestrumService_SetPluginProperty, &params);
  }
}


extern "C"
{
  KESTRUM_PLUGINS_API int32_t KestrumPluginInitialize(KestrumPluginContext* context)
  {
    context_ = context;

    const char* refuse = std::getenv("TEST_PLUGIN_REFUSE");
    if (refuse != nullptr && std::string(refuse) == "1")
    {
      Log(KestrumService_LogError, "Test plugin: refusing to start as asked");
      return -1;
    }

    const char* changesFile = std::getenv("TEST_PLUGIN_CHANGES_FILE");
    changesFile_ = changesFile == nullptr ? "" : changesFile;
    const char* slow = std::getenv("TEST_PLUGIN_SLOW_CHANGES_MS");
    slowChangesMs_ = slow == nullptr ? 0 : std::atoi(slow);

    Log(KestrumService_LogWarning, std::string("Test plugin: started in host version ") +
        (context->kestrumVersion == nullptr ? "(null)" : context->kestrumVersion));

    SetProperty(KestrumProperty_Description, "Exercises the host's plug-in interface");
    SetProperty(KestrumProperty_RootUri, "/testplugin/echo/root");
    SetProperty(KestrumProperty_ExplorerExtension, "window.testPluginExtensionRan = true;");

    RegisterRoute("/testplugin/echo/(.*)", Echo);
    // The specific route comes before the catch-all, the shadowed one after it.
    RegisterRoute("/testplugin/order/specific", OrderSpecific);
    RegisterRoute("/testplugin/order/(.*)", OrderCatchAll);
    RegisterRoute("/testplugin/order/shadowed", OrderShadowed);
    RegisterRoute("/testplugin/fail/(-?[0-9]+)", Fail);
    RegisterRoute("/testplugin/post-only", PostOnly);
    RegisterRoute("/testplugin/changes", Changes);
    RegisterRoute("/testplugin/rest", CallRest);
    RegisterRoute("/testplugin/global-property/([0-9]+)", GlobalProperty);
    RegisterRoute("/testplugin/configuration", Configuration);
    RegisterRoute("/testplugin/unknown-service", UnknownService);
    RegisterRoute("/testplugin/log", LogLine);
    RegisterRoute("/testplugin/call-http", CallHttp);

    _KestrumOnChangeCallback change{OnChange};
    context_->InvokeService(context_, KestrumService_RegisterOnChangeCallback, &change);
    return 0;
  }

  KESTRUM_PLUGINS_API void KestrumPluginFinalize()
  {
    Log(KestrumService_LogWarning, "Test plugin: finalized");

    // The host's services must still work here: a plug-in stops its threads,
    // which may be in the middle of a REST call, during finalization.
    HostMemory answer;
    _KestrumRestApiGet params{&answer.buffer, "/system"};
    const KestrumErrorCode code = context_->InvokeService(context_, KestrumService_RestApiGet, &params);

    std::lock_guard<std::mutex> lock(changesMutex_);
    if (!changesFile_.empty())
    {
      // Marks where finalization fell among the changes.
      FILE* f = std::fopen(changesFile_.c_str(), "a");
      if (f != nullptr)
      {
        std::fprintf(f, "finalized %d %d\n", code, answer.ToString().find("\"Name\"") != std::string::npos);
        std::fclose(f);
      }
    }
  }

  KESTRUM_PLUGINS_API const char* KestrumPluginGetName()
  {
    return PLUGIN_NAME;
  }

  KESTRUM_PLUGINS_API const char* KestrumPluginGetVersion()
  {
    return PLUGIN_VERSION;
  }
}
