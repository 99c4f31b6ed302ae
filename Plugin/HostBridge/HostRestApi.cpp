#include "HostRestApi.h"

#include "HostBuffer.h"

#include <KestrumException.h>
#include <Toolbox.h>

#include <cstdint>

namespace QuelbyCloud
{
  namespace
  {
    // A missing resource is an expected answer; every other failure is not.
    bool IsFound(KestrumErrorCode code)
    {
      switch (code)
      {
        case Kestrum::ErrorCode_Success:
          return true;
        case Kestrum::ErrorCode_InexistentItem:
        case Kestrum::ErrorCode_UnknownResource:
          return false;
        default:
          throw Kestrum::KestrumException(static_cast<Kestrum::ErrorCode>(code));
      }
    }

    bool Call(const HostBridge& host, KestrumService service, const void* params, HostBuffer& answer)
    {
      const KestrumErrorCode code = host.TryInvoke(service, params);
      if (code != 0)
      {
        answer.Forget();
      }
      return IsFound(code);
    }

    bool Get(const HostBridge& host, const std::string& uri, bool withPlugins, HostBuffer& answer)
    {
      _KestrumRestApiGet params;
      params.target = answer.GetRecord();
      params.uri = uri.c_str();
      return Call(host, withPlugins ? KestrumService_RestApiGetAfterPlugins : KestrumService_RestApiGet,
                  &params, answer);
    }

    std::optional<Json::Value> ParseAnswer(const HostBuffer& answer)
    {
      return answer.IsEmpty() ? Json::Value() : answer.ToJson();
    }
  }


  bool HostRestGetBuffer(const HostBridge& host, const std::string& uri, bool withPlugins, HostBuffer& answer)
  {
    answer.Clear();
    return Get(host, uri, withPlugins, answer);
  }


  std::optional<std::string> HostRestGetString(const HostBridge& host, const std::string& uri, bool withPlugins)
  {
    HostBuffer answer(host);
    if (!Get(host, uri, withPlugins, answer))
    {
      return std::nullopt;
    }
    return std::string(answer.GetView());
  }


  std::optional<Json::Value> HostRestGet(const HostBridge& host, const std::string& uri, bool withPlugins)
  {
    HostBuffer answer(host);
    if (!Get(host, uri, withPlugins, answer))
    {
      return std::nullopt;
    }
    return ParseAnswer(answer);
  }


  std::optional<Json::Value> HostRestPut(const HostBridge& host, const std::string& uri,
                                         const Json::Value& body, bool withPlugins)
  {
    const std::string text = Kestrum::Toolbox::WriteCompactJson(body);
    return HostRestPut(host, uri, std::string_view(text), withPlugins);
  }


  std::optional<Json::Value> HostRestPut(const HostBridge& host, const std::string& uri,
                                         std::string_view body, bool withPlugins)
  {
    if (body.size() > UINT32_MAX)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_NotEnoughMemory);
    }

    HostBuffer answer(host);
    _KestrumRestApiPut params;
    params.target = answer.GetRecord();
    params.uri = uri.c_str();
    params.body = body.data();
    params.bodySize = static_cast<uint32_t>(body.size());

    if (!Call(host, withPlugins ? KestrumService_RestApiPutAfterPlugins : KestrumService_RestApiPut,
              &params, answer))
    {
      return std::nullopt;
    }
    return ParseAnswer(answer);
  }


  bool HostRestDelete(const HostBridge& host, const std::string& uri, bool withPlugins)
  {
    return IsFound(host.TryInvoke(withPlugins ? KestrumService_RestApiDeleteAfterPlugins : KestrumService_RestApiDelete,
                                  uri.c_str()));
  }
}
