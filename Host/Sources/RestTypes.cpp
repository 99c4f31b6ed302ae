#include "RestTypes.h"

#include <algorithm>

#include <json/writer.h>

namespace KestrumHost
{
  bool RestRequest::HasQuery(const std::string& key) const
  {
    return std::any_of(query.begin(), query.end(), [&key](const auto& argument) { return argument.first == key; });
  }

  std::string RestRequest::GetQuery(const std::string& key, const std::string& fallback) const
  {
    for (const auto& argument : query)
    {
      if (argument.first == key)
      {
        return argument.second;
      }
    }
    return fallback;
  }

  std::string RestRequest::GetHeader(const std::string& lowerCaseName) const
  {
    for (const auto& header : headers)
    {
      if (header.first == lowerCaseName)
      {
        return header.second;
      }
    }
    return std::string();
  }

  void RestAnswer::SetJson(const Json::Value& value)
  {
    // Built once, as it costs about what writing a small answer does.
    static const Json::StreamWriterBuilder builder = []
    {
      Json::StreamWriterBuilder settings;
      settings["indentation"] = "   ";
      return settings;
    }();
    SetBody(Json::writeString(builder, value) + "\n", "application/json");
  }

  void RestAnswer::SetBody(const std::string& content, const std::string& mimeType)
  {
    status = 200;
    errorCode = 0;
    body = content;
    block = HostBlock();
    contentType = mimeType;
    answered = true;
  }

  void RestAnswer::SetBody(std::string&& content, const std::string& mimeType)
  {
    static const std::string empty;
    SetBody(empty, mimeType);
    body = std::move(content);
  }

  void RestAnswer::SetBody(HostBlock&& content, const std::string& mimeType)
  {
    static const std::string empty;
    SetBody(empty, mimeType);
    block = std::move(content);
  }

  void RestAnswer::SetError(Kestrum::ErrorCode code, const std::string& details)
  {
    SetError(code, Kestrum::ErrorCodeToHttpStatus(code), details);
  }

  void RestAnswer::SetError(Kestrum::ErrorCode code, int httpStatus, const std::string& details)
  {
    Json::Value error(Json::objectValue);
    error["HttpStatus"] = httpStatus;
    error["KestrumStatus"] = static_cast<int>(code);
    error["Message"] = Kestrum::DescribeErrorCode(code);
    if (!details.empty())
    {
      error["Details"] = details;
    }
    SetJson(error);
    status = httpStatus;
    errorCode = code;
  }

  const char* MethodName(KestrumHttpMethod method)
  {
    switch (method)
    {
      case KestrumHttpMethod_Get: return "GET";
      case KestrumHttpMethod_Post: return "POST";
      case KestrumHttpMethod_Put: return "PUT";
      case KestrumHttpMethod_Delete: return "DELETE";
      default: return "UNKNOWN";
    }
  }
}
