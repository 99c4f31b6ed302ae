#include "RequestHelpers.h"

#include <KestrumException.h>

namespace QuelbyCloud
{
  void CopyHeaders(HostHttpClient& request, const std::map<std::string, std::string>& headers)
  {
    for (std::map<std::string, std::string>::const_iterator it = headers.begin(); it != headers.end(); ++it)
    {
      request.SetHeader(it->first, it->second);
    }
  }


  bool TryExecuteJson(Json::Value& answer, HostHttpClient& request)
  {
    try
    {
      HostHttpClient::HttpHeaders answerHeaders;
      request.Execute(answerHeaders, answer);
      return true;
    }
    catch (const Kestrum::KestrumException&)
    {
      // The host access layer has already logged what deserves a line.
      return false;
    }
  }
}
