#include "KestrumPeerClient.h"

#include "RequestHelpers.h"

#include <Compression/GzipCompressor.h>
#include <KestrumException.h>
#include <Logging.h>
#include <Toolbox.h>

namespace QuelbyCloud
{
  namespace
  {
    const char* const BAD_PEER_ANSWER = "Bad format of the answer from the remote Kestrum peer";
  }


  KestrumPeerClient::KestrumPeerClient(const std::string& rootUrl,
                                       const std::map<std::string, std::string>& headers,
                                       bool compress) :
    ok_(true),
    sent_(false),
    compress_(compress),
    rootUrl_(Kestrum::Toolbox::StripTrailingSlashes(rootUrl)),
    headers_(headers)
  {
  }


  bool KestrumPeerClient::TestConnection()
  {
    HostHttpClient request;
    request.SetMethod(KestrumHttpMethod_Get);
    request.SetUrl(rootUrl_ + "/system");
    CopyHeaders(request, headers_);

    Json::Value answer;
    return (TryExecuteJson(answer, request) &&
            answer.isObject() &&
            answer.isMember("Version"));
  }


  void KestrumPeerClient::AddInstance(const std::string& sopInstanceUid, const std::string& dicomFile)
  {
    if (sent_)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_BadSequenceOfCalls);
    }

    // After the first failure the rest of the batch is not transmitted.
    if (ok_ &&
        !Upload(sopInstanceUid, dicomFile))
    {
      ok_ = false;
    }
  }


  bool KestrumPeerClient::Upload(const std::string& sopInstanceUid, const std::string& dicomFile)
  {
    const std::string instancesUrl = rootUrl_ + "/instances";

    HostHttpClient post;
    post.SetMethod(KestrumHttpMethod_Post);
    post.SetUrl(instancesUrl);
    post.SetHeader("Expect", "");
    CopyHeaders(post, headers_);

    if (compress_)
    {
      std::string compressed;
      Kestrum::GzipCompressor compressor;
      Kestrum::CompressBuffer(compressor, compressed, dicomFile);
      post.SwapBody(compressed);
      post.SetHeader("Content-Encoding", "gzip");   // after CopyHeaders: always this value
    }
    else
    {
      post.SetBody(dicomFile);
    }

    Json::Value stored;
    if (!TryExecuteJson(stored, post))
    {
      if (compress_)
      {
        LOG(ERROR) << "Cannot send compressed DICOM: Make sure that remote Kestrum is >= 1.6.0";
      }
      return false;
    }

    if (!stored.isObject() ||
        !stored.isMember("ID") ||
        !stored["ID"].isString())
    {
      LOG(ERROR) << BAD_PEER_ANSWER;
      return false;
    }

    HostHttpClient get;
    get.SetMethod(KestrumHttpMethod_Get);
    get.SetUrl(instancesUrl + "/" + stored["ID"].asString());
    CopyHeaders(get, headers_);

    Json::Value instance;
    if (!TryExecuteJson(instance, get))
    {
      return false;
    }

    if (!instance.isObject() ||
        !instance.isMember("MainDicomTags") ||
        !instance["MainDicomTags"].isObject() ||
        !instance["MainDicomTags"].isMember("SOPInstanceUID") ||
        !instance["MainDicomTags"]["SOPInstanceUID"].isString())
    {
      LOG(ERROR) << BAD_PEER_ANSWER;
      return false;
    }

    if (instance["MainDicomTags"]["SOPInstanceUID"].asString() != sopInstanceUid)
    {
      LOG(ERROR) << "Kestrum protocol - DICOM file with SOP Instance UID was not properly received: "
                 << sopInstanceUid;
      return false;
    }

    return true;
  }


  bool KestrumPeerClient::Send()
  {
    if (sent_)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_BadSequenceOfCalls);
    }

    sent_ = true;
    return ok_;
  }
}
