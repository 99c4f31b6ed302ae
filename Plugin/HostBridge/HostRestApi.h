#pragma once

#include <json/value.h>
#include <string>

namespace QuelbyCloud
{
  // Calls into the host's own REST API. Each returns true on success and false
  // when the resource does not exist (host codes 7 and 17); any other failure
  // is thrown as a KestrumException with the host's code. With withPlugins the
  // call also reaches the routes of the host's plug-ins.

  /** GET; the result receives the answer bytes. */
  bool HostRestGetString(std::string& result, const std::string& uri, bool withPlugins);

  /** GET; a non-empty answer is parsed into the result, an empty one leaves it unchanged. */
  bool HostRestGet(Json::Value& result, const std::string& uri, bool withPlugins);

  /** PUT of a JSON body (compact writer); the answer as HostRestGet. */
  bool HostRestPut(Json::Value& result, const std::string& uri, const Json::Value& body, bool withPlugins);

  /** PUT of raw bytes; the answer as HostRestGet. */
  bool HostRestPut(Json::Value& result, const std::string& uri, const void* body, size_t bodySize, bool withPlugins);

  /** DELETE (3003, or 3012 with plug-ins). */
  bool HostRestDelete(const std::string& uri, bool withPlugins);
}
