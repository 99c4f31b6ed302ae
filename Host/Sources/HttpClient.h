#pragma once

#include "HostConfig.h"

#include <Enumerations.h>
#include <Plugins/KestrumPluginInterface.h>

#include <json/value.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace KestrumHost
{
  /** One outgoing request, as a plug-in describes it through the outgoing-HTTP service. */
  struct OutgoingRequest
  {
    int32_t method = KestrumHttpMethod_Get;
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;  // an empty value removes the header
    const void* body = nullptr;
    size_t bodySize = 0;
    const char* username = nullptr;
    const char* password = nullptr;
    uint32_t timeout = 0;  // seconds; 0 = the configured "HttpTimeout"
    const char* certificateFile = nullptr;
    const char* certificateKeyFile = nullptr;
    const char* certificateKeyPassword = nullptr;
    bool pkcs11 = false;
  };

  struct OutgoingAnswer
  {
    uint16_t status = 0;
    std::string body;
    Json::Value headers = Json::Value(Json::objectValue);  // name -> text
  };

  /** Performs outgoing HTTP(S) requests with libcurl, under the host's TLS and time-out settings. */
  class HttpClient
  {
  private:
    // Idle libcurl handles, each keeping its connections open for the next
    // request: a plug-in sending batch after batch then pays the TCP and TLS
    // handshakes once per connection, not once per batch.
    class HandlePool;

    std::string caCertificates_;
    bool verifyPeers_;
    unsigned int defaultTimeout_;
    std::vector<std::string> connectTo_;
    std::shared_ptr<HandlePool> handles_;

  public:
    explicit HttpClient(const HostConfig& config);

    /**
     * Success only for a completed exchange with a status below 400. The status
     * is written in every case where the server answered. "error" explains a failure
     * for the log (never with credentials).
     */
    Kestrum::ErrorCode Execute(const OutgoingRequest& request, OutgoingAnswer& answer, std::string& error) const;

    /** The error code for an HTTP status of 400 or more. */
    static Kestrum::ErrorCode ErrorCodeForHttpStatus(long status);
  };

  /** The URL without its user information ("user:password@"), for log lines. */
  std::string RedactUrl(const std::string& url);
}
