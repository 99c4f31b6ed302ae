#include "HttpClient.h"

#include <Toolbox.h>

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>

namespace KestrumHost
{
  using Kestrum::Toolbox::ToLowerAscii;
  using Kestrum::Toolbox::TrimSpaces;

  namespace
  {
    const long UploadBufferSize = 2L * 1024 * 1024;   // libcurl's largest

    struct SlistDeleter
    {
      void operator()(curl_slist* list) const { curl_slist_free_all(list); }
    };
    using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

    struct EasyDeleter
    {
      void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
    };

    void Append(Slist& list, const std::string& text)
    {
      curl_slist* extended = curl_slist_append(list.get(), text.c_str());
      if (extended == nullptr)
      {
        throw std::bad_alloc();
      }
      list.release();
      list.reset(extended);
    }

    size_t CollectBody(char* data, size_t size, size_t count, void* target)
    {
      static_cast<std::string*>(target)->append(data, size * count);
      return size * count;
    }


    size_t CollectHeader(char* data, size_t size, size_t count, void* target)
    {
      Json::Value& headers = *static_cast<Json::Value*>(target);
      std::string line(data, size * count);
      if (line.compare(0, 5, "HTTP/") == 0)
      {
        // A new status line (after "100 Continue"): only the final answer's headers count.
        headers = Json::Value(Json::objectValue);
        return size * count;
      }
      size_t colon = line.find(':');
      if (colon != std::string::npos && colon > 0)
      {
        std::string name = TrimSpaces(line.substr(0, colon));
        std::string value = TrimSpaces(line.substr(colon + 1));
        if (headers.isMember(name))
        {
          headers[name] = headers[name].asString() + ", " + value;
        }
        else
        {
          headers[name] = value;
        }
      }
      return size * count;
    }

    bool IsContentType(const std::string& name)
    {
      static const std::string expected = "content-type";
      return name.size() == expected.size() &&
             std::equal(name.begin(), name.end(), expected.begin(),
                        [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
    }

    /**
     * The caller's headers, and no others: "Name:" makes libcurl drop a header it
     * would add by itself ("Expect"), and a body must not go out labelled as an
     * HTML form, libcurl's default type, when the caller gave no type.
     */
    Slist MakeHeaderList(const std::vector<std::pair<std::string, std::string>>& headers)
    {
      Slist list;
      bool typed = false;
      for (const auto& header : headers)
      {
        Append(list, header.second.empty() ? header.first + ":" : header.first + ": " + header.second);
        typed = typed || IsContentType(header.first);
      }
      if (!typed)
      {
        Append(list, "Content-Type:");
      }
      return list;
    }

    void ApplyTransfer(CURL* handle, const std::string& url, const Slist& headers, const Slist& connectTo,
                       OutgoingAnswer& answer, char* curlError)
    {
      curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, curlError);
      curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
      curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
      curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
      curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
      if (connectTo)
      {
        curl_easy_setopt(handle, CURLOPT_CONNECT_TO, connectTo.get());
      }
      // Bodies of some MiB (STOW-RS batches) leave in pieces of this size: with
      // libcurl's 64 KiB each batch took ninety writes here and as many reads
      // at the other end.
      curl_easy_setopt(handle, CURLOPT_UPLOAD_BUFFERSIZE, UploadBufferSize);
      curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &CollectBody);
      curl_easy_setopt(handle, CURLOPT_WRITEDATA, &answer.body);
      curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &CollectHeader);
      curl_easy_setopt(handle, CURLOPT_HEADERDATA, &answer.headers);
    }

    void ApplyTls(CURL* handle, const OutgoingRequest& request, const std::string& caCertificates, bool verifyPeers)
    {
      if (!caCertificates.empty())
      {
        curl_easy_setopt(handle, CURLOPT_CAINFO, caCertificates.c_str());
      }
      curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, verifyPeers ? 1L : 0L);
      curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, verifyPeers ? 2L : 0L);
      if (request.certificateFile != nullptr && request.certificateFile[0] != '\0')
      {
        curl_easy_setopt(handle, CURLOPT_SSLCERT, request.certificateFile);
        curl_easy_setopt(handle, CURLOPT_SSLCERTTYPE, "PEM");
        if (request.certificateKeyFile != nullptr && request.certificateKeyFile[0] != '\0')
        {
          curl_easy_setopt(handle, CURLOPT_SSLKEY, request.certificateKeyFile);
        }
        if (request.certificateKeyPassword != nullptr)
        {
          curl_easy_setopt(handle, CURLOPT_KEYPASSWD, request.certificateKeyPassword);
        }
      }
    }

    void ApplyCredentials(CURL* handle, const OutgoingRequest& request)
    {
      if (request.username != nullptr)
      {
        curl_easy_setopt(handle, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        curl_easy_setopt(handle, CURLOPT_USERNAME, request.username);
        curl_easy_setopt(handle, CURLOPT_PASSWORD, request.password != nullptr ? request.password : "");
      }
    }

    /** False for a method the plug-in interface does not define. */
    bool ApplyMethod(CURL* handle, const OutgoingRequest& request)
    {
      static const char emptyBody[] = "";
      const void* body = (request.body != nullptr ? request.body : emptyBody);
      switch (request.method)
      {
        case KestrumHttpMethod_Get:
          curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
          return true;
        case KestrumHttpMethod_Post:
          curl_easy_setopt(handle, CURLOPT_POST, 1L);
          curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body);
          curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.bodySize));
          return true;
        case KestrumHttpMethod_Put:
          curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body);
          curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.bodySize));
          curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, "PUT");
          return true;
        case KestrumHttpMethod_Delete:
          curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, "DELETE");
          return true;
        default:
          return false;
      }
    }

    // The plug-ins only learn the code: distinct ones let them tell their users why.
    Kestrum::ErrorCode ErrorCodeForFailure(CURLcode code)
    {
      switch (code)
      {
        case CURLE_OPERATION_TIMEDOUT:
          return Kestrum::ErrorCode_Timeout;
        case CURLE_COULDNT_RESOLVE_HOST:
          return Kestrum::ErrorCode_UnknownResource;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
          return Kestrum::ErrorCode_SslInitialization;
        default:
          return Kestrum::ErrorCode_NetworkProtocol;
      }
    }

    /** The code of a performed exchange, and the reason of a failure for the log. */
    Kestrum::ErrorCode Outcome(const std::string& url, CURLcode code, long status, const char* curlError,
                               std::string& error)
    {
      if (code != CURLE_OK)
      {
        error = "Outgoing request to " + RedactUrl(url) + " failed: " +
          (curlError[0] != '\0' ? std::string(curlError) : std::string(curl_easy_strerror(code)));
        return ErrorCodeForFailure(code);
      }
      if (status >= 400)
      {
        error = "Outgoing request to " + RedactUrl(url) + " answered HTTP status " + std::to_string(status);
        return HttpClient::ErrorCodeForHttpStatus(status);
      }
      return Kestrum::ErrorCode_Success;
    }
  }

  std::string RedactUrl(const std::string& url)
  {
    size_t scheme = url.find("://");
    size_t start = (scheme == std::string::npos ? 0 : scheme + 3);
    size_t end = url.find_first_of("/?#", start);
    size_t at = url.rfind('@', end == std::string::npos ? url.size() : end);
    if (at == std::string::npos || at < start)
    {
      return url;
    }
    return url.substr(0, start) + "***@" + url.substr(at + 1);
  }

  class HttpClient::HandlePool
  {
  private:
    static const size_t MAX_IDLE = 16;

    std::mutex mutex_;
    std::vector<std::unique_ptr<CURL, EasyDeleter>> idle_;

  public:
    /** A handle for one request, reset but with its connections, given back at the end. */
    class Lease
    {
    private:
      HandlePool& pool_;
      std::unique_ptr<CURL, EasyDeleter> handle_;

    public:
      explicit Lease(HandlePool& pool) : pool_(pool)
      {
        {
          std::lock_guard<std::mutex> lock(pool_.mutex_);
          if (!pool_.idle_.empty())
          {
            handle_ = std::move(pool_.idle_.back());
            pool_.idle_.pop_back();
          }
        }
        if (handle_)
        {
          curl_easy_reset(handle_.get());   // keeps the live connections, forgets every option
        }
        else
        {
          handle_.reset(curl_easy_init());
        }
      }

      ~Lease()
      {
        if (handle_)
        {
          std::lock_guard<std::mutex> lock(pool_.mutex_);
          if (pool_.idle_.size() < MAX_IDLE)
          {
            pool_.idle_.push_back(std::move(handle_));
          }
        }
      }

      CURL* Get() const { return handle_.get(); }
    };
  };


  HttpClient::HttpClient(const HostConfig& config) :
    caCertificates_(config.httpsCACertificates),
    verifyPeers_(config.httpsVerifyPeers),
    defaultTimeout_(config.httpTimeout),
    connectTo_(config.httpConnectTo),
    handles_(std::make_shared<HandlePool>())
  {
    static const CURLcode initialized = curl_global_init(CURL_GLOBAL_DEFAULT);
    (void) initialized;
  }

  Kestrum::ErrorCode HttpClient::ErrorCodeForHttpStatus(long status)
  {
    switch (status)
    {
      case 400: return Kestrum::ErrorCode_BadRequest;
      case 401:
      case 403: return Kestrum::ErrorCode_Unauthorized;
      case 404: return Kestrum::ErrorCode_UnknownResource;
      case 415: return Kestrum::ErrorCode_UnsupportedMediaType;
      default: return Kestrum::ErrorCode_NetworkProtocol;
    }
  }

  Kestrum::ErrorCode HttpClient::Execute(const OutgoingRequest& request, OutgoingAnswer& answer, std::string& error) const
  {
    answer = OutgoingAnswer();
    if (request.pkcs11)
    {
      error = "PKCS#11 client certificates are not supported by this host";
      return Kestrum::ErrorCode_NotImplemented;
    }
    if (request.url.empty())
    {
      error = "No URL given for an outgoing request";
      return Kestrum::ErrorCode_ParameterOutOfRange;
    }

    HandlePool::Lease curl(*handles_);
    if (!curl.Get())
    {
      error = "Cannot initialize libcurl";
      return Kestrum::ErrorCode_InternalError;
    }
    CURL* handle = curl.Get();

    const Slist headers = MakeHeaderList(request.headers);
    Slist connectTo;
    for (const std::string& rule : connectTo_)
    {
      Append(connectTo, rule);
    }
    char curlError[CURL_ERROR_SIZE] = {0};
    ApplyTransfer(handle, request.url, headers, connectTo, answer, curlError);
    const uint32_t timeout = (request.timeout != 0 ? request.timeout : defaultTimeout_);
    if (timeout != 0)
    {
      curl_easy_setopt(handle, CURLOPT_TIMEOUT, static_cast<long>(timeout));
    }
    ApplyTls(handle, request, caCertificates_, verifyPeers_);
    ApplyCredentials(handle, request);
    if (!ApplyMethod(handle, request))
    {
      error = "Unknown HTTP method in an outgoing request: " + std::to_string(request.method);
      return Kestrum::ErrorCode_ParameterOutOfRange;
    }

    CURLcode code = curl_easy_perform(handle);
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    answer.status = static_cast<uint16_t>(status);
    return Outcome(request.url, code, status, curlError, error);
  }
}
