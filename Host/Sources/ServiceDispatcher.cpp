#include "ServiceDispatcher.h"

#include "HostError.h"
#include "HostLog.h"
#include "UriDecoding.h"

#include <Toolbox.h>

#include <cstdlib>
#include <cstring>

namespace KestrumHost
{
  namespace
  {
    template <typename Parameters>
    const Parameters& As(const void* params)
    {
      return *static_cast<const Parameters*>(params);
    }

    /** Host memory handed to a plug-in: malloc'ed, given back through the context's Free. */
    KestrumErrorCode CopyToHostBuffer(const std::string& content, KestrumMemoryBuffer* target)
    {
      if (target == nullptr)
      {
        return Kestrum::ErrorCode_NullPointer;
      }
      if (content.size() > UINT32_MAX)
      {
        return Kestrum::ErrorCode_NotEnoughMemory;
      }
      if (content.empty())
      {
        target->data = nullptr;
        target->size = 0;
        return Kestrum::ErrorCode_Success;
      }
      void* data = std::malloc(content.size());
      if (data == nullptr)
      {
        return Kestrum::ErrorCode_NotEnoughMemory;
      }
      std::memcpy(data, content.data(), content.size());
      target->data = data;
      target->size = static_cast<uint32_t>(content.size());
      return Kestrum::ErrorCode_Success;
    }

    KestrumErrorCode CopyToHostText(const std::string& content, char** target)
    {
      if (target == nullptr)
      {
        return Kestrum::ErrorCode_NullPointer;
      }
      char* text = static_cast<char*>(std::malloc(content.size() + 1));
      if (text == nullptr)
      {
        return Kestrum::ErrorCode_NotEnoughMemory;
      }
      std::memcpy(text, content.data(), content.size());
      text[content.size()] = '\0';
      *target = text;
      return Kestrum::ErrorCode_Success;
    }

    KestrumErrorCode Log(LogLevel level, const void* text)
    {
      WriteLog(level, static_cast<const char*>(text));
      return Kestrum::ErrorCode_Success;
    }

    KestrumErrorCode SetPluginProperty(RouteRegistry& registry, const std::string& plugin,
                                       const _KestrumSetPluginProperty& p)
    {
      registry.SetProperty(p.plugin != nullptr ? p.plugin : plugin, p.property, p.value != nullptr ? p.value : "");
      return Kestrum::ErrorCode_Success;
    }

    KestrumErrorCode GetGlobalProperty(IHostServices& host, const _KestrumGetGlobalProperty& p)
    {
      std::string value;
      if (!host.GetGlobalProperty(p.property, value))
      {
        value = (p.value != nullptr ? p.value : "");
      }
      return CopyToHostText(value, p.result);
    }

    KestrumErrorCode SetGlobalProperty(IHostServices& host, const _KestrumSetGlobalProperty& p)
    {
      host.SetGlobalProperty(p.property, p.value != nullptr ? p.value : "");
      return Kestrum::ErrorCode_Success;
    }

    KestrumErrorCode GetConfiguration(IHostServices& host, const _KestrumGetConfiguration& p)
    {
      return CopyToHostText(host.GetConfigurationJson(), p.result);
    }

    /** False when a pointer that the request needs is null. */
    bool ReadOutgoingRequest(const _KestrumCallHttpClient& p, OutgoingRequest& request)
    {
      if (p.answerBody == nullptr || p.answerHeaders == nullptr || p.url == nullptr ||
          (p.headersCount > 0 && (p.headersKeys == nullptr || p.headersValues == nullptr)) ||
          (p.body == nullptr && p.bodySize != 0))
      {
        return false;
      }
      request.method = p.method;
      request.url = p.url;
      for (uint32_t i = 0; i < p.headersCount; i++)
      {
        if (p.headersKeys[i] == nullptr)
        {
          return false;
        }
        request.headers.emplace_back(p.headersKeys[i], p.headersValues[i] != nullptr ? p.headersValues[i] : "");
      }
      request.body = p.body;
      request.bodySize = p.bodySize;
      request.username = p.username;
      request.password = p.password;
      request.timeout = p.timeout;
      request.certificateFile = p.certificateFile;
      request.certificateKeyFile = p.certificateKeyFile;
      request.certificateKeyPassword = p.certificateKeyPassword;
      request.pkcs11 = (p.pkcs11 != 0);
      return true;
    }

    /** Both buffers, or neither: the plug-in frees what it is given only on success. */
    KestrumErrorCode CopyOutgoingAnswer(const OutgoingAnswer& answer, const _KestrumCallHttpClient& p)
    {
      KestrumErrorCode copied = CopyToHostBuffer(Kestrum::Toolbox::WriteCompactJson(answer.headers), p.answerHeaders);
      if (copied != Kestrum::ErrorCode_Success)
      {
        return copied;
      }
      copied = CopyToHostBuffer(answer.body, p.answerBody);
      if (copied != Kestrum::ErrorCode_Success)
      {
        std::free(p.answerHeaders->data);
        p.answerHeaders->data = nullptr;
        p.answerHeaders->size = 0;
      }
      return copied;
    }

    KestrumErrorCode CallHttpClient(IHostServices& host, const _KestrumCallHttpClient& p)
    {
      OutgoingRequest request;
      if (!ReadOutgoingRequest(p, request))
      {
        return Kestrum::ErrorCode_NullPointer;
      }
      OutgoingAnswer answer;
      Kestrum::ErrorCode code = host.CallHttpClient(request, answer);
      if (p.httpStatus != nullptr)
      {
        *p.httpStatus = answer.status;
      }
      if (code != Kestrum::ErrorCode_Success)
      {
        return code;
      }
      return CopyOutgoingAnswer(answer, p);
    }

    KestrumErrorCode RegisterOnChangeCallback(RouteRegistry& registry, const _KestrumOnChangeCallback& p)
    {
      if (p.callback == nullptr)
      {
        return Kestrum::ErrorCode_NullPointer;
      }
      registry.AddChangeCallback(p.callback);
      return Kestrum::ErrorCode_Success;
    }

    KestrumErrorCode RegisterRestCallback(RouteRegistry& registry, const std::string& plugin,
                                          const _KestrumRestCallback& p)
    {
      if (p.pathRegularExpression == nullptr || p.callback == nullptr)
      {
        return Kestrum::ErrorCode_NullPointer;
      }
      if (!registry.AddRoute(p.pathRegularExpression, p.callback))
      {
        LogError("The plug-in \"" + plugin + "\" registered an invalid route: " + p.pathRegularExpression);
        return Kestrum::ErrorCode_ParameterOutOfRange;
      }
      return Kestrum::ErrorCode_Success;
    }

    /** The answer that a route is building; a plug-in may answer once only. */
    KestrumErrorCode OpenAnswer(KestrumRestOutput* output, RestAnswer*& answer)
    {
      if (output == nullptr || output->answer == nullptr)
      {
        return Kestrum::ErrorCode_NullPointer;
      }
      answer = output->answer;
      return answer->answered ? Kestrum::ErrorCode_BadSequenceOfCalls : Kestrum::ErrorCode_Success;
    }

    KestrumErrorCode AnswerBuffer(const _KestrumAnswerBuffer& p)
    {
      RestAnswer* answer = nullptr;
      if (p.answer == nullptr && p.answerSize != 0)
      {
        return Kestrum::ErrorCode_NullPointer;
      }
      KestrumErrorCode code = OpenAnswer(p.output, answer);
      if (code == Kestrum::ErrorCode_Success)
      {
        answer->SetBody(std::string(static_cast<const char*>(p.answer), p.answerSize),
                        p.mimeType != nullptr ? p.mimeType : "application/octet-stream");
      }
      return code;
    }

    KestrumErrorCode SendMethodNotAllowed(const _KestrumOutputAllowedMethods& p)
    {
      RestAnswer* answer = nullptr;
      KestrumErrorCode code = OpenAnswer(p.output, answer);
      if (code == Kestrum::ErrorCode_Success)
      {
        std::string allowed = (p.allowedMethods != nullptr ? p.allowedMethods : "");
        answer->SetError(Kestrum::ErrorCode_BadRequest, 405, "Allowed methods: " + allowed);
        answer->headers.emplace_back("Allow", allowed);
      }
      return code;
    }

    /** A REST call of the plug-in into the host; any failure of the request is an error code. */
    KestrumErrorCode CallRest(IHostServices& host, KestrumHttpMethod method, const char* uri, const void* body,
                              uint32_t bodySize, bool withPlugins, KestrumMemoryBuffer* target)
    {
      if (uri == nullptr || (body == nullptr && bodySize != 0))
      {
        return Kestrum::ErrorCode_NullPointer;
      }
      if (target != nullptr)
      {
        target->data = nullptr;
        target->size = 0;
      }

      RestRequest request;
      request.method = method;
      request.wantsBlock = (target != nullptr);
      ParseUri(uri, request);
      if (bodySize != 0)
      {
        request.body.assign(static_cast<const char*>(body), bodySize);
      }

      RestAnswer answer;
      host.HandleRest(request, withPlugins, answer);
      if (answer.errorCode != Kestrum::ErrorCode_Success)
      {
        return answer.errorCode;
      }
      if (answer.status >= 400)
      {
        return Kestrum::ErrorCode_BadRequest;
      }
      if (target == nullptr)
      {
        return Kestrum::ErrorCode_Success;
      }
      if (!answer.block.data)
      {
        return CopyToHostBuffer(answer.body, target);
      }
      if (answer.block.size > UINT32_MAX)
      {
        return Kestrum::ErrorCode_NotEnoughMemory;
      }
      target->size = static_cast<uint32_t>(answer.block.size);
      target->data = answer.block.data.release();   // from malloc, as the plug-in's free expects
      return Kestrum::ErrorCode_Success;
    }

    KestrumErrorCode RestApiGet(IHostServices& host, const _KestrumRestApiGet& p, bool afterPlugins)
    {
      return CallRest(host, KestrumHttpMethod_Get, p.uri, nullptr, 0, afterPlugins, p.target);
    }

    KestrumErrorCode RestApiDelete(IHostServices& host, const char* uri, bool afterPlugins)
    {
      return CallRest(host, KestrumHttpMethod_Delete, uri, nullptr, 0, afterPlugins, nullptr);
    }

    KestrumErrorCode RestApiPut(IHostServices& host, const _KestrumRestApiPut& p, bool afterPlugins)
    {
      return CallRest(host, KestrumHttpMethod_Put, p.uri, p.body, p.bodySize, afterPlugins, p.target);
    }
  }

  ServiceDispatcher::ServiceDispatcher(IHostServices& host, RouteRegistry& registry) :
    host_(host),
    registry_(registry)
  {
  }

  KestrumErrorCode ServiceDispatcher::Invoke(const std::string& plugin, int32_t service, const void* params)
  {
    try
    {
      return Dispatch(plugin, service, params);
    }
    catch (const HostError& e)
    {
      LogError(e.what());
      return e.GetCode();
    }
    catch (const std::bad_alloc&)
    {
      return Kestrum::ErrorCode_NotEnoughMemory;
    }
    catch (const std::exception& e)
    {
      LogError(std::string("Failure in a plug-in service: ") + e.what());
      return Kestrum::ErrorCode_InternalError;
    }
  }

  KestrumErrorCode ServiceDispatcher::Dispatch(const std::string& plugin, int32_t service, const void* params)
  {
    if (params == nullptr)
    {
      return Kestrum::ErrorCode_NullPointer;
    }
    switch (service)
    {
      case KestrumService_LogInformation: return Log(LogLevel::Info, params);
      case KestrumService_LogWarning: return Log(LogLevel::Warning, params);
      case KestrumService_LogError: return Log(LogLevel::Error, params);
      case KestrumService_SetPluginProperty:
        return SetPluginProperty(registry_, plugin, As<_KestrumSetPluginProperty>(params));
      case KestrumService_GetGlobalProperty: return GetGlobalProperty(host_, As<_KestrumGetGlobalProperty>(params));
      case KestrumService_SetGlobalProperty: return SetGlobalProperty(host_, As<_KestrumSetGlobalProperty>(params));
      case KestrumService_GetConfiguration: return GetConfiguration(host_, As<_KestrumGetConfiguration>(params));
      case KestrumService_CallHttpClient: return CallHttpClient(host_, As<_KestrumCallHttpClient>(params));
      case KestrumService_RegisterOnChangeCallback:
        return RegisterOnChangeCallback(registry_, As<_KestrumOnChangeCallback>(params));
      case KestrumService_RegisterRestCallbackNoLock:
        return RegisterRestCallback(registry_, plugin, As<_KestrumRestCallback>(params));
      case KestrumService_AnswerBuffer: return AnswerBuffer(As<_KestrumAnswerBuffer>(params));
      case KestrumService_SendMethodNotAllowed: return SendMethodNotAllowed(As<_KestrumOutputAllowedMethods>(params));
      case KestrumService_RestApiGet: return RestApiGet(host_, As<_KestrumRestApiGet>(params), false);
      case KestrumService_RestApiGetAfterPlugins: return RestApiGet(host_, As<_KestrumRestApiGet>(params), true);
      case KestrumService_RestApiDelete: return RestApiDelete(host_, static_cast<const char*>(params), false);
      case KestrumService_RestApiDeleteAfterPlugins: return RestApiDelete(host_, static_cast<const char*>(params), true);
      case KestrumService_RestApiPut: return RestApiPut(host_, As<_KestrumRestApiPut>(params), false);
      case KestrumService_RestApiPutAfterPlugins: return RestApiPut(host_, As<_KestrumRestApiPut>(params), true);
      default:
        LogError("The plug-in \"" + plugin + "\" invoked an unknown service: " + std::to_string(service));
        return Kestrum::ErrorCode_UnknownPluginService;
    }
  }
}
