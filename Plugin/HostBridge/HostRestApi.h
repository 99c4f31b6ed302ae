#pragma once

#include "HostBridge.h"
#include "HostBuffer.h"

#include <json/value.h>
#include <optional>
#include <string>
#include <string_view>

namespace QuelbyCloud
{
  // Calls into the host's own REST API. Each gives an empty result when the
  // resource does not exist (the host's "inexistent item" or "unknown
  // resource"); any other failure is thrown with the host's code. With
  // withPlugins the call also reaches the routes of the host's plug-ins.

  /** GET; the answer's bytes. */
  std::optional<std::string> HostRestGetString(const HostBridge& host, const std::string& uri, bool withPlugins);

  /** GET into the host's own block, not copied (instance files); false when there is no such resource. */
  bool HostRestGetBuffer(const HostBridge& host, const std::string& uri, bool withPlugins, HostBuffer& answer);

  /** GET; the answer parsed as JSON (null for an empty answer). */
  std::optional<Json::Value> HostRestGet(const HostBridge& host, const std::string& uri, bool withPlugins);

  /** PUT of a JSON body (compact writer); the answer as HostRestGet. */
  std::optional<Json::Value> HostRestPut(const HostBridge& host, const std::string& uri,
                                         const Json::Value& body, bool withPlugins);

  /** PUT of raw bytes; the answer as HostRestGet. */
  std::optional<Json::Value> HostRestPut(const HostBridge& host, const std::string& uri,
                                         std::string_view body, bool withPlugins);

  /** DELETE; false when the resource does not exist. */
  bool HostRestDelete(const HostBridge& host, const std::string& uri, bool withPlugins);
}
