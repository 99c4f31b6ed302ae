#pragma once

#include "HostBlock.h"

#include <Enumerations.h>
#include <Plugins/KestrumPluginInterface.h>

#include <json/value.h>

#include <string>
#include <utility>
#include <vector>

namespace KestrumHost
{
  /** One request to the host's REST space, from HTTP or from a plug-in's service call. */
  struct RestRequest
  {
    KestrumHttpMethod method = KestrumHttpMethod_Get;
    std::string path;                                          // decoded, without the query
    std::vector<std::pair<std::string, std::string>> query;    // decoded arguments, in order
    std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
    std::string body;
    bool wantsBlock = false;   // a plug-in's call: a large answer may come as RestAnswer::block

    /** True when the query names the argument, with or without a value. */
    bool HasQuery(const std::string& key) const;

    /** The first query argument of that name, or the fallback. */
    std::string GetQuery(const std::string& key, const std::string& fallback = "") const;

    /** The first header of that (lower-case) name, or empty. */
    std::string GetHeader(const std::string& lowerCaseName) const;
  };

  /**
   * The answer to a RestRequest. "errorCode" is the host error code behind a failure
   * (0 on success); it is what the in-process REST services return to a plug-in.
   */
  struct RestAnswer
  {
    int status = 200;
    std::string body;
    HostBlock block;   // instead of body, only when the request wants it
    std::string contentType;
    std::vector<std::pair<std::string, std::string>> headers;
    int32_t errorCode = 0;
    bool answered = false;   // a plug-in may answer at most once

    void SetJson(const Json::Value& value);
    void SetBody(const std::string& content, const std::string& mimeType);
    void SetBody(std::string&& content, const std::string& mimeType);   // large bodies, without a copy
    void SetBody(HostBlock&& content, const std::string& mimeType);     // for a request that wants a block

    /** A failure: status from the code's HTTP mapping and a small JSON body that describes it. */
    void SetError(Kestrum::ErrorCode code, const std::string& details = "");

    /** A failure with a given HTTP status (405, 414, 415 ...), whatever the code maps to. */
    void SetError(Kestrum::ErrorCode code, int httpStatus, const std::string& details);
  };

  /** Text of a method for messages and "Allow" headers. */
  const char* MethodName(KestrumHttpMethod method);
}

/** Answer handle given to plug-in REST callbacks: it wraps the answer being built. */
struct _KestrumRestOutput_t
{
  KestrumHost::RestAnswer* answer;
};
