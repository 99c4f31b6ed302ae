#pragma once

#include "HostBridge.h"

#include <json/value.h>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <stdint.h>

namespace QuelbyCloud
{
  /** One outgoing HTTP(S) request, performed by the host. */
  class HostHttpClient
  {
  public:
    using HttpHeaders = std::map<std::string, std::string>;

  private:
    const HostBridge& host_;
    uint16_t httpStatus_ = 0;
    KestrumHttpMethod method_ = KestrumHttpMethod_Get;
    std::string url_;
    HttpHeaders headers_;
    std::string username_;
    std::string password_;
    uint32_t timeout_ = 0;   // seconds; 0 leaves it to the host
    std::string certificateFile_;
    std::string certificateKeyFile_;
    std::string certificateKeyPassword_;
    bool pkcs11_ = false;
    std::string body_;
    std::optional<std::string_view> borrowedBody_;   // the caller's bytes, instead of body_

    // The answer's headers, a JSON object of texts (InternalError for anything else).
    static void ReadAnswerHeaders(HttpHeaders& target, const Json::Value& headers);

  public:
    explicit HostHttpClient(const HostBridge& host) : host_(host) {}

    void SetMethod(KestrumHttpMethod method) { method_ = method; }
    void SetUrl(const std::string& url) { url_ = url; }

    /** Sets a header, replacing a value of the same name (names compare case-sensitively). */
    void SetHeader(const std::string& name, const std::string& value) { headers_[name] = value; }

    /** Sets every header of the map, in name order, each replacing a value of the same name. */
    void SetHeaders(const HttpHeaders& headers);

    void SetCredentials(const std::string& username, const std::string& password);
    void SetTimeout(uint32_t seconds) { timeout_ = seconds; }
    void SetCertificate(const std::string& certificateFile,
                        const std::string& certificateKeyFile,
                        const std::string& certificateKeyPassword);
    void SetPkcs11(bool pkcs11) { pkcs11_ = pkcs11; }

    /** Copies the text into the body. */
    void SetBody(const std::string& body) { body_ = body; borrowedBody_.reset(); }

    /** Swaps the request's body with the caller's text, without a copy. */
    void SwapBody(std::string& body) { body_.swap(body); borrowedBody_.reset(); }

    /** Sends the caller's bytes as the body, without a copy: they must outlive Execute. */
    void BorrowBody(std::string_view body) { borrowedBody_ = body; }

    KestrumHttpMethod GetMethod() const { return method_; }
    const std::string& GetUrl() const { return url_; }
    const HttpHeaders& GetHeaders() const { return headers_; }
    std::string_view GetBody() const { return borrowedBody_ ? *borrowedBody_ : std::string_view(body_); }
    uint16_t GetHttpStatus() const { return httpStatus_; }

    /** Performs the request and gives the answer's body; a failing service is thrown with its code. */
    std::string Execute(HttpHeaders& answerHeaders);

    /** The same, the body parsed as JSON (logged, BadFileFormat when it is not). */
    Json::Value ExecuteJson(HttpHeaders& answerHeaders);
  };
}
