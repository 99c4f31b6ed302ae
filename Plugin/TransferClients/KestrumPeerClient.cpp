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

    // Below this size compressing a file costs less than handing its upload to
    // another thread (measured on 16 KiB files: the overlap made batches slower).
    const size_t OVERLAPPED_UPLOAD_MIN_BYTES = 128 * 1024;
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


  KestrumPeerClient::~KestrumPeerClient()
  {
    // An upload still on its way uses this object.
    if (upload_.valid())
    {
      upload_.wait();
    }
  }


  void KestrumPeerClient::AddInstance(const std::string& sopInstanceUid, const std::string& dicomFile)
  {
    if (sent_)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_BadSequenceOfCalls);
    }

    // After the first failure the rest of the batch is not transmitted.
    if (!ok_)
    {
      return;
    }

    if (!compress_)
    {
      std::string body(dicomFile);
      ok_ = Upload(sopInstanceUid, body);
      return;
    }

    // Compression is the costly step: it runs while the previous file is still
    // on its way. This file leaves only once the previous one was confirmed,
    // so the batch still stops at its first failure.
    std::string compressed;
    Kestrum::GzipCompressor compressor;
    Kestrum::CompressBuffer(compressor, compressed, dicomFile);

    if (!FinishUpload())
    {
      ok_ = false;
      return;
    }

    if (dicomFile.size() < OVERLAPPED_UPLOAD_MIN_BYTES)
    {
      ok_ = Upload(sopInstanceUid, compressed);
      return;
    }

    upload_ = std::async(std::launch::async,
                         [this, uid = sopInstanceUid, body = std::move(compressed)]() mutable
                         {
                           return Upload(uid, body);
                         });
  }


  bool KestrumPeerClient::FinishUpload()
  {
    return upload_.valid() ? upload_.get() : true;
  }


  bool KestrumPeerClient::Upload(const std::string& sopInstanceUid, std::string& body)
  {
    const std::string instancesUrl = rootUrl_ + "/instances";

    HostHttpClient post;
    post.SetMethod(KestrumHttpMethod_Post);
    post.SetUrl(instancesUrl);
    post.SetHeader("Expect", "");
    CopyHeaders(post, headers_);

    post.SwapBody(body);
    if (compress_)
    {
      post.SetHeader("Content-Encoding", "gzip");   // after CopyHeaders: always this value
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
    if (ok_ && !FinishUpload())
    {
      ok_ = false;
    }
    return ok_;
  }
}
