#pragma once

#include <Plugins/KestrumPluginInterface.h>

#include <json/value.h>
#include <map>
#include <string>

namespace QuelbyCloud
{
  // The plug-in's JSON API under "/plugins/quelby-cloud/api/". Each handler
  // checks its one method, reads the body into a value, calls one operation
  // and writes the answer.

  void ServeDestinations(KestrumRestOutput* output, const char* url, const KestrumHttpRequest* request);
  void ServeTestConnection(KestrumRestOutput* output, const char* url, const KestrumHttpRequest* request);
  void ServeConnect(KestrumRestOutput* output, const char* url, const KestrumHttpRequest* request);
  void ServeDisconnect(KestrumRestOutput* output, const char* url, const KestrumHttpRequest* request);
  void ServeOptions(KestrumRestOutput* output, const char* url, const KestrumHttpRequest* request);
  void ServeStatus(KestrumRestOutput* output, const char* url, const KestrumHttpRequest* request);
  void ServeClearPending(KestrumRestOutput* output, const char* url, const KestrumHttpRequest* request);
  void ServeReplay(KestrumRestOutput* output, const char* url, const KestrumHttpRequest* request);
  void ServeForceReplay(KestrumRestOutput* output, const char* url, const KestrumHttpRequest* request);

  /** The body as a JSON object of strings ("id" and the typed parameters); code 9 otherwise. */
  void ReadParametersMap(std::map<std::string, std::string>& target, const KestrumHttpRequest* request);

  /** The body as a JSON object; code 9 otherwise. */
  void ReadJsonObjectBody(Json::Value& target, const KestrumHttpRequest* request);

  /** "TransferedSizeMB": bytes in MiB with one decimal. */
  std::string FormatMegabytes(uint64_t bytes);
}
