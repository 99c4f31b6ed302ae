#pragma once

#include "RemoteServer.h"

#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace QuelbyCloud
{
  /**
   * Uploads each file to a peer's REST API and reads it back to confirm it.
   * Several files can be on their way at once, compressed and sent by a few
   * threads that the client keeps until it is destroyed: a peer is reached by
   * two requests per file, and over a long round trip, waiting for each in
   * turn leaves the link idle. Where the round trip is short, the files go
   * one at a time unless the batches are falling behind: overlapping them
   * there gains little and takes the CPUs from the host receiving the next
   * files (BENCHMARKS.md).
   */
  class KestrumPeerClient : public RemoteServer
  {
  public:
    /** Files compressed or uploaded at once, at most. */
    static constexpr size_t MAX_UPLOADS_IN_FLIGHT = 4;

    /**
     * A peer whose read-backs take at least this long, on average, is worth
     * several uploads at once even when the batches keep up: on a local
     * network a read-back takes well under a millisecond.
     */
    static constexpr double LONG_ROUND_TRIP_MS = 2.0;

  private:
    struct Outcome
    {
      bool confirmed = false;
      RequestFailure failure;
    };

    struct Upload
    {
      std::string sopInstanceUid;
      std::future<Outcome> outcome;
    };

    struct Job
    {
      std::string sopInstanceUid;
      SharedFile dicomFile;
      std::promise<Outcome> outcome;
    };

    bool ok_ = true;             // false from the first failed upload on
    bool compress_;
    bool catchingUp_ = true;
    std::deque<Upload> inFlight_;

    // The uploads' threads take the files in the order given, at most
    // MAX_UPLOADS_IN_FLIGHT of them: starting and ending a thread per file
    // took about a tenth of the uploads' CPU time.
    std::mutex jobsMutex_;
    std::condition_variable jobsChanged_;
    std::deque<Job> jobs_;
    bool closing_ = false;
    std::vector<std::thread> workers_;

    size_t GetUploadsAtOnce() const;
    void Work();
    void Run(Job& job) const;
    Outcome Compress(const std::string& sopInstanceUid, SharedFile dicomFile) const;
    Outcome Transmit(const std::string& sopInstanceUid, std::string_view body) const;
    void Collect(Upload& upload);
    void CollectAll();

  protected:
    void Add(const std::string& sopInstanceUid, SharedFile dicomFile) override;
    bool Deliver() override;

  public:
    KestrumPeerClient(const HostBridge& host, const std::string& rootUrl, const Headers& headers, bool compress);
    ~KestrumPeerClient() override;

    bool IsCompress() const { return compress_; }

    void SetCatchingUp(bool catchingUp) override { catchingUp_ = catchingUp; }

    /** The average time of this peer's read-backs so far in this process, if any was timed. */
    static std::optional<double> GetRoundTripMilliseconds(const std::string& rootUrl);

    bool TestConnection() override;
  };
}
