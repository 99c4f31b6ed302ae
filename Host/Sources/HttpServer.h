#pragma once

#include "HostConfig.h"
#include "RestTypes.h"

#include <functional>
#include <memory>

namespace KestrumHost
{
  /**
   * The HTTP(S) front: a thread pool that turns each request into a RestRequest,
   * checks Basic credentials and refuses unsafe paths, then hands it to the handler.
   */
  class HttpServer
  {
  public:
    using Handler = std::function<void(const RestRequest& request, RestAnswer& answer)>;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;

  public:
    HttpServer(const HostConfig& config, Handler handler);
    ~HttpServer();

    /** Binds and starts listening in the background. Throws HostError (port in use, bad certificate). */
    void Start();

    /** The port actually bound (useful with "HttpPort" 0). */
    int GetPort() const;

    /** Stops accepting, waits for the listening thread. */
    void Stop();
  };

  /** True when the header carries "Basic" credentials of a registered user. */
  bool CheckBasicAuthorization(const std::string& header, const std::map<std::string, std::string>& users);

  /** True for a path that must be refused: a ".." segment, a NUL byte or a backslash. */
  bool IsUnsafePath(const std::string& path);

  /**
   * True for a request that changes something (any method but GET, HEAD and
   * OPTIONS) whose "Origin" names another site than its "Host" (host and port,
   * default ports filled in): a page of another site in the user's browser
   * must not reconfigure the server. Requests without "Origin" are not browser
   * cross-site requests and pass.
   */
  bool IsCrossSiteWrite(const std::string& method, const std::string& origin, const std::string& host, bool https);
}
