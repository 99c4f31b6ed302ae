#pragma once

#include "HostBridge.h"

#include <json/value.h>
#include <string>
#include <string_view>

namespace QuelbyCloud
{
  /** What a handler reads of a request the host routed to the plug-in. */
  struct RestRequest
  {
    KestrumHttpMethod method;
    std::string group;        // the route's first URI group, "" when it has none
    std::string_view body;    // valid while the handler runs

    static RestRequest FromHost(const KestrumHttpRequest& request);
  };


  /** The answer to one request, sent through the host (at most once per request). */
  class RestOutput
  {
  private:
    const HostBridge& host_;
    KestrumRestOutput* output_;

  public:
    RestOutput(const HostBridge& host, KestrumRestOutput* output) : host_(host), output_(output) {}

    void AnswerBuffer(std::string_view body, const std::string& mimeType);

    /** The body written with the styled writer, as "application/json". */
    void AnswerJson(const Json::Value& body);

    /** "ok" as "text/plain": the answer of every operation that changes something. */
    void AnswerOk();

    /** 405 naming the allowed methods. */
    void SendMethodNotAllowed(const char* allowedMethods);
  };
}
