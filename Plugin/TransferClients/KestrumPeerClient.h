#pragma once

#include "RemoteServer.h"

#include <deque>
#include <future>
#include <string>

namespace QuelbyCloud
{
  /**
   * Uploads each file to a peer's REST API and reads it back to confirm it.
   * Several files are on their way at once, each compressed on a thread of
   * its own: a peer is reached by two requests per file, and waiting for each
   * in turn leaves both the link and the cores idle.
   */
  class KestrumPeerClient : public RemoteServer
  {
  public:
    /** Files compressed or uploaded at once. */
    static constexpr size_t MAX_UPLOADS_IN_FLIGHT = 4;

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

    bool ok_ = true;             // false from the first failed upload on
    bool compress_;
    std::deque<Upload> inFlight_;

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

    bool TestConnection() override;
  };
}
