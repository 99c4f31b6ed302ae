#include "KestrumPeerClient.h"

#include <Compression/GzipCompressor.h>
#include <Logging.h>

namespace QuelbyCloud
{
  namespace
  {
    const char* const BAD_PEER_ANSWER = "Bad format of the answer from the remote Kestrum peer";

    // Below this size compressing a file costs less than handing its upload to
    // another thread (measured on 16 KiB files: the overlap made batches slower).
    const size_t OVERLAPPED_UPLOAD_MIN_BYTES = 128 * 1024;

    bool HasStringMember(const Json::Value& value, const char* member)
    {
      return value.isObject() && value.isMember(member) && value[member].isString();
    }
  }


  KestrumPeerClient::KestrumPeerClient(const HostBridge& host, const std::string& rootUrl,
                                       const Headers& headers, bool compress) :
    RemoteServer(host, rootUrl, headers),
    compress_(compress)
  {
  }


  KestrumPeerClient::~KestrumPeerClient()
  {
    // An upload still on its way uses this object.
    if (upload_.valid())
    {
      upload_.wait();
    }
  }


  bool KestrumPeerClient::TestConnection()
  {
    HostHttpClient request = MakeRequest(KestrumHttpMethod_Get, "/system");
    const std::optional<Json::Value> answer = TryExecuteJson(request);
    return answer && answer->isObject() && answer->isMember("Version");
  }


  void KestrumPeerClient::Add(const std::string& sopInstanceUid, const std::string& dicomFile)
  {
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
    HostHttpClient post = MakeRequest(KestrumHttpMethod_Post, "/instances", { { "Expect", "" } });
    post.SwapBody(body);
    if (compress_)
    {
      post.SetHeader("Content-Encoding", "gzip");   // after the configured headers: always this value
    }

    const std::optional<Json::Value> stored = TryExecuteJson(post);
    if (!stored)
    {
      if (compress_)
      {
        LOG(ERROR) << "Cannot send compressed DICOM: Make sure that remote Kestrum is >= 1.6.0";
      }
      return Reject(sopInstanceUid);
    }

    if (!HasStringMember(*stored, "ID"))
    {
      LOG(ERROR) << BAD_PEER_ANSWER;
      SetFailure("unexpected answer from the destination");
      return Reject(sopInstanceUid);
    }

    // The peer's answer to the upload is not proof enough: read the instance back.
    HostHttpClient get = MakeRequest(KestrumHttpMethod_Get, "/instances/" + (*stored)["ID"].asString());
    const std::optional<Json::Value> instance = TryExecuteJson(get);
    if (!instance)
    {
      return Reject(sopInstanceUid);
    }

    if (!instance->isObject() ||
        !HasStringMember((*instance)["MainDicomTags"], "SOPInstanceUID"))
    {
      LOG(ERROR) << BAD_PEER_ANSWER;
      SetFailure("unexpected answer from the destination");
      return Reject(sopInstanceUid);
    }

    if ((*instance)["MainDicomTags"]["SOPInstanceUID"].asString() != sopInstanceUid)
    {
      LOG(ERROR) << "Kestrum protocol - DICOM file with SOP Instance UID was not properly received: "
                 << sopInstanceUid;
      SetFailure("the destination stored another SOP Instance UID", true);
      return Reject(sopInstanceUid);
    }

    report_.confirmed.insert(sopInstanceUid);
    return true;
  }


  bool KestrumPeerClient::Reject(const std::string& sopInstanceUid)
  {
    FailAll({ sopInstanceUid });
    return false;
  }


  bool KestrumPeerClient::Deliver()
  {
    if (ok_ && !FinishUpload())
    {
      ok_ = false;
    }

    // The files after the first failure were never sent.
    if (!ok_)
    {
      report_.Fail(GetLastFailure().cause);
    }
    return ok_;
  }
}
