#include "HttpServer.h"

#include "HostError.h"
#include "HostLog.h"
#include "HttpSocket.h"
#include "UriDecoding.h"

#include <Base64.h>
#include <Compression/GzipCompressor.h>
#include <Toolbox.h>

#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/string_body.hpp>
#include <libdeflate.h>
#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <zlib.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace KestrumHost
{
  using Kestrum::Toolbox::ToLowerAscii;
  using Kestrum::Toolbox::TrimSpaces;
  namespace http = boost::beast::http;

  namespace
  {
    // Handlers may block (plug-ins, outgoing calls back to this very server):
    // each connection keeps one thread, and this many are served at once.
    const size_t ThreadCount = 32;
    const int IoTimeoutMs = 5000;          // one read or write of a request under way
    const int KeepAliveTimeoutMs = 5000;   // a kept-alive connection without a new request
    const int LingerMs = 2000;             // reading what follows a refused request, see HttpSocket::Linger
    const int StopPollMs = 100;            // how soon idle waits notice a stop
    const unsigned int KeepAliveMaximumRequests = 1000;
    const size_t MaximumUriLength = 8192;
    const size_t MaximumHeaderLineLength = 8192;
    const std::uint32_t MaximumHeadBytes = 64 * 1024;
    // Heads and chunked bodies are read this much at a time; a body of known
    // length is read straight into its final buffer, as much as the kernel has.
    const size_t ReadChunk = 256 * 1024;

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

    /** The methods whose bodies are read; DELETE only with a length (see ReadsBody). */
    bool IsBodyMethod(const std::string& method)
    {
      return method == "POST" || method == "PUT" || method == "PATCH" || method == "DELETE";
    }

    /** The methods with a handler: anything else is refused before its body. */
    bool IsServedMethod(const std::string& method)
    {
      return IsBodyMethod(method) || method == "GET" || method == "HEAD" || method == "OPTIONS";
    }

    /** Types worth compressing for a client that accepts gzip. */
    bool IsCompressible(const std::string& contentType)
    {
      const std::string type = ToLowerAscii(contentType.substr(0, contentType.find(';')));
      return type.rfind("text/", 0) == 0 || type == "application/json" || type == "application/dicom+json" ||
             type == "application/javascript" || type == "application/xml" || type == "image/svg+xml" ||
             type == "application/xhtml+xml";
    }

    bool AcceptsGzip(const std::string& acceptEncoding)
    {
      return ToLowerAscii(acceptEncoding).find("gzip") != std::string::npos;
    }

    enum class Decoding
    {
      Done,
      TooLarge,
      Corrupt
    };

    /** Inflates a gzip or zlib body, never past "limit" bytes. */
    Decoding Inflate(const std::string& compressed, size_t limit, std::string& output)
    {
      z_stream stream{};
      if (inflateInit2(&stream, 15 + 32) != Z_OK)   // 32: gzip or zlib header, whichever comes
      {
        return Decoding::Corrupt;
      }
      output.clear();
      stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
      stream.avail_in = static_cast<uInt>(compressed.size());
      char chunk[64 * 1024];
      int status = Z_OK;
      Decoding result = Decoding::Done;
      while (status != Z_STREAM_END)
      {
        stream.next_out = reinterpret_cast<Bytef*>(chunk);
        stream.avail_out = sizeof(chunk);
        status = inflate(&stream, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END)
        {
          result = Decoding::Corrupt;   // also a stream that ends early (Z_BUF_ERROR)
          break;
        }
        size_t produced = sizeof(chunk) - stream.avail_out;
        if (output.size() + produced > limit)
        {
          result = Decoding::TooLarge;
          break;
        }
        output.append(chunk, produced);
      }
      inflateEnd(&stream);
      return result;
    }

    /**
     * A one-member gzip body in one call of libdeflate (about three times
     * zlib's inflate): its trailer gives the size, which is believed only
     * within the limit and deflate's greatest ratio. Anything else (a lying
     * or missing size, several members, damage) is left to Inflate, which
     * streams and says what is wrong.
     */
    bool FastGunzip(const std::string& compressed, size_t limit, std::string& output)
    {
      constexpr size_t GREATEST_RATIO = 1032;
      if (compressed.size() < 18)
      {
        return false;
      }
      const auto* trailer = reinterpret_cast<const uint8_t*>(compressed.data() + compressed.size() - 4);
      const size_t size = trailer[0] | trailer[1] << 8 | trailer[2] << 16 | static_cast<size_t>(trailer[3]) << 24;
      if (size > limit || size > GREATEST_RATIO * compressed.size())
      {
        return false;
      }

      std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> decompressor(
        libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
      if (decompressor == nullptr)
      {
        return false;
      }
      output.resize(size);
      size_t consumed = 0;
      size_t produced = 0;
      return (libdeflate_gzip_decompress_ex(decompressor.get(), compressed.data(), compressed.size(),
                                            &output[0], output.size(), &consumed, &produced) == LIBDEFLATE_SUCCESS &&
              consumed == compressed.size() &&
              produced == size);
    }

    std::string ReasonPhrase(int status)
    {
      std::string reason(http::obsolete_reason(static_cast<http::status>(status)));
      return reason.empty() || reason[0] == '<' ? "Unknown" : reason;
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

  /** One connection: requests read, served and answered in turn, until either side ends it. */
  class HttpConnection
  {
  private:
    using Parser = http::request_parser<http::string_body>;

    const HostConfig& config_;
    const HttpServer::Handler& handler_;
    const size_t maximumBodySize_;
    const std::atomic<bool>& stopping_;
    HttpSocket socket_;
    std::string pending_;        // bytes received and not yet parsed, from "consumed_" on
    size_t consumed_ = 0;
    bool unreadInput_ = false;   // the connection ends with bytes of a request left unread

    size_t Available() const
    {
      return pending_.size() - consumed_;
    }

    const char* Data() const
    {
      return pending_.data() + consumed_;
    }

    void Consume(size_t count)
    {
      consumed_ += count;
      if (consumed_ == pending_.size())
      {
        pending_.clear();
        consumed_ = 0;
      }
    }

    /** Appends what the socket has; false at the end of the stream, on an error or a timeout. */
    bool ReadMore(int timeoutMs)
    {
      if (consumed_ > 0)
      {
        pending_.erase(0, consumed_);
        consumed_ = 0;
      }
      const size_t before = pending_.size();
      pending_.resize(before + ReadChunk);
      ssize_t n = socket_.Read(&pending_[before], ReadChunk, timeoutMs);
      pending_.resize(before + static_cast<size_t>(std::max<ssize_t>(n, 0)));
      return n > 0;
    }

    /** Waits for a request in slices, so that a stop ends an idle connection soon. */
    bool WaitForRequest()
    {
      for (int waited = 0; waited < KeepAliveTimeoutMs; waited += StopPollMs)
      {
        if (stopping_)
        {
          return false;
        }
        if (socket_.WaitReadable(StopPollMs))
        {
          return true;
        }
      }
      return false;
    }

    void WriteAnswer(const std::string& method, const std::string& acceptEncoding, RestAnswer& answer, bool close,
                     unsigned int requestsLeft)
    {
      if (answer.contentType.empty())
      {
        answer.contentType = "text/plain";
      }
      bool compressed = false;
      if (!answer.body.empty() && AcceptsGzip(acceptEncoding) && IsCompressible(answer.contentType))
      {
        std::string gzip;
        Kestrum::GzipCompressor().Compress(gzip, answer.body.data(), answer.body.size());
        answer.body.swap(gzip);
        compressed = true;
      }

      std::string head = "HTTP/1.1 " + std::to_string(answer.status) + " " + ReasonPhrase(answer.status) + "\r\n";
      for (const auto& header : answer.headers)
      {
        head += header.first + ": " + header.second + "\r\n";
      }
      head += "Content-Type: " + answer.contentType + "\r\n";
      if (compressed)
      {
        head += "Content-Encoding: gzip\r\nVary: Accept-Encoding\r\n";
      }
      head += "Content-Length: " + std::to_string(answer.body.size()) + "\r\n";
      if (close)
      {
        head += "Connection: close\r\n";
      }
      else
      {
        head += "Keep-Alive: timeout=" + std::to_string(KeepAliveTimeoutMs / 1000) +
                ", max=" + std::to_string(requestsLeft) + "\r\n";
      }
      head += "\r\n";
      const bool withBody = (method != "HEAD");
      socket_.Write(head, answer.body.data(), withBody ? answer.body.size() : 0, IoTimeoutMs);
    }

    void Refuse(int status, const std::string& details)
    {
      unreadInput_ = true;
      RestAnswer answer;
      answer.SetError(Kestrum::ErrorCode_BadRequest, status, details);
      WriteAnswer("", "", answer, true, 0);
    }

    /** Fills `answer` and returns true when the request is refused before its body is read. */
    bool RefuseBeforeBody(const std::string& method, const Parser::value_type& head, RestAnswer& answer) const
    {
      const std::string origin(head["Origin"]);
      const std::string host(head["Host"]);
      if (IsCrossSiteWrite(method, origin, host, config_.sslEnabled))
      {
        answer.SetError(Kestrum::ErrorCode_Unauthorized, 403, "Cross-site request refused");
        return true;
      }
      if (config_.authenticationEnabled &&
          !CheckBasicAuthorization(std::string(head["Authorization"]), config_.registeredUsers))
      {
        answer.SetError(Kestrum::ErrorCode_Unauthorized, "Authentication required");
        answer.headers.emplace_back("WWW-Authenticate", "Basic realm=\"" + config_.name + "\"");
        return true;
      }
      if (!IsServedMethod(method))
      {
        answer.SetError(Kestrum::ErrorCode_BadRequest, 405, "Unsupported method " + method);
        return true;
      }
      return false;
    }

    /** Reads the head; false (after any answer) when the connection is to end. */
    bool ReadHead(Parser& parser)
    {
      if (Available() == 0 && !WaitForRequest())
      {
        return false;
      }
      for (;;)
      {
        if (Available() > 0)
        {
          boost::system::error_code error;
          size_t used = parser.put(boost::asio::buffer(Data(), Available()), error);
          Consume(used);
          if (!error && parser.is_header_done())
          {
            return true;
          }
          if (error == http::error::body_limit)
          {
            Refuse(413, "The request body is too large");
            return false;
          }
          if (error == http::error::header_limit)
          {
            Refuse(431, "The request headers are too large");
            return false;
          }
          if (error && error != http::error::need_more)
          {
            Refuse(400, "Malformed request: " + error.message());
            return false;
          }
          const char* lineEnd = static_cast<const char*>(memchr(Data(), '\n', Available()));
          if (lineEnd == nullptr && Available() > MaximumUriLength + 32)
          {
            Refuse(414, "The request line is too long");
            return false;
          }
        }
        if (!ReadMore(IoTimeoutMs))
        {
          return false;   // the client went away, or stopped sending within the time
        }
      }
    }

    enum class BodyStatus
    {
      Read,
      TooLarge,
      Unreadable
    };

    /** A body of known length, read into its final buffer without passing through the parser. */
    BodyStatus ReadSizedBody(uint64_t length, std::string& body)
    {
      if (length > maximumBodySize_)
      {
        return BodyStatus::TooLarge;
      }
      body.resize(static_cast<size_t>(length));
      size_t have = std::min(Available(), body.size());
      memcpy(&body[0], Data(), have);
      Consume(have);
      while (have < body.size())
      {
        ssize_t n = socket_.Read(&body[have], body.size() - have, IoTimeoutMs);
        if (n <= 0)
        {
          return BodyStatus::Unreadable;
        }
        have += static_cast<size_t>(n);
      }
      return BodyStatus::Read;
    }

    BodyStatus ReadChunkedBody(Parser& parser, std::string& body)
    {
      parser.body_limit(static_cast<std::uint64_t>(maximumBodySize_));
      while (!parser.is_done())
      {
        if (Available() > 0)
        {
          boost::system::error_code error;
          size_t used = parser.put(boost::asio::buffer(Data(), Available()), error);
          Consume(used);
          if (error == http::error::body_limit)
          {
            return BodyStatus::TooLarge;
          }
          if (error && error != http::error::need_more)
          {
            return BodyStatus::Unreadable;
          }
          if (!error && used > 0)
          {
            continue;
          }
        }
        if (!ReadMore(IoTimeoutMs))
        {
          return BodyStatus::Unreadable;
        }
      }
      body = std::move(parser.get().body());
      return BodyStatus::Read;
    }

    /** Undoes a content coding the host understands; others are handed over as they came. */
    BodyStatus Decode(const std::string& encoding, std::string& body) const
    {
      const std::string coding = ToLowerAscii(TrimSpaces(encoding));
      if (coding == "gzip" || coding == "deflate")
      {
        std::string decoded;
        if (coding == "gzip" && FastGunzip(body, maximumBodySize_, decoded))
        {
          body.swap(decoded);
          return BodyStatus::Read;
        }
        switch (Inflate(body, maximumBodySize_, decoded))
        {
          case Decoding::Done: body.swap(decoded); return BodyStatus::Read;
          case Decoding::TooLarge: return BodyStatus::TooLarge;
          default: return BodyStatus::Unreadable;
        }
      }
      if (coding == "br")
      {
        return BodyStatus::Unreadable;
      }
      return BodyStatus::Read;
    }

    void Serve(const std::string& method, const Parser::value_type& head, std::string body, RestAnswer& answer)
    {
      bool known;
      RestRequest rest;
      rest.method = ToMethod(method, known);
      if (!known)
      {
        answer.SetError(Kestrum::ErrorCode_BadRequest, 405, "Unsupported method " + method);
        return;
      }
      ParseUri(std::string(head.target()), rest);
      if (rest.path.empty() || rest.path[0] != '/' || IsUnsafePath(rest.path))
      {
        answer.SetError(Kestrum::ErrorCode_UriSyntax, "Refused path");
        return;
      }
      for (const auto& field : head)
      {
        rest.headers.emplace_back(ToLowerAscii(std::string(field.name_string())), std::string(field.value()));
      }
      rest.body = std::move(body);
      try
      {
        handler_(rest, answer);
      }
      catch (...)
      {
        answer.headers.clear();
        answer.SetError(Kestrum::ErrorCode_InternalError);
      }
    }

    /** Reads, serves and answers one request; false when the connection is to end. */
    bool ServeOne(unsigned int requestsLeft)
    {
      Parser parser;
      parser.header_limit(MaximumHeadBytes);
      // Bodies that are not read may be of any length: the limit applies once
      // the head tells that the body is read (see ReadSizedBody and ReadChunkedBody).
      parser.body_limit(std::numeric_limits<std::uint64_t>::max());
      if (!ReadHead(parser))
      {
        return false;
      }
      const Parser::value_type& head = parser.get();
      const std::string method(head.method_string());
      const std::string acceptEncoding(head["Accept-Encoding"]);
      if (head.target().size() > MaximumUriLength)
      {
        Refuse(414, "The request line is too long");
        return false;
      }
      for (const auto& field : head)
      {
        if (field.name_string().size() + field.value().size() > MaximumHeaderLineLength)
        {
          Refuse(431, "A request header is too long");
          return false;
        }
      }

      const bool hasLength = head.find(http::field::content_length) != head.end();
      const bool announcesBody = parser.chunked() || head.find(http::field::transfer_encoding) != head.end() ||
                                 (parser.content_length() && *parser.content_length() > 0);
      bool close = !head.keep_alive() || requestsLeft <= 1 || stopping_;

      RestAnswer answer;
      if (RefuseBeforeBody(method, head, answer))
      {
        unreadInput_ = announcesBody;
        WriteAnswer(method, acceptEncoding, answer, close || announcesBody, requestsLeft - 1);
        return !(close || announcesBody);
      }

      // A body that is not read stays on the connection, where it would be
      // taken for the next request: such a connection ends with its answer.
      // A DELETE body is read only when it has a length.
      std::string body;
      const bool readsBody = announcesBody && IsBodyMethod(method) && (method != "DELETE" || hasLength);
      if (announcesBody && !readsBody)
      {
        close = true;
        unreadInput_ = true;
      }
      if (readsBody)
      {
        if (ToLowerAscii(std::string(head["Expect"])) == "100-continue")
        {
          socket_.Write("HTTP/1.1 100 Continue\r\n\r\n", nullptr, 0, IoTimeoutMs);
        }
        BodyStatus status = parser.chunked() ? ReadChunkedBody(parser, body) :
                            ReadSizedBody(parser.content_length().value_or(0), body);
        if (status == BodyStatus::Read)
        {
          status = Decode(std::string(head["Content-Encoding"]), body);
        }
        if (status == BodyStatus::TooLarge)
        {
          Refuse(413, "The request body is too large");
          return false;
        }
        if (status == BodyStatus::Unreadable)
        {
          // Where the next request would start is unknown.
          Refuse(400, "The request body cannot be decoded or is incomplete");
          return false;
        }
      }

      Serve(method, head, std::move(body), answer);
      WriteAnswer(method, acceptEncoding, answer, close, requestsLeft - 1);
      return !close;
    }

  public:
    HttpConnection(const HostConfig& config, const HttpServer::Handler& handler, size_t maximumBodySize,
                   const std::atomic<bool>& stopping, int fd, SSL_CTX* tls) :
      config_(config),
      handler_(handler),
      maximumBodySize_(maximumBodySize),
      stopping_(stopping),
      socket_(fd, tls)
    {
    }

    void Run(bool tls)
    {
      if (tls && !socket_.Handshake(IoTimeoutMs))
      {
        return;
      }
      for (unsigned int left = KeepAliveMaximumRequests; left > 0 && ServeOne(left); left--)
      {
      }
      if (unreadInput_)
      {
        socket_.Linger(LingerMs);
      }
    }
  };

  struct HttpServer::Impl
  {
    HostConfig config;
    Handler handler;
    size_t maximumBodySize = 0;
    int listenFd = -1;
    int port = 0;
    SSL_CTX* tls = nullptr;
    std::atomic<bool> stopping{false};
    std::thread acceptor;

    /**
     * A thread that serves one connection at a time. The one idle for the
     * shortest time takes the next connection: its memory (a body's buffer
     * of some MiB) and caches are still warm, where taking turns would have
     * every thread touch fresh pages for every large request.
     */
    struct Worker
    {
      std::thread thread;
      std::condition_variable wake;
      int fd = -1;
    };
    std::vector<std::unique_ptr<Worker>> workers;
    std::mutex mutex;
    std::vector<Worker*> idle;     // the most recently idle last
    std::deque<int> accepted;      // waiting for a thread

    ~Impl()
    {
      if (tls != nullptr)
      {
        SSL_CTX_free(tls);
      }
      if (listenFd >= 0)
      {
        close(listenFd);
      }
    }

    void MakeTlsContext()
    {
      tls = SSL_CTX_new(TLS_server_method());
      const std::string key = config.sslPrivateKey.empty() ? config.sslCertificate : config.sslPrivateKey;
      if (tls == nullptr ||
          SSL_CTX_set_min_proto_version(tls, TLS1_2_VERSION) != 1 ||
          SSL_CTX_use_certificate_chain_file(tls, config.sslCertificate.c_str()) != 1 ||
          SSL_CTX_use_PrivateKey_file(tls, key.c_str(), SSL_FILETYPE_PEM) != 1 ||
          SSL_CTX_check_private_key(tls) != 1)
      {
        throw HostError(Kestrum::ErrorCode_SslInitialization,
                        "Cannot use the certificate " + config.sslCertificate + " and its private key");
      }
    }

    /** Binds the configured port (any free one for 0) and remembers it. */
    void Bind(const std::string& address)
    {
      listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      int yes = 1;
      setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
      sockaddr_in where{};
      where.sin_family = AF_INET;
      where.sin_port = htons(static_cast<uint16_t>(config.httpPort));
      inet_pton(AF_INET, address.c_str(), &where.sin_addr);
      if (listenFd < 0 || bind(listenFd, reinterpret_cast<sockaddr*>(&where), sizeof(where)) != 0 ||
          listen(listenFd, SOMAXCONN) != 0)
      {
        if (config.httpPort == 0)
        {
          throw HostError(Kestrum::ErrorCode_HttpPortInUse, "Cannot bind the HTTP server on " + address);
        }
        throw HostError(Kestrum::ErrorCode_HttpPortInUse,
                        "The TCP port " + std::to_string(config.httpPort) + " is privileged or already in use");
      }
      socklen_t size = sizeof(where);
      getsockname(listenFd, reinterpret_cast<sockaddr*>(&where), &size);
      port = ntohs(where.sin_port);
    }

    void Accept()
    {
      while (!stopping)
      {
        pollfd entry{listenFd, POLLIN, 0};
        if (poll(&entry, 1, StopPollMs) <= 0)
        {
          continue;
        }
        int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
        {
          continue;
        }
        // An answer may leave in several writes: with Nagle's algorithm each
        // request on a kept-alive or TLS connection would wait about 40 ms for
        // the client's delayed acknowledgement.
        int yes = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof(yes));
        std::lock_guard<std::mutex> lock(mutex);
        if (idle.empty())
        {
          accepted.push_back(fd);
        }
        else
        {
          Worker* worker = idle.back();
          idle.pop_back();
          worker->fd = fd;
          worker->wake.notify_one();
        }
      }
    }

    /** The next connection for this worker, or -1 once the server stops. */
    int NextConnection(Worker& worker)
    {
      std::unique_lock<std::mutex> lock(mutex);
      if (!accepted.empty())
      {
        int fd = accepted.front();
        accepted.pop_front();
        return fd;
      }
      if (stopping)
      {
        return -1;
      }
      idle.push_back(&worker);
      worker.wake.wait(lock, [this, &worker] { return stopping || worker.fd >= 0; });
      if (worker.fd < 0)
      {
        idle.erase(std::find(idle.begin(), idle.end(), &worker));
        return -1;
      }
      int fd = worker.fd;
      worker.fd = -1;
      return fd;
    }

    void Work(Worker& worker)
    {
      for (int fd = NextConnection(worker); fd >= 0; fd = NextConnection(worker))
      {
        if (stopping)
        {
          close(fd);
          continue;
        }
        HttpConnection connection(config, handler, maximumBodySize, stopping, fd, tls);
        connection.Run(tls != nullptr);
      }
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
    if (impl.config.sslEnabled)
    {
      impl.MakeTlsContext();
    }
    const std::string address = impl.config.remoteAccessAllowed ? "0.0.0.0" : "127.0.0.1";
    impl.Bind(address);
    impl.stopping = false;
    for (size_t i = 0; i < ThreadCount; i++)
    {
      impl.workers.push_back(std::make_unique<Impl::Worker>());
      Impl::Worker& worker = *impl.workers.back();
      worker.thread = std::thread([&impl, &worker] { impl.Work(worker); });
    }
    impl.acceptor = std::thread([&impl] { impl.Accept(); });
    LogInfo(std::string(impl.config.sslEnabled ? "HTTPS" : "HTTP") + " server listening on " + address + ":" +
            std::to_string(impl.port));
  }

  int HttpServer::GetPort() const
  {
    return impl_->port;
  }

  void HttpServer::Stop()
  {
    if (!impl_ || !impl_->acceptor.joinable())
    {
      return;
    }
    Impl& impl = *impl_;
    {
      std::lock_guard<std::mutex> lock(impl.mutex);
      impl.stopping = true;
      for (auto& worker : impl.workers)
      {
        worker->wake.notify_one();
      }
    }
    impl.acceptor.join();
    // Connections in the middle of a request finish it; idle ones end within StopPollMs.
    for (auto& worker : impl.workers)
    {
      worker->thread.join();
    }
    impl.workers.clear();
    for (int fd : impl.accepted)
    {
      close(fd);
    }
    impl.accepted.clear();
    close(impl.listenFd);
    impl.listenFd = -1;
  }
}
