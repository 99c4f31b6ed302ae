#pragma once

#include "RemoteServer.h"

#include <future>
#include <string>

namespace QuelbyCloud
{
  /** Uploads each file at once to a peer's REST API and reads it back to confirm it. */
  class KestrumPeerClient : public RemoteServer
  {
  private:
    bool ok_ = true;             // false from the first failed upload on
    bool compress_;
    std::future<bool> upload_;   // the compressed upload still on its way, if any

    bool Upload(const std::string& sopInstanceUid, std::string& body);

    // The upload of this instance failed: the last failure says why.
    bool Reject(const std::string& sopInstanceUid);
    bool FinishUpload();

  protected:
    void Add(const std::string& sopInstanceUid, const std::string& dicomFile) override;
    bool Deliver() override;

  public:
    KestrumPeerClient(const HostBridge& host, const std::string& rootUrl, const Headers& headers, bool compress);
    ~KestrumPeerClient() override;

    bool IsCompress() const { return compress_; }

    bool TestConnection() override;
  };
}
