#include "RemoteServer.h"

#include "../HostBridge/HostConfiguration.h"

#include <KestrumException.h>
#include <Toolbox.h>

namespace QuelbyCloud
{
  namespace
  {
    std::string HostOf(const std::string& url)
    {
      const std::optional<Kestrum::Toolbox::UrlAuthority> authority = Kestrum::Toolbox::ParseUrlAuthority(url);
      return authority ? authority->host : url;
    }

    // The host's own time-out for outgoing requests, which the plug-in leaves to it.
    unsigned int ReadHttpTimeout(const HostBridge& host)
    {
      try
      {
        const Json::Value timeout = HostConfiguration(host).GetJson()["HttpTimeout"];   // a copy: the view is a temporary
        if (timeout.isUInt() && timeout.asUInt() > 0)
        {
          return timeout.asUInt();
        }
      }
      catch (const Kestrum::KestrumException&)
      {
      }
      return 60;
    }

    // The destination said no in HTTP: only some statuses mean that sending the same again cannot help.
    RequestFailure DescribeHttpStatus(uint16_t status)
    {
      RequestFailure failure;
      failure.cause = "HTTP " + std::to_string(status) + " from the destination";
      switch (status)
      {
        case 401:
        case 403:
          failure.cause += ": check the user name and password";
          break;
        case 408:
        case 429:
          break;
        default:
          failure.permanent = (status >= 400 && status < 500);
          break;
      }
      return failure;
    }
  }


  RequestFailure DescribeRequestFailure(const HostBridge& host, const std::string& url,
                                        Kestrum::ErrorCode code, uint16_t status)
  {
    if (status >= 400)
    {
      return DescribeHttpStatus(status);
    }

    switch (code)
    {
      case Kestrum::ErrorCode_Timeout:
        return { "no answer within " + std::to_string(ReadHttpTimeout(host)) + " s", false };
      case Kestrum::ErrorCode_SslInitialization:
        return { "cannot connect to " + HostOf(url) + ": secure connection failed, check the certificates", false };
      case Kestrum::ErrorCode_UnknownResource:
        return { "cannot connect to " + HostOf(url) + ": unknown host", false };
      case Kestrum::ErrorCode_BadFileFormat:
        return { "the destination's answer is not JSON", false };
      default:
        return { "cannot connect to " + HostOf(url) + ": connection refused or lost", false };
    }
  }


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
    return TryExecuteJson(request, lastFailure_);
  }


  std::optional<Json::Value> RemoteServer::TryExecuteJson(HostHttpClient& request, RequestFailure& failure) const
  {
    try
    {
      HostHttpClient::HttpHeaders answerHeaders;
      return request.ExecuteJson(answerHeaders);
    }
    catch (const Kestrum::KestrumException& e)
    {
      // The host access layer has already logged what deserves a line.
      failure = DescribeRequestFailure(host_, request.GetUrl(), e.GetErrorCode(), request.GetHttpStatus());
      return std::nullopt;
    }
  }


  void RemoteServer::FailAll(const std::set<std::string>& uids, const std::string& cause)
  {
    if (!cause.empty())
    {
      SetFailure(cause);
    }

    if (lastFailure_.permanent)
    {
      for (const std::string& uid : uids)
      {
        report_.refused[uid] = lastFailure_.cause;
      }
    }
    else
    {
      report_.Fail(lastFailure_.cause);
    }
  }


  void RemoteServer::SetFailure(const std::string& cause, bool permanent)
  {
    lastFailure_ = { cause, permanent };
  }


  void RemoteServer::AddInstance(const std::string& sopInstanceUid, std::string_view dicomFile)
  {
    AddInstance(sopInstanceUid, SharedFile{ nullptr, dicomFile });
  }


  void RemoteServer::AddInstance(const std::string& sopInstanceUid, SharedFile dicomFile)
  {
    if (sent_)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_BadSequenceOfCalls);
    }
    Add(sopInstanceUid, std::move(dicomFile));
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
