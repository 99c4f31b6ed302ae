#include "RestExchange.h"

#include <KestrumException.h>

#include <json/writer.h>

namespace QuelbyCloud
{
  RestRequest RestRequest::FromHost(const KestrumHttpRequest& request)
  {
    RestRequest result;
    result.method = static_cast<KestrumHttpMethod>(request.method);
    if (request.groupsCount >= 1 && request.groups != nullptr && request.groups[0] != nullptr)
    {
      result.group = request.groups[0];
    }
    if (request.body != nullptr)
    {
      result.body = std::string_view(static_cast<const char*>(request.body), request.bodySize);
    }
    return result;
  }


  void RestOutput::AnswerBuffer(std::string_view body, const std::string& mimeType)
  {
    if (body.size() > UINT32_MAX)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_NotEnoughMemory);
    }

    _KestrumAnswerBuffer params;
    params.output = output_;
    params.answer = body.empty() ? nullptr : body.data();
    params.answerSize = static_cast<uint32_t>(body.size());
    params.mimeType = mimeType.c_str();
    host_.Invoke(KestrumService_AnswerBuffer, &params);
  }


  void RestOutput::AnswerJson(const Json::Value& body)
  {
    AnswerBuffer(Json::StyledWriter().write(body), "application/json");
  }


  void RestOutput::AnswerOk()
  {
    AnswerBuffer("ok", "text/plain");
  }


  void RestOutput::SendMethodNotAllowed(const char* allowedMethods)
  {
    _KestrumOutputAllowedMethods params;
    params.output = output_;
    params.allowedMethods = allowedMethods;
    host_.Invoke(KestrumService_SendMethodNotAllowed, &params);
  }
}
