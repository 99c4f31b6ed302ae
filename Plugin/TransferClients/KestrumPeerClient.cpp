#include "KestrumPeerClient.h"

#include <Compression/GzipCompressor.h>
#include <Logging.h>

#include <chrono>
#include <map>
#include <memory>
#include <system_error>

namespace QuelbyCloud
{
  namespace
  {
    const char* const BAD_PEER_ANSWER = "Bad format of the answer from the remote Kestrum peer";

    // On DICOM pixel data, libdeflate's level 4 takes 13 % less time than its
    // level 6 for output 0.7 % larger, within 1 % of zlib's level 6
    // (BENCHMARKS.md): the compression is what bounds the uploads.
    const uint8_t UPLOAD_COMPRESSION_LEVEL = 4;

    bool HasStringMember(const Json::Value& value, const char* member)
    {
      return value.isObject() && value.isMember(member) && value[member].isString();
    }

    /**
     * How long each peer takes to answer a read-back, averaged over its last
     * uploads: a client serves one batch, and the next batch's client starts
     * from what the earlier ones timed.
     */
    class RoundTrips
    {
    private:
      static const size_t MAX_PEERS = 64;   // a process sees a few; beyond that, all are timed again

      std::mutex mutex_;
      std::map<std::string, double> milliseconds_;

    public:
      static RoundTrips& Get()
      {
        static RoundTrips instance;
        return instance;
      }

      void Record(const std::string& rootUrl, double milliseconds)
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (milliseconds_.size() >= MAX_PEERS && milliseconds_.count(rootUrl) == 0)
        {
          milliseconds_.clear();
        }
        const auto [entry, added] = milliseconds_.emplace(rootUrl, milliseconds);
        if (!added)
        {
          entry->second += (milliseconds - entry->second) / 8;   // a late spike moves it little
        }
      }

      std::optional<double> Find(const std::string& rootUrl)
      {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = milliseconds_.find(rootUrl);
        return found == milliseconds_.end() ? std::nullopt : std::optional<double>(found->second);
      }
    };
  }


  std::optional<double> KestrumPeerClient::GetRoundTripMilliseconds(const std::string& rootUrl)
  {
    return RoundTrips::Get().Find(rootUrl);
  }


  size_t KestrumPeerClient::GetUploadsAtOnce() const
  {
    // Unknown until a read-back was timed: counted as long, as before any measure.
    const std::optional<double> roundTrip = GetRoundTripMilliseconds(GetRootUrl());
    const bool longRoundTrip = !roundTrip || *roundTrip >= LONG_ROUND_TRIP_MS;
    return (catchingUp_ || longRoundTrip) ? MAX_UPLOADS_IN_FLIGHT : 1;
  }


  KestrumPeerClient::KestrumPeerClient(const HostBridge& host, const std::string& rootUrl,
                                       const Headers& headers, bool compress) :
    RemoteServer(host, rootUrl, headers),
    compress_(compress)
  {
    workers_.reserve(MAX_UPLOADS_IN_FLIGHT);   // a thread that starts is always kept, and joined
  }


  KestrumPeerClient::~KestrumPeerClient()
  {
    // Uploads still on their way use this object: the threads finish every
    // file they were given before they end.
    {
      std::lock_guard<std::mutex> lock(jobsMutex_);
      closing_ = true;
    }
    jobsChanged_.notify_all();
    for (std::thread& worker : workers_)
    {
      worker.join();
    }
  }


  bool KestrumPeerClient::TestConnection()
  {
    HostHttpClient request = MakeRequest(KestrumHttpMethod_Get, "/system");
    const std::optional<Json::Value> answer = TryExecuteJson(request);
    return answer && answer->isObject() && answer->isMember("Version");
  }


  void KestrumPeerClient::Add(const std::string& sopInstanceUid, SharedFile dicomFile)
  {
    // At most that many on their way: the oldest is waited for first.
    const size_t uploadsAtOnce = GetUploadsAtOnce();
    while (ok_ && inFlight_.size() >= uploadsAtOnce)
    {
      Collect(inFlight_.front());
      inFlight_.pop_front();
    }

    // After the first failure the rest of the batch is not transmitted.
    if (!ok_)
    {
      return;
    }

    // The upload outlives the call: it keeps the caller's file, or takes the
    // one copy it needs of bytes lent for the call only.
    if (!dicomFile.owner)
    {
      auto copy = std::make_shared<const std::string>(dicomFile.bytes);
      dicomFile = { copy, *copy };
    }
    Job job{ sopInstanceUid, std::move(dicomFile), std::promise<Outcome>() };
    inFlight_.push_back({ sopInstanceUid, job.outcome.get_future() });

    // One more thread while fewer run than files are on their way.
    if (workers_.size() < inFlight_.size())
    {
      try
      {
        workers_.emplace_back(&KestrumPeerClient::Work, this);
      }
      catch (const std::system_error&)
      {
        if (workers_.empty())
        {
          Run(job);   // no thread to be had: this file goes the slow way
          return;
        }
      }
    }

    {
      std::lock_guard<std::mutex> lock(jobsMutex_);
      jobs_.push_back(std::move(job));
    }
    jobsChanged_.notify_one();
  }


  void KestrumPeerClient::Work()
  {
    for (;;)
    {
      Job job;
      {
        std::unique_lock<std::mutex> lock(jobsMutex_);
        jobsChanged_.wait(lock, [this] { return closing_ || !jobs_.empty(); });
        if (jobs_.empty())
        {
          return;
        }
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      Run(job);
    }
  }


  void KestrumPeerClient::Run(Job& job) const
  {
    // What fails in the upload, compression included, is the caller's to see when it collects it.
    try
    {
      job.outcome.set_value(Compress(job.sopInstanceUid, std::move(job.dicomFile)));
    }
    catch (...)
    {
      job.outcome.set_exception(std::current_exception());
    }
  }


  KestrumPeerClient::Outcome KestrumPeerClient::Compress(const std::string& sopInstanceUid,
                                                         SharedFile dicomFile) const
  {
    if (!compress_)
    {
      return Transmit(sopInstanceUid, dicomFile.bytes);
    }
    std::string compressed;
    Kestrum::GzipCompressor compressor;
    compressor.SetCompressionLevel(UPLOAD_COMPRESSION_LEVEL);
    Kestrum::CompressBuffer(compressor, compressed, dicomFile.bytes);
    dicomFile = SharedFile();   // freed before the upload: only the compressed bytes wait on the link
    return Transmit(sopInstanceUid, compressed);
  }


  KestrumPeerClient::Outcome KestrumPeerClient::Transmit(const std::string& sopInstanceUid,
                                                         std::string_view body) const
  {
    Outcome outcome;

    HostHttpClient post = MakeRequest(KestrumHttpMethod_Post, "/instances", { { "Expect", "" } });
    post.BorrowBody(body);
    if (compress_)
    {
      post.SetHeader("Content-Encoding", "gzip");   // after the configured headers: always this value
    }

    const std::optional<Json::Value> stored = TryExecuteJson(post, outcome.failure);
    if (!stored)
    {
      if (compress_)
      {
        LOG(ERROR) << "Cannot send compressed DICOM: Make sure that remote Kestrum is >= 1.6.0";
      }
      return outcome;
    }

    if (!HasStringMember(*stored, "ID"))
    {
      LOG(ERROR) << BAD_PEER_ANSWER;
      outcome.failure = { "unexpected answer from the destination", false };
      return outcome;
    }

    // The peer's answer to the upload is not proof enough: read the instance back.
    HostHttpClient get = MakeRequest(KestrumHttpMethod_Get, "/instances/" + (*stored)["ID"].asString());
    const auto asked = std::chrono::steady_clock::now();
    const std::optional<Json::Value> instance = TryExecuteJson(get, outcome.failure);
    if (!instance)
    {
      return outcome;
    }
    RoundTrips::Get().Record(GetRootUrl(), std::chrono::duration<double, std::milli>(
      std::chrono::steady_clock::now() - asked).count());

    if (!instance->isObject() ||
        !HasStringMember((*instance)["MainDicomTags"], "SOPInstanceUID"))
    {
      LOG(ERROR) << BAD_PEER_ANSWER;
      outcome.failure = { "unexpected answer from the destination", false };
      return outcome;
    }

    if ((*instance)["MainDicomTags"]["SOPInstanceUID"].asString() != sopInstanceUid)
    {
      LOG(ERROR) << "Kestrum protocol - DICOM file with SOP Instance UID was not properly received: "
                 << sopInstanceUid;
      outcome.failure = { "the destination stored another SOP Instance UID", true };
      return outcome;
    }

    outcome.confirmed = true;
    return outcome;
  }


  void KestrumPeerClient::Collect(Upload& upload)
  {
    const Outcome outcome = upload.outcome.get();
    if (outcome.confirmed)
    {
      report_.confirmed.insert(upload.sopInstanceUid);
      return;
    }

    ok_ = false;
    SetFailure(outcome.failure.cause, outcome.failure.permanent);
    FailAll({ upload.sopInstanceUid });
  }


  void KestrumPeerClient::CollectAll()
  {
    while (!inFlight_.empty())
    {
      Collect(inFlight_.front());
      inFlight_.pop_front();
    }
  }


  bool KestrumPeerClient::Deliver()
  {
    CollectAll();

    // The files after the first failure were never sent.
    if (!ok_)
    {
      report_.Fail(GetLastFailure().cause);
    }
    return ok_;
  }
}
