#pragma once

#include <Plugins/KestrumPluginInterface.h>

#include <json/value.h>
#include <string>

namespace QuelbyCloud
{
  // Answers of a REST handler (services 2000 and 2005); a failing service is thrown with its code.

  void AnswerBuffer(KestrumRestOutput* output, const std::string& body, const std::string& mimeType);

  /** The body written with the styled writer, as "application/json". */
  void AnswerJson(KestrumRestOutput* output, const Json::Value& body);

  /** "ok" as "text/plain": the answer of every operation that changes something. */
  void AnswerOk(KestrumRestOutput* output);

  /** 405 with the allowed methods ("GET" or "POST"). */
  void SendMethodNotAllowed(KestrumRestOutput* output, const char* allowedMethods);
}
