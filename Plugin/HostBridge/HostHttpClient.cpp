#include "HostHttpClient.h"

#include "HostBuffer.h"
#include "HostContext.h"

#include <KestrumException.h>
#include <Logging.h>
#include <Toolbox.h>

#include <cstring>
#include <vector>

namespace QuelbyCloud
{
  HostHttpClient::HostHttpClient() :
    httpStatus_(0),
    method_(KestrumHttpMethod_Get),
    timeout_(0),
    pkcs11_(false)
  {
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

  static const char* NullIfEmpty(const std::string& text)
  {
    return text.empty() ? nullptr : text.c_str();
  }

  void HostHttpClient::Execute(HttpHeaders& answerHeaders, std::string& answerBody)
  {
    KestrumPluginContext* context = RequireHostContext();

    if (body_.size() > UINT32_MAX)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_NotEnoughMemory);
    }

    // 1. Header names and values as two parallel arrays, in the map's order.
    std::vector<const char*> names, values;
    names.reserve(headers_.size());
    values.reserve(headers_.size());
    for (const auto& header : headers_)
    {
      names.push_back(header.first.c_str());
      values.push_back(header.second.c_str());
    }

    // Both answer buffers go back to the host on every path (destructors).
    HostBuffer body, headers;

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

    // 2. Credentials only when given.
    params.username = NullIfEmpty(username_);
    params.password = NullIfEmpty(password_);
    params.timeout = timeout_;

    // 3. The certificate settings stand or fall with the certificate file.
    if (!certificateFile_.empty())
    {
      params.certificateFile = certificateFile_.c_str();
      params.certificateKeyFile = certificateKeyFile_.c_str();
      params.certificateKeyPassword = certificateKeyPassword_.c_str();
    }
    params.pkcs11 = pkcs11_ ? 1 : 0;

    // 4. The body.
    if (!body_.empty())
    {
      params.body = body_.data();
      params.bodySize = static_cast<uint32_t>(body_.size());
    }

    // 5. The request itself.
    KestrumErrorCode code = context->InvokeService(context, KestrumService_CallHttpClient, &params);
    if (code != 0)
    {
      throw Kestrum::KestrumException(static_cast<Kestrum::ErrorCode>(code));
    }

    // 6. The answer headers: a JSON object of texts.
    Json::Value json;
    headers.ToJson(json);
    if (json.type() != Json::objectValue)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_InternalError);
    }

    answerHeaders.clear();
    for (Json::Value::const_iterator it = json.begin(); it != json.end(); ++it)
    {
      if (it->type() != Json::stringValue)
      {
        throw Kestrum::KestrumException(Kestrum::ErrorCode_InternalError);
      }
      answerHeaders[it.name()] = it->asString();
    }

    // 7. The answer body.
    body.ToString(answerBody);
  }

  void HostHttpClient::Execute(HttpHeaders& answerHeaders, Json::Value& answerBody)
  {
    std::string text;
    Execute(answerHeaders, text);

    std::optional<Json::Value> parsed = Kestrum::Toolbox::ReadJson(text);
    if (!parsed)
    {
      LOG(ERROR) << "Cannot convert HTTP answer body to JSON";
      throw Kestrum::KestrumException(Kestrum::ErrorCode_BadFileFormat);
    }
    answerBody.swap(*parsed);
  }
}
