#include "HostHttpClient.h"

#include "HostBuffer.h"

#include <KestrumException.h>
#include <Toolbox.h>

#include <cstring>
#include <vector>

namespace QuelbyCloud
{
  namespace
  {
    const char* NullIfEmpty(const std::string& text)
    {
      return text.empty() ? nullptr : text.c_str();
    }
  }


  void HostHttpClient::SetHeaders(const HttpHeaders& headers)
  {
    for (const auto& [name, value] : headers)
    {
      headers_[name] = value;
    }
  }


  void HostHttpClient::SetCredentials(const std::string& username, const std::string& password)
  {
    username_ = username;
    password_ = password;
  }


  void HostHttpClient::SetCertificate(const std::string& certificateFile,
                                      const std::string& certificateKeyFile,
                                      const std::string& certificateKeyPassword)
  {
    certificateFile_ = certificateFile;
    certificateKeyFile_ = certificateKeyFile;
    certificateKeyPassword_ = certificateKeyPassword;
  }


  void HostHttpClient::ReadAnswerHeaders(HttpHeaders& target, const Json::Value& headers)
  {
    if (!headers.isObject())
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_InternalError);
    }

    target.clear();
    for (const std::string& name : headers.getMemberNames())
    {
      if (!headers[name].isString())
      {
        throw Kestrum::KestrumException(Kestrum::ErrorCode_InternalError);
      }
      target[name] = headers[name].asString();
    }
  }


  std::string HostHttpClient::Execute(HttpHeaders& answerHeaders)
  {
    const std::string_view sent = GetBody();
    if (sent.size() > UINT32_MAX)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_NotEnoughMemory);
    }

    // The host takes the headers as two parallel arrays, in the map's order.
    std::vector<const char*> names, values;
    for (const auto& [name, value] : headers_)
    {
      names.push_back(name.c_str());
      values.push_back(value.c_str());
    }

    // Both answer buffers go back to the host on every path.
    HostBuffer body(host_), headers(host_);

    _KestrumCallHttpClient params;
    memset(&params, 0, sizeof(params));
    params.answerBody = body.GetRecord();
    params.answerHeaders = headers.GetRecord();
    params.httpStatus = &httpStatus_;
    params.method = method_;
    params.url = url_.c_str();
    params.headersCount = static_cast<uint32_t>(names.size());
    params.headersKeys = names.empty() ? nullptr : names.data();
    params.headersValues = values.empty() ? nullptr : values.data();
    params.username = NullIfEmpty(username_);
    params.password = NullIfEmpty(password_);
    params.timeout = timeout_;
    params.pkcs11 = pkcs11_ ? 1 : 0;

    // The key and its password mean nothing without the certificate itself.
    if (!certificateFile_.empty())
    {
      params.certificateFile = certificateFile_.c_str();
      params.certificateKeyFile = certificateKeyFile_.c_str();
      params.certificateKeyPassword = certificateKeyPassword_.c_str();
    }

    if (!sent.empty())
    {
      params.body = sent.data();
      params.bodySize = static_cast<uint32_t>(sent.size());
    }

    host_.Invoke(KestrumService_CallHttpClient, &params);

    ReadAnswerHeaders(answerHeaders, headers.ToJson());
    return std::string(body.GetView());
  }


  Json::Value HostHttpClient::ExecuteJson(HttpHeaders& answerHeaders)
  {
    std::optional<Json::Value> parsed = Kestrum::Toolbox::ReadJson(Execute(answerHeaders));
    if (!parsed)
    {
      LOG(ERROR) << "Cannot convert HTTP answer body to JSON";
      throw Kestrum::KestrumException(Kestrum::ErrorCode_BadFileFormat);
    }
    return std::move(*parsed);
  }
}
