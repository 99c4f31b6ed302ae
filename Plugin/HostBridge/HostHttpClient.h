#pragma once

#include <Plugins/KestrumPluginInterface.h>

#include <json/value.h>
#include <map>
#include <string>
#include <stdint.h>

namespace QuelbyCloud
{
  /** One outgoing HTTP(S) request performed by the host (service 27). */
  class HostHttpClient
  {
  public:
    typedef std::map<std::string, std::string> HttpHeaders;

  private:
    uint16_t httpStatus_;
    int32_t method_;
    std::string url_;
    HttpHeaders headers_;
    std::string username_;
    std::string password_;
    uint32_t timeout_;
    std::string certificateFile_;
    std::string certificateKeyFile_;
    std::string certificateKeyPassword_;
    bool pkcs11_;
    std::string body_;

  public:
    HostHttpClient();

    void SetMethod(int32_t method) { method_ = method; }
    void SetUrl(const std::string& url) { url_ = url; }
    void SetHeader(const std::string& name, const std::string& value) { headers_[name] = value; }
    void ClearHeaders() { headers_.clear(); }
    void SetCredentials(const std::string& username, const std::string& password);
    void SetTimeout(uint32_t seconds) { timeout_ = seconds; }
    void SetCertificate(const std::string& certificateFile,
                        const std::string& certificateKeyFile,
                        const std::string& certificateKeyPassword);
    void SetPkcs11(bool pkcs11) { pkcs11_ = pkcs11; }

    /** Copies the text into the body. */
    void SetBody(const std::string& body) { body_ = body; }

    /** Swaps the request's body with the caller's text, without a copy. */
    void SwapBody(std::string& body) { body_.swap(body); }

    int32_t GetMethod() const { return method_; }
    const std::string& GetUrl() const { return url_; }
    const HttpHeaders& GetHeaders() const { return headers_; }
    const std::string& GetBody() const { return body_; }
    uint16_t GetHttpStatus() const { return httpStatus_; }

    /** Performs the request; a failing service is thrown with its code. */
    void Execute(HttpHeaders& answerHeaders, std::string& answerBody);

    /** The same, then parses the body as JSON (logged, code 15 when it is not). */
    void Execute(HttpHeaders& answerHeaders, Json::Value& answerBody);
  };
}
