#pragma once

#include "../HostBridge/HostHttpClient.h"

#include <json/value.h>
#include <map>
#include <string>

namespace QuelbyCloud
{
  /** Sets every configured header on the request, replacing a value of the same name. */
  void CopyHeaders(HostHttpClient& request, const std::map<std::string, std::string>& headers);

  /** Performs the request into a JSON answer; false (never thrown) when the host or the answer fails. */
  bool TryExecuteJson(Json::Value& answer, HostHttpClient& request);
}
