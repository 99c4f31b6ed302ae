#include "HostRestApi.h"

#include "HostBuffer.h"
#include "HostContext.h"

#include <KestrumException.h>
#include <Toolbox.h>

namespace QuelbyCloud
{
  bool HostRestGetString(std::string& result, const std::string& uri, bool withPlugins)
  {
    HostBuffer answer;
    if (!answer.RestGet(uri, withPlugins))
    {
      return false;
    }
    answer.ToString(result);
    return true;
  }

  bool HostRestGet(Json::Value& result, const std::string& uri, bool withPlugins)
  {
    HostBuffer answer;
    if (!answer.RestGet(uri, withPlugins))
    {
      return false;
    }
    if (!answer.IsEmpty())
    {
      answer.ToJson(result);
    }
    return true;
  }

  bool HostRestPut(Json::Value& result, const std::string& uri, const Json::Value& body, bool withPlugins)
  {
    const std::string text = Kestrum::Toolbox::WriteCompactJson(body);
    return HostRestPut(result, uri, text.data(), text.size(), withPlugins);
  }

  bool HostRestPut(Json::Value& result, const std::string& uri, const void* body, size_t bodySize, bool withPlugins)
  {
    HostBuffer answer;
    if (!answer.RestPut(uri, body, bodySize, withPlugins))
    {
      return false;
    }
    if (!answer.IsEmpty())
    {
      answer.ToJson(result);
    }
    return true;
  }

  bool HostRestDelete(const std::string& uri, bool withPlugins)
  {
    KestrumPluginContext* context = RequireHostContext();
    KestrumErrorCode code = context->InvokeService(
      context, withPlugins ? KestrumService_RestApiDeleteAfterPlugins : KestrumService_RestApiDelete, uri.c_str());

    HostBuffer unused;   // the same reading of the result as for GET and PUT
    return unused.CheckAnswer(code);
  }
}
