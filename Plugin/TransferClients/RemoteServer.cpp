#include "RemoteServer.h"

#include <KestrumException.h>
#include <Toolbox.h>

namespace QuelbyCloud
{
  RemoteServer::RemoteServer(const HostBridge& host, const std::string& rootUrl, const Headers& headers) :
    host_(host),
    rootUrl_(Kestrum::Toolbox::StripTrailingSlashes(rootUrl)),
    headers_(headers)
  {
  }


  HostHttpClient RemoteServer::MakeRequest(KestrumHttpMethod method, const std::string& path,
                                           const Headers& ownHeaders) const
  {
    HostHttpClient request(host_);
    request.SetMethod(method);
    request.SetUrl(rootUrl_ + path);
    request.SetHeaders(ownHeaders);
    request.SetHeaders(headers_);
    return request;
  }


  std::optional<Json::Value> RemoteServer::TryExecuteJson(HostHttpClient& request)
  {
    try
    {
      HostHttpClient::HttpHeaders answerHeaders;
      return request.ExecuteJson(answerHeaders);
    }
    catch (const Kestrum::KestrumException&)
    {
      // The host access layer has already logged what deserves a line.
      return std::nullopt;
    }
  }


  void RemoteServer::AddInstance(const std::string& sopInstanceUid, const std::string& dicomFile)
  {
    if (sent_)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_BadSequenceOfCalls);
    }
    Add(sopInstanceUid, dicomFile);
  }


  bool RemoteServer::Send()
  {
    if (sent_)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_BadSequenceOfCalls);
    }
    sent_ = true;
    return Deliver();
  }
}
