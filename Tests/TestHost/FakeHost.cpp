#include "FakeHost.h"

#include <Enumerations.h>
#include <Logging.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <set>
#include <stdexcept>

struct _KestrumRestOutput_t
{
  QuelbyCloud::Testing::FakeHost::RouteAnswer answer;
};

namespace QuelbyCloud
{
  namespace Testing
  {
    struct FakeHost::Binding
    {
      KestrumPluginContext context;   // first member: the plug-in hands back its address
      FakeHost* owner;
    };

    namespace
    {
      // Host memory is counted process-wide: the free function gets no context.
      struct AllocationTracker
      {
        std::mutex mutex;
        std::set<void*> live;
        size_t badFrees = 0;
      };

      AllocationTracker& Tracker()
      {
        static AllocationTracker tracker;
        return tracker;
      }

      std::string Text(const char* text)
      {
        return text == nullptr ? std::string() : std::string(text);
      }

      std::optional<std::string> OptionalText(const char* text)
      {
        if (text == nullptr)
        {
          return std::nullopt;
        }
        return std::string(text);
      }

      std::string Bytes(const void* data, uint32_t size)
      {
        return (data == nullptr || size == 0) ? std::string() :
          std::string(static_cast<const char*>(data), size);
      }

      int32_t MethodCode(const std::string& method)
      {
        if (method == "GET") return KestrumHttpMethod_Get;
        if (method == "POST") return KestrumHttpMethod_Post;
        if (method == "PUT") return KestrumHttpMethod_Put;
        if (method == "DELETE") return KestrumHttpMethod_Delete;
        throw std::invalid_argument("Unknown HTTP method: " + method);
      }

      // Exact key first, else the longest scripted prefix of the key.
      template <typename Computer>
      const Computer* FindScript(const std::map<std::string, Computer>& exact,
                                 const std::map<std::string, Computer>& prefixes,
                                 const std::string& key)
      {
        auto found = exact.find(key);
        if (found != exact.end())
        {
          return &found->second;
        }

        const Computer* best = nullptr;
        size_t bestLength = 0;
        for (const auto& entry : prefixes)
        {
          if (key.compare(0, entry.first.size(), entry.first) == 0 &&
              (best == nullptr || entry.first.size() >= bestLength))
          {
            best = &entry.second;
            bestLength = entry.first.size();
          }
        }
        return best;
      }
    }


    FakeHost& FakeHost::RestScript::Answer(const std::string& body)
    {
      return Compute([body](const RestCall&) { return RestReply::Ok(body); });
    }

    FakeHost& FakeHost::RestScript::Fail(int32_t code)
    {
      return Compute([code](const RestCall&) { return RestReply::Failure(code); });
    }

    FakeHost& FakeHost::RestScript::Compute(RestComputer computer)
    {
      std::lock_guard<std::mutex> lock(host_.mutex_);
      (prefix_ ? host_.restPrefix_ : host_.restExact_)[method_ + " " + uri_] = computer;
      return host_;
    }

    FakeHost& FakeHost::HttpScript::Answer(uint16_t status, const std::string& body, const std::string& headersJson)
    {
      HttpReply reply = HttpReply::Ok(body, status, headersJson);
      return Compute([reply](const HttpRequest&) { return reply; });
    }

    FakeHost& FakeHost::HttpScript::Fail(int32_t code, uint16_t status)
    {
      return Compute([code, status](const HttpRequest&) { return HttpReply::Failure(code, status); });
    }

    FakeHost& FakeHost::HttpScript::Compute(HttpComputer computer)
    {
      std::lock_guard<std::mutex> lock(host_.mutex_);
      (prefix_ ? host_.httpPrefix_ : host_.httpExact_)[url_] = computer;
      return host_;
    }


    FakeHost::FakeHost(const std::string& version) :
      binding_(new Binding),
      version_(version),
      configuration_(std::string("{}")),
      configurationFailure_(0),
      allocateEmptyAnswers_(true)
    {
      binding_->context.pluginsManager = nullptr;
      binding_->context.kestrumVersion = version_.c_str();
      binding_->context.Free = &FakeHost::Free;
      binding_->context.InvokeService = &FakeHost::InvokeServiceEntry;
      binding_->owner = this;
    }

    FakeHost::~FakeHost()
    {
    }

    KestrumPluginContext* FakeHost::GetContext()
    {
      return &binding_->context;
    }

    void FakeHost::Reset()
    {
      std::lock_guard<std::mutex> lock(mutex_);
      calls_.clear();
      logs_.clear();
      propertySets_.clear();
      globalPropertyAccesses_.clear();
      restCalls_.clear();
      httpRequests_.clear();
      routes_.clear();
      changeCallbacks_.clear();
      restExact_.clear();
      restPrefix_.clear();
      httpExact_.clear();
      httpPrefix_.clear();
      globalProperties_.clear();
      globalPropertyReadFailures_.clear();
      globalPropertyWriteFailures_.clear();
      serviceFailures_.clear();
      configuration_ = std::string("{}");
      configurationFailure_ = 0;
      allocateEmptyAnswers_ = true;
    }

    void FakeHost::SetVersion(const std::string& version)
    {
      std::lock_guard<std::mutex> lock(mutex_);
      version_ = version;
      binding_->context.kestrumVersion = version_.c_str();
    }

    FakeHost& FakeHost::SetGlobalProperty(int32_t property, const std::string& value)
    {
      std::lock_guard<std::mutex> lock(mutex_);
      globalProperties_[property] = value;
      return *this;
    }

    FakeHost& FakeHost::FailGlobalPropertyRead(int32_t property, int32_t code)
    {
      std::lock_guard<std::mutex> lock(mutex_);
      globalPropertyReadFailures_[property] = code;
      return *this;
    }

    FakeHost& FakeHost::FailGlobalPropertyWrite(int32_t property, int32_t code)
    {
      std::lock_guard<std::mutex> lock(mutex_);
      globalPropertyWriteFailures_[property] = code;
      return *this;
    }

    FakeHost& FakeHost::SetConfiguration(const std::string& json)
    {
      std::lock_guard<std::mutex> lock(mutex_);
      configuration_ = json;
      configurationFailure_ = 0;
      return *this;
    }

    FakeHost& FakeHost::SetConfigurationNull()
    {
      std::lock_guard<std::mutex> lock(mutex_);
      configuration_.reset();
      configurationFailure_ = 0;
      return *this;
    }

    FakeHost& FakeHost::FailConfiguration(int32_t code)
    {
      std::lock_guard<std::mutex> lock(mutex_);
      configurationFailure_ = code;
      return *this;
    }

    FakeHost& FakeHost::FailService(int32_t service, int32_t code)
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (code == 0)
      {
        serviceFailures_.erase(service);
      }
      else
      {
        serviceFailures_[service] = code;
      }
      return *this;
    }

    FakeHost& FakeHost::AllocateEmptyAnswers(bool allocate)
    {
      std::lock_guard<std::mutex> lock(mutex_);
      allocateEmptyAnswers_ = allocate;
      return *this;
    }


    KestrumErrorCode FakeHost::InvokeServiceEntry(KestrumPluginContext* context, int32_t service, const void* params)
    {
      if (context == nullptr)
      {
        return Kestrum::ErrorCode_NullPointer;
      }
      return reinterpret_cast<Binding*>(context)->owner->InvokeService(service, params);
    }

    KestrumErrorCode FakeHost::InvokeService(int32_t service, const void* params)
    {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        auto failure = serviceFailures_.find(service);
        if (failure != serviceFailures_.end())
        {
          calls_.push_back(ServiceCall{service, "", ""});
          return failure->second;
        }
      }

      if (params == nullptr)
      {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(ServiceCall{service, "", ""});
        return Kestrum::ErrorCode_NullPointer;
      }

      switch (service)
      {
        case KestrumService_LogInformation:
        case KestrumService_LogWarning:
        case KestrumService_LogError:
          return HandleLog(service, static_cast<const char*>(params));
        case KestrumService_SetPluginProperty:
          return HandleSetProperty(*static_cast<const _KestrumSetPluginProperty*>(params));
        case KestrumService_GetGlobalProperty:
          return HandleGetGlobalProperty(*static_cast<const _KestrumGetGlobalProperty*>(params));
        case KestrumService_SetGlobalProperty:
          return HandleSetGlobalProperty(*static_cast<const _KestrumSetGlobalProperty*>(params));
        case KestrumService_GetConfiguration:
          return HandleGetConfiguration(*static_cast<const _KestrumGetConfiguration*>(params));
        case KestrumService_CallHttpClient:
          return HandleHttpClient(*static_cast<const _KestrumCallHttpClient*>(params));
        case KestrumService_RestApiGet:
        case KestrumService_RestApiGetAfterPlugins:
          return HandleRestGet(service, *static_cast<const _KestrumRestApiGet*>(params));
        case KestrumService_RestApiPut:
        case KestrumService_RestApiPutAfterPlugins:
          return HandleRestPut(service, *static_cast<const _KestrumRestApiPut*>(params));
        case KestrumService_RestApiDelete:
        case KestrumService_RestApiDeleteAfterPlugins:
          return HandleRestDelete(service, static_cast<const char*>(params));
        case KestrumService_AnswerBuffer:
        case KestrumService_SendMethodNotAllowed:
          return HandleAnswer(service, params);

        case KestrumService_RegisterOnChangeCallback:
        {
          const _KestrumOnChangeCallback& p = *static_cast<const _KestrumOnChangeCallback*>(params);
          std::lock_guard<std::mutex> lock(mutex_);
          calls_.push_back(ServiceCall{service, "", ""});
          changeCallbacks_.push_back(p.callback);
          return 0;
        }

        case KestrumService_RegisterRestCallbackNoLock:
        {
          const _KestrumRestCallback& p = *static_cast<const _KestrumRestCallback*>(params);
          std::lock_guard<std::mutex> lock(mutex_);
          calls_.push_back(ServiceCall{service, Text(p.pathRegularExpression), ""});
          routes_.push_back(Route{Text(p.pathRegularExpression), p.callback});
          return 0;
        }

        default:
        {
          std::lock_guard<std::mutex> lock(mutex_);
          calls_.push_back(ServiceCall{service, "", ""});
          return Kestrum::ErrorCode_UnknownPluginService;
        }
      }
    }

    KestrumErrorCode FakeHost::HandleLog(int32_t service, const char* text)
    {
      std::lock_guard<std::mutex> lock(mutex_);
      calls_.push_back(ServiceCall{service, Text(text), ""});
      logs_.push_back(LogEntry{service, Text(text)});
      return 0;
    }

    KestrumErrorCode FakeHost::HandleSetProperty(const _KestrumSetPluginProperty& p)
    {
      std::lock_guard<std::mutex> lock(mutex_);
      calls_.push_back(ServiceCall{KestrumService_SetPluginProperty, std::to_string(p.property), Text(p.value)});
      propertySets_.push_back(PropertySet{Text(p.plugin), p.property, Text(p.value)});
      return 0;
    }

    KestrumErrorCode FakeHost::HandleGetGlobalProperty(const _KestrumGetGlobalProperty& p)
    {
      std::string value;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(ServiceCall{KestrumService_GetGlobalProperty, std::to_string(p.property), Text(p.value)});
        globalPropertyAccesses_.push_back(GlobalPropertyAccess{false, p.property, Text(p.value)});

        auto failure = globalPropertyReadFailures_.find(p.property);
        if (failure != globalPropertyReadFailures_.end())
        {
          return failure->second;
        }

        auto stored = globalProperties_.find(p.property);
        value = (stored == globalProperties_.end() ? Text(p.value) : stored->second);
      }

      if (p.result == nullptr)
      {
        return Kestrum::ErrorCode_NullPointer;
      }
      *p.result = static_cast<char*>(Allocate(value.c_str(), value.size() + 1));
      return 0;
    }

    KestrumErrorCode FakeHost::HandleSetGlobalProperty(const _KestrumSetGlobalProperty& p)
    {
      std::lock_guard<std::mutex> lock(mutex_);
      calls_.push_back(ServiceCall{KestrumService_SetGlobalProperty, std::to_string(p.property), Text(p.value)});
      globalPropertyAccesses_.push_back(GlobalPropertyAccess{true, p.property, Text(p.value)});

      auto failure = globalPropertyWriteFailures_.find(p.property);
      if (failure != globalPropertyWriteFailures_.end())
      {
        return failure->second;
      }
      globalProperties_[p.property] = Text(p.value);
      return 0;
    }

    KestrumErrorCode FakeHost::HandleGetConfiguration(const _KestrumGetConfiguration& p)
    {
      std::optional<std::string> configuration;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(ServiceCall{KestrumService_GetConfiguration, "", ""});
        if (configurationFailure_ != 0)
        {
          return configurationFailure_;
        }
        configuration = configuration_;
      }

      if (p.result == nullptr)
      {
        return Kestrum::ErrorCode_NullPointer;
      }
      *p.result = configuration ?
        static_cast<char*>(Allocate(configuration->c_str(), configuration->size() + 1)) : nullptr;
      return 0;
    }

    void FakeHost::FillBuffer(KestrumMemoryBuffer* target, const std::string& content)
    {
      bool allocateEmpty;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        allocateEmpty = allocateEmptyAnswers_;
      }

      if (content.empty() && !allocateEmpty)
      {
        target->data = nullptr;
        target->size = 0;
      }
      else
      {
        target->data = Allocate(content.data(), content.size());
        target->size = static_cast<uint32_t>(content.size());
      }
    }

    KestrumErrorCode FakeHost::HandleHttpClient(const _KestrumCallHttpClient& p)
    {
      HttpRequest request;
      request.method = p.method;
      request.url = Text(p.url);
      request.headersCount = p.headersCount;
      request.headersKeysNull = (p.headersKeys == nullptr);
      request.headersValuesNull = (p.headersValues == nullptr);
      if (p.headersKeys != nullptr && p.headersValues != nullptr)
      {
        for (uint32_t i = 0; i < p.headersCount; i++)
        {
          request.headers[Text(p.headersKeys[i])] = Text(p.headersValues[i]);
        }
      }
      request.bodyNull = (p.body == nullptr);
      request.bodySize = p.bodySize;
      request.body = Bytes(p.body, p.bodySize);
      request.username = OptionalText(p.username);
      request.password = OptionalText(p.password);
      request.timeout = p.timeout;
      request.certificateFile = OptionalText(p.certificateFile);
      request.certificateKeyFile = OptionalText(p.certificateKeyFile);
      request.certificateKeyPassword = OptionalText(p.certificateKeyPassword);
      request.pkcs11 = p.pkcs11;

      HttpComputer computer;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(ServiceCall{KestrumService_CallHttpClient, request.url, request.body});
        httpRequests_.push_back(request);
        const HttpComputer* found = FindScript(httpExact_, httpPrefix_, request.url);
        if (found != nullptr)
        {
          computer = *found;
        }
      }

      HttpReply reply = computer ? computer(request) : HttpReply::Failure(Kestrum::ErrorCode_NetworkProtocol);
      if (reply.code != 0)
      {
        if (p.httpStatus != nullptr)
        {
          *p.httpStatus = reply.status;
        }
        return reply.code;
      }

      if (p.answerBody == nullptr || p.answerHeaders == nullptr || p.httpStatus == nullptr)
      {
        return Kestrum::ErrorCode_NullPointer;
      }
      FillBuffer(p.answerBody, reply.body);
      FillBuffer(p.answerHeaders, reply.headers);
      *p.httpStatus = reply.status;
      return 0;
    }

    FakeHost::RestReply FakeHost::ComputeRest(const RestCall& call)
    {
      RestComputer computer;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(ServiceCall{call.service, call.uri, call.body});
        restCalls_.push_back(call);
        const RestComputer* found = FindScript(restExact_, restPrefix_, call.method + " " + call.uri);
        if (found != nullptr)
        {
          computer = *found;
        }
      }
      return computer ? computer(call) : RestReply::Failure(Kestrum::ErrorCode_UnknownResource);
    }

    KestrumErrorCode FakeHost::HandleRestGet(int32_t service, const _KestrumRestApiGet& p)
    {
      RestCall call{service, "GET", Text(p.uri), "", service == KestrumService_RestApiGetAfterPlugins};
      RestReply reply = ComputeRest(call);
      if (reply.code != 0)
      {
        return reply.code;
      }
      if (p.target == nullptr)
      {
        return Kestrum::ErrorCode_NullPointer;
      }
      FillBuffer(p.target, reply.body);
      return 0;
    }

    KestrumErrorCode FakeHost::HandleRestPut(int32_t service, const _KestrumRestApiPut& p)
    {
      RestCall call{service, "PUT", Text(p.uri), Bytes(p.body, p.bodySize),
                    service == KestrumService_RestApiPutAfterPlugins};
      RestReply reply = ComputeRest(call);
      if (reply.code != 0)
      {
        return reply.code;
      }
      if (p.target == nullptr)
      {
        return Kestrum::ErrorCode_NullPointer;
      }
      FillBuffer(p.target, reply.body);
      return 0;
    }

    KestrumErrorCode FakeHost::HandleRestDelete(int32_t service, const char* uri)
    {
      RestCall call{service, "DELETE", Text(uri), "", service == KestrumService_RestApiDeleteAfterPlugins};
      return ComputeRest(call).code;
    }

    KestrumErrorCode FakeHost::HandleAnswer(int32_t service, const void* params)
    {
      KestrumRestOutput* output;
      std::string key, body;
      if (service == KestrumService_AnswerBuffer)
      {
        const _KestrumAnswerBuffer& p = *static_cast<const _KestrumAnswerBuffer*>(params);
        output = p.output;
        key = Text(p.mimeType);
        body = Bytes(p.answer, p.answerSize);
      }
      else
      {
        const _KestrumOutputAllowedMethods& p = *static_cast<const _KestrumOutputAllowedMethods*>(params);
        output = p.output;
        key = Text(p.allowedMethods);
      }

      std::lock_guard<std::mutex> lock(mutex_);
      calls_.push_back(ServiceCall{service, key, body});
      if (output == nullptr)
      {
        return Kestrum::ErrorCode_NullPointer;
      }

      RouteAnswer& answer = output->answer;
      answer.answerCount++;
      if (answer.answerCount > 1)
      {
        return Kestrum::ErrorCode_BadSequenceOfCalls;   // an answer is sent once
      }

      if (service == KestrumService_AnswerBuffer)
      {
        answer.status = 200;
        answer.mimeType = key;
        answer.body = body;
      }
      else
      {
        answer.status = 405;
        answer.allowedMethods = key;
      }
      return 0;
    }


    std::vector<FakeHost::ServiceCall> FakeHost::Calls() const
    {
      std::lock_guard<std::mutex> lock(mutex_);
      return calls_;
    }

    size_t FakeHost::CountCalls(int32_t service) const
    {
      std::lock_guard<std::mutex> lock(mutex_);
      size_t count = 0;
      for (const ServiceCall& call : calls_)
      {
        count += (call.service == service ? 1 : 0);
      }
      return count;
    }

    std::vector<FakeHost::LogEntry> FakeHost::Logs() const
    {
      std::lock_guard<std::mutex> lock(mutex_);
      return logs_;
    }

    static std::vector<std::string> LinesOf(const std::vector<FakeHost::LogEntry>& logs, int32_t service)
    {
      std::vector<std::string> lines;
      for (const FakeHost::LogEntry& entry : logs)
      {
        if (entry.service == service)
        {
          lines.push_back(entry.text);
        }
      }
      return lines;
    }

    std::vector<std::string> FakeHost::Errors() const
    {
      return LinesOf(Logs(), KestrumService_LogError);
    }

    std::vector<std::string> FakeHost::Warnings() const
    {
      return LinesOf(Logs(), KestrumService_LogWarning);
    }

    std::vector<std::string> FakeHost::Infos() const
    {
      return LinesOf(Logs(), KestrumService_LogInformation);
    }

    bool FakeHost::HasError(const std::string& text) const
    {
      for (const std::string& line : Errors())
      {
        if (line == text)
        {
          return true;
        }
      }
      return false;
    }

    bool FakeHost::HasWarning(const std::string& text) const
    {
      for (const std::string& line : Warnings())
      {
        if (line == text)
        {
          return true;
        }
      }
      return false;
    }

    std::vector<FakeHost::PropertySet> FakeHost::PropertySets() const
    {
      std::lock_guard<std::mutex> lock(mutex_);
      return propertySets_;
    }

    std::vector<FakeHost::GlobalPropertyAccess> FakeHost::GlobalPropertyAccesses() const
    {
      std::lock_guard<std::mutex> lock(mutex_);
      return globalPropertyAccesses_;
    }

    size_t FakeHost::CountGlobalPropertyReads(int32_t property) const
    {
      std::lock_guard<std::mutex> lock(mutex_);
      return std::count_if(globalPropertyAccesses_.begin(), globalPropertyAccesses_.end(),
                           [property](const GlobalPropertyAccess& access)
                           {
                             return !access.write && access.property == property;
                           });
    }

    std::optional<std::string> FakeHost::GetGlobalProperty(int32_t property) const
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto found = globalProperties_.find(property);
      if (found == globalProperties_.end())
      {
        return std::nullopt;
      }
      return found->second;
    }

    std::vector<FakeHost::RestCall> FakeHost::RestCalls(const std::string& method) const
    {
      std::lock_guard<std::mutex> lock(mutex_);
      std::vector<RestCall> result;
      for (const RestCall& call : restCalls_)
      {
        if (method.empty() || call.method == method)
        {
          result.push_back(call);
        }
      }
      return result;
    }

    std::vector<FakeHost::HttpRequest> FakeHost::HttpRequests() const
    {
      std::lock_guard<std::mutex> lock(mutex_);
      return httpRequests_;
    }

    std::vector<FakeHost::Route> FakeHost::Routes() const
    {
      std::lock_guard<std::mutex> lock(mutex_);
      return routes_;
    }

    size_t FakeHost::CountChangeCallbacks() const
    {
      std::lock_guard<std::mutex> lock(mutex_);
      return changeCallbacks_.size();
    }


    FakeHost::RouteAnswer FakeHost::Invoke(KestrumRestCallback callback, const std::string& method,
                                           const std::string& url, const std::vector<std::string>& groups,
                                           const std::string& body)
    {
      std::vector<const char*> groupPointers;
      for (const std::string& group : groups)
      {
        groupPointers.push_back(group.c_str());
      }

      KestrumHttpRequest request;
      request.method = MethodCode(method);
      request.groupsCount = static_cast<uint32_t>(groups.size());
      request.groups = groups.empty() ? nullptr : groupPointers.data();
      request.getCount = 0;
      request.getKeys = nullptr;
      request.getValues = nullptr;
      request.body = body.empty() ? nullptr : body.data();
      request.bodySize = static_cast<uint32_t>(body.size());

      KestrumRestOutput output;
      output.answer.matched = true;
      output.answer.callbackCode = callback(&output, url.c_str(), &request);

      std::lock_guard<std::mutex> lock(mutex_);   // answers are written under the lock
      RouteAnswer answer = output.answer;
      if (answer.callbackCode != 0)
      {
        // The host answers a failing callback with the status of its code, whatever was sent before.
        answer.status = Kestrum::ErrorCodeToHttpStatus(answer.callbackCode);
      }
      return answer;
    }

    FakeHost::RouteAnswer FakeHost::CallRoute(const std::string& method, const std::string& path,
                                              const std::string& body)
    {
      for (const Route& route : Routes())
      {
        std::smatch match;
        if (std::regex_match(path, match, std::regex(route.regex)))
        {
          std::vector<std::string> groups;
          for (size_t i = 1; i < match.size(); i++)
          {
            groups.push_back(match[i].str());
          }
          return Invoke(route.callback, method, path, groups, body);
        }
      }

      RouteAnswer unmatched;
      unmatched.status = 404;
      return unmatched;
    }

    FakeHost::RouteAnswer FakeHost::CallHandler(KestrumRestCallback callback, const std::string& method,
                                                const std::vector<std::string>& groups,
                                                const std::string& body, const std::string& url)
    {
      return Invoke(callback, method, url, groups, body);
    }

    int32_t FakeHost::NotifyChange(int32_t changeType, int32_t resourceType, const std::string& resourceId)
    {
      std::vector<KestrumOnChangeCallback> callbacks;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        callbacks = changeCallbacks_;
      }

      int32_t result = 0;
      for (KestrumOnChangeCallback callback : callbacks)
      {
        int32_t code = callback(changeType, resourceType, resourceId.c_str());
        if (result == 0)
        {
          result = code;
        }
      }
      return result;
    }


    size_t FakeHost::LiveAllocations()
    {
      AllocationTracker& tracker = Tracker();
      std::lock_guard<std::mutex> lock(tracker.mutex);
      return tracker.live.size();
    }

    size_t FakeHost::BadFrees()
    {
      AllocationTracker& tracker = Tracker();
      std::lock_guard<std::mutex> lock(tracker.mutex);
      return tracker.badFrees;
    }

    void FakeHost::ForgetAllocations()
    {
      AllocationTracker& tracker = Tracker();
      std::lock_guard<std::mutex> lock(tracker.mutex);
      tracker.live.clear();
      tracker.badFrees = 0;
    }

    void* FakeHost::Allocate(const void* data, size_t size)
    {
      void* block = malloc(size == 0 ? 1 : size);
      if (block == nullptr)
      {
        throw std::bad_alloc();
      }
      if (size > 0)
      {
        memcpy(block, data, size);
      }

      AllocationTracker& tracker = Tracker();
      std::lock_guard<std::mutex> lock(tracker.mutex);
      tracker.live.insert(block);
      return block;
    }

    void FakeHost::Free(void* block)
    {
      if (block == nullptr)
      {
        return;
      }

      AllocationTracker& tracker = Tracker();
      std::lock_guard<std::mutex> lock(tracker.mutex);
      if (tracker.live.erase(block) == 1)
      {
        free(block);
      }
      else
      {
        tracker.badFrees++;   // never freed: it is not ours, or not any more
      }
    }
  }
}
