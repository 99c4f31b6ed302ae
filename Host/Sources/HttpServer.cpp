#include "HttpServer.h"

#include "HostError.h"
#include "HostLog.h"

#include <Base64.h>
#include <Toolbox.h>

#include <httplib.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <optional>
#include <thread>

namespace KestrumHost
{
  using Kestrum::Toolbox::ToLowerAscii;
  using Kestrum::Toolbox::TrimSpaces;

  namespace
  {
    const size_t ThreadCount = 32;


    // Credentials are small: a longer header is refused before it is decoded.
    const size_t MaximumCredentialsLength = 4096;

    bool ConstantTimeEquals(const std::string& a, const std::string& b)
    {
      return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
    }

    KestrumHttpMethod ToMethod(const std::string& method, bool& known)
    {
      known = true;
      if (method == "GET" || method == "HEAD") return KestrumHttpMethod_Get;
      if (method == "POST") return KestrumHttpMethod_Post;
      if (method == "PUT") return KestrumHttpMethod_Put;
      if (method == "DELETE") return KestrumHttpMethod_Delete;
      known = false;
      return KestrumHttpMethod_Get;
    }

    /** "host:port" in lower case, with the scheme's default port when none is given. */
    std::string Authority(std::string authority, bool https)
    {
      authority = ToLowerAscii(authority);
      size_t colon = authority.rfind(':');
      size_t bracket = authority.rfind(']');   // "[::1]" has colons of its own
      if (colon == std::string::npos || (bracket != std::string::npos && colon < bracket))
      {
        authority += https ? ":443" : ":80";
      }
      return authority;
    }

    void WriteAnswer(const RestAnswer& answer, httplib::Response& response)
    {
      response.status = answer.status;
      for (const auto& header : answer.headers)
      {
        response.set_header(header.first.c_str(), header.second);
      }
      response.set_content(answer.body, answer.contentType.empty() ? "text/plain" : answer.contentType.c_str());
    }

    /** A length other than zero, or a transfer coding. */
    bool AnnouncesBody(const httplib::Request& request)
    {
      return request.has_header("Transfer-Encoding") ||
             request.get_header_value("Content-Length").find_first_not_of('0') != std::string::npos;
    }

    /** The library reads the body of these methods only; any other body stays on the connection. */
    bool LibraryReadsBody(const std::string& method)
    {
      return method == "POST" || method == "PUT" || method == "PATCH" || method == "DELETE";
    }

    /** The methods with a handler; the library would answer others with 404, leaving any body unread. */
    bool IsServedMethod(const std::string& method)
    {
      return LibraryReadsBody(method) || method == "GET" || method == "HEAD" || method == "OPTIONS";
    }

    /**
     * Closes the connection once the answer is written. For a request whose
     * body was left unread, or read in part: on a kept-alive connection those
     * bytes would be taken for the start of the next request. The library keeps
     * a connection open whatever the answer's headers say, but drops it when a
     * content provider fails, so the provider writes the whole answer first
     * (nothing for a HEAD, whose answer has no body). The library does not
     * call it for a HEAD answered by a handler: a HEAD that carries a body
     * still keeps its connection.
     */
    void CloseAfterAnswer(const httplib::Request& request, httplib::Response& response)
    {
      const bool head = request.method == "HEAD";
      std::string body;
      body.swap(response.body);
      std::string contentType = response.get_header_value("Content-Type");
      response.headers.erase("Content-Type");   // set again by the provider
      response.set_header("Connection", "close");
      if (body.empty())
      {
        body = "\n";   // an empty provider is never called, and would not close
      }
      response.set_content_provider(body.size(), contentType,
                                    [body, head](size_t offset, size_t length, httplib::DataSink& sink)
      {
        if (!head)
        {
          sink.write(body.data() + offset, length);
        }
        return false;
      });
    }

    void WriteAnswerAndClose(const httplib::Request& request, const RestAnswer& answer, httplib::Response& response)
    {
      WriteAnswer(answer, response);
      CloseAfterAnswer(request, response);
    }

    const char* const HiddenFormType = "X-Kestrum-Form-Content-Type";

    /**
     * The library parses a "multipart/form-data" body into fields instead of
     * handing its bytes over (and throws on a well-formed one, with no field
     * receiver): the type is moved aside until the body is read. The request
     * is the library's own non-const object, handed to this hook as const.
     */
    void HideFormContentType(const httplib::Request& request)
    {
      httplib::Headers& headers = const_cast<httplib::Request&>(request).headers;
      headers.erase(HiddenFormType);
      auto type = headers.find("Content-Type");
      if (type != headers.end() && type->second.rfind("multipart/form-data", 0) == 0)
      {
        headers.emplace(HiddenFormType, type->second);
        headers.erase(type);
      }
    }
  }

  bool CheckBasicAuthorization(const std::string& header, const std::map<std::string, std::string>& users)
  {
    const std::string scheme = "basic ";
    if (header.size() <= scheme.size() || ToLowerAscii(header.substr(0, scheme.size())) != scheme)
    {
      return false;
    }
    std::string token = header.substr(scheme.size());
    token.erase(0, token.find_first_not_of(' '));
    if (token.empty() || token.size() > MaximumCredentialsLength)
    {
      return false;
    }
    const std::optional<std::string> decoded = Kestrum::Toolbox::DecodeBase64(token);
    size_t colon = (decoded ? decoded->find(':') : std::string::npos);
    if (colon == std::string::npos)
    {
      return false;
    }
    auto user = users.find(decoded->substr(0, colon));
    return user != users.end() && ConstantTimeEquals(user->second, decoded->substr(colon + 1));
  }

  bool IsUnsafePath(const std::string& path)
  {
    if (path.find('\0') != std::string::npos || path.find('\\') != std::string::npos)
    {
      return true;
    }
    size_t start = 0;
    while (start <= path.size())
    {
      size_t end = path.find('/', start);
      if (end == std::string::npos)
      {
        end = path.size();
      }
      if (path.compare(start, end - start, "..") == 0)
      {
        return true;
      }
      start = end + 1;
    }
    return false;
  }

  bool IsCrossSiteWrite(const std::string& method, const std::string& origin, const std::string& host, bool https)
  {
    if (method == "GET" || method == "HEAD" || method == "OPTIONS" || origin.empty())
    {
      return false;
    }
    size_t separator = origin.find("://");
    if (separator == std::string::npos || host.empty())
    {
      return true;   // "null" (sandboxed or privacy-sensitive pages) and anything unparsable
    }
    const std::string scheme = ToLowerAscii(origin.substr(0, separator));
    std::string authority = origin.substr(separator + 3);
    authority = authority.substr(0, authority.find('/'));
    return Authority(authority, scheme == "https") != Authority(host, https);
  }

  struct HttpServer::Impl
  {
    HostConfig config;
    Handler handler;
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    int port = 0;
    size_t maximumBodySize = 0;

    void Serve(const httplib::Request& request, const std::string& body, httplib::Response& response)
    {
      RestAnswer answer;
      bool known;
      RestRequest rest;
      rest.method = ToMethod(request.method, known);
      rest.path = request.path;
      if (!known)
      {
        answer.SetError(Kestrum::ErrorCode_BadRequest, 405, "Unsupported method " + request.method);
        WriteAnswer(answer, response);
        return;
      }
      if (rest.path.empty() || rest.path[0] != '/' || IsUnsafePath(rest.path))
      {
        answer.SetError(Kestrum::ErrorCode_UriSyntax, "Refused path");
        WriteAnswer(answer, response);
        return;
      }
      for (const auto& argument : request.params)
      {
        rest.query.emplace_back(argument.first, argument.second);
      }
      for (const auto& header : request.headers)
      {
        std::string name = ToLowerAscii(header.first);
        rest.headers.emplace_back(name == ToLowerAscii(HiddenFormType) ? "content-type" : name, header.second);
      }
      rest.body = body;

      handler(rest, answer);
      WriteAnswer(answer, response);
    }

    /** Fills `answer` and returns true when the request is refused before its body is read. */
    bool RefuseBeforeBody(const httplib::Request& request, RestAnswer& answer) const
    {
      if (IsCrossSiteWrite(request.method, request.get_header_value("Origin"), request.get_header_value("Host"),
                           config.sslEnabled))
      {
        answer.SetError(Kestrum::ErrorCode_Unauthorized, 403, "Cross-site request refused");
        return true;
      }
      if (config.authenticationEnabled &&
          !CheckBasicAuthorization(request.get_header_value("Authorization"), config.registeredUsers))
      {
        answer.SetError(Kestrum::ErrorCode_Unauthorized, "Authentication required");
        answer.headers.emplace_back("WWW-Authenticate", "Basic realm=\"" + config.name + "\"");
        return true;
      }
      if (!IsServedMethod(request.method))
      {
        answer.SetError(Kestrum::ErrorCode_BadRequest, 405, "Unsupported method " + request.method);
        return true;
      }
      return false;
    }

    httplib::Server::HandlerResponse PreRoute(const httplib::Request& request, httplib::Response& response) const
    {
      RestAnswer answer;
      if (!RefuseBeforeBody(request, answer))
      {
        HideFormContentType(request);
        return httplib::Server::HandlerResponse::Unhandled;
      }
      if (AnnouncesBody(request))
      {
        WriteAnswerAndClose(request, answer, response);   // the body is never read
      }
      else
      {
        WriteAnswer(answer, response);
      }
      return httplib::Server::HandlerResponse::Handled;
    }

    void ServeWithoutBody(const httplib::Request& request, httplib::Response& response)
    {
      Serve(request, request.body, response);
      if (AnnouncesBody(request))
      {
        CloseAfterAnswer(request, response);   // the library leaves the body of a GET, HEAD or OPTIONS unread
      }
    }

    /**
     * Bodies are read through a content reader: the plain handlers would parse
     * (and cap at 8 KiB) any body sent as a form, which is what command-line
     * clients send by default.
     */
    void ServeWithBody(const httplib::Request& request, httplib::Response& response,
                       const httplib::ContentReader& reader)
    {
      std::string body;
      if (!request.has_header("Content-Length") && !request.has_header("Transfer-Encoding"))
      {
        Serve(request, body, response);  // no body at all
        return;
      }
      bool tooLarge = false;
      bool complete = reader([this, &body, &tooLarge](const char* data, size_t size)
      {
        if (body.size() + size > maximumBodySize)
        {
          tooLarge = true;   // a decoded (gzip) body may grow past the limit its length passed
          return false;
        }
        body.append(data, size);
        return true;
      });
      if (!complete)
      {
        RefuseUnreadableBody(request, response, tooLarge || response.status == 413);
        return;
      }
      Serve(request, body, response);
      if (request.method == "DELETE" && !request.has_header("Content-Length") && AnnouncesBody(request))
      {
        CloseAfterAnswer(request, response);   // the library skips a DELETE body that has no length, leaving it unread
      }
    }

    /**
     * The reader also fails on a body that cannot be decoded or ends early:
     * that is the client's mistake, not a size problem.
     */
    static void RefuseUnreadableBody(const httplib::Request& request, httplib::Response& response, bool tooLarge)
    {
      RestAnswer answer;
      if (tooLarge)
      {
        answer.SetError(Kestrum::ErrorCode_BadRequest, 413, "The request body is too large");
      }
      else
      {
        answer.SetError(Kestrum::ErrorCode_BadRequest, 400, "The request body cannot be decoded or is incomplete");
      }
      WriteAnswerAndClose(request, answer, response);   // where the next request starts is unknown
    }

    std::unique_ptr<httplib::Server> MakeServer() const
    {
      if (!config.sslEnabled)
      {
        return std::make_unique<httplib::Server>();
      }
      std::string key = config.sslPrivateKey.empty() ? config.sslCertificate : config.sslPrivateKey;
      auto secure = std::make_unique<httplib::SSLServer>(config.sslCertificate.c_str(), key.c_str());
      if (!secure->is_valid())
      {
        throw HostError(Kestrum::ErrorCode_SslInitialization,
                        "Cannot use the certificate " + config.sslCertificate + " and its private key");
      }
      return secure;
    }

    void Configure(httplib::Server& target)
    {
      target.new_task_queue = [] { return new httplib::ThreadPool(ThreadCount); };
      target.set_payload_max_length(maximumBodySize);
      target.set_keep_alive_max_count(1000);
      // An answer leaves in several writes (headers, body, TLS records): with
      // Nagle's algorithm each request on a kept-alive or TLS connection would
      // wait about 40 ms for the client's delayed acknowledgement.
      target.set_tcp_nodelay(true);

      target.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response)
      {
        return PreRoute(request, response);
      });
      auto withoutBody = [this](const httplib::Request& request, httplib::Response& response)
      {
        ServeWithoutBody(request, response);
      };
      auto withBody = [this](const httplib::Request& request, httplib::Response& response,
                             const httplib::ContentReader& reader)
      {
        ServeWithBody(request, response, reader);
      };
      target.Get(".*", withoutBody);
      target.Post(".*", withBody);
      target.Put(".*", withBody);
      target.Delete(".*", withBody);   // a body read in part must close the connection too
      target.Patch(".*", withBody);
      target.Options(".*", withoutBody);
      target.set_exception_handler([](const httplib::Request& request, httplib::Response& response, std::exception_ptr)
      {
        RestAnswer answer;
        answer.SetError(Kestrum::ErrorCode_InternalError);
        WriteAnswerAndClose(request, answer, response);   // the body may be unread
      });
    }

    /** Binds the configured port (any free one for 0) and remembers it. */
    void Bind(httplib::Server& target, const std::string& address)
    {
      if (config.httpPort == 0)
      {
        port = target.bind_to_any_port(address);
        if (port <= 0)
        {
          throw HostError(Kestrum::ErrorCode_HttpPortInUse, "Cannot bind the HTTP server on " + address);
        }
        return;
      }
      if (!target.bind_to_port(address, static_cast<int>(config.httpPort)))
      {
        throw HostError(Kestrum::ErrorCode_HttpPortInUse,
                        "The TCP port " + std::to_string(config.httpPort) + " is privileged or already in use");
      }
      port = static_cast<int>(config.httpPort);
    }
  };

  HttpServer::HttpServer(const HostConfig& config, Handler handler) :
    impl_(std::make_unique<Impl>())
  {
    impl_->config = config;
    impl_->maximumBodySize = static_cast<size_t>(config.maximumBodySize) << 20;
    impl_->handler = std::move(handler);
  }

  HttpServer::~HttpServer()
  {
    Stop();
  }

  void HttpServer::Start()
  {
    Impl& impl = *impl_;
    impl.server = impl.MakeServer();
    httplib::Server& server = *impl.server;
    impl.Configure(server);
    const std::string address = impl.config.remoteAccessAllowed ? "0.0.0.0" : "127.0.0.1";
    impl.Bind(server, address);

    impl.thread = std::thread([&server] { server.listen_after_bind(); });
    // A stop() before the loop runs would be lost, so "started" means "running".
    for (int i = 0; i < 500 && !server.is_running(); i++)
    {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    LogInfo(std::string(impl.config.sslEnabled ? "HTTPS" : "HTTP") + " server listening on " + address + ":" +
            std::to_string(impl.port));
  }

  int HttpServer::GetPort() const
  {
    return impl_->port;
  }

  void HttpServer::Stop()
  {
    if (impl_ && impl_->server)
    {
      impl_->server->stop();
      if (impl_->thread.joinable())
      {
        impl_->thread.join();
      }
      impl_->server.reset();
    }
  }
}
