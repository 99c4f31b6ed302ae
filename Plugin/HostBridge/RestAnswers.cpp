#include "RestAnswers.h"

#include "HostContext.h"

#include <KestrumException.h>

#include <json/writer.h>

namespace QuelbyCloud
{
  static void Invoke(int32_t service, const void* params)
  {
    KestrumPluginContext* context = RequireHostContext();
    KestrumErrorCode code = context->InvokeService(context, service, params);
    if (code != 0)
    {
      throw Kestrum::KestrumException(static_cast<Kestrum::ErrorCode>(code));
    }
  }

  void AnswerBuffer(KestrumRestOutput* output, const std::string& body, const std::string& mimeType)
  {
    _KestrumAnswerBuffer params;
    params.output = output;
    params.answer = body.empty() ? nullptr : body.data();
    params.answerSize = static_cast<uint32_t>(body.size());
    params.mimeType = mimeType.c_str();
    Invoke(KestrumService_AnswerBuffer, &params);
  }

  void AnswerJson(KestrumRestOutput* output, const Json::Value& body)
  {
    Json::StyledWriter writer;
    AnswerBuffer(output, writer.write(body), "application/json");
  }

  void AnswerOk(KestrumRestOutput* output)
  {
    AnswerBuffer(output, "ok", "text/plain");
  }

  void SendMethodNotAllowed(KestrumRestOutput* output, const char* allowedMethods)
  {
    _KestrumOutputAllowedMethods params;
    params.output = output;
    params.allowedMethods = allowedMethods;
    Invoke(KestrumService_SendMethodNotAllowed, &params);
  }
}
