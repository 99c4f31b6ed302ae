#pragma once

#include "ITransferClient.h"

#include <future>
#include <map>
#include <string>

namespace QuelbyCloud
{
  /** Uploads each file at once to a peer's REST API and reads it back to confirm it. */
  class KestrumPeerClient : public ITransferClient
  {
  private:
    bool ok_;
    bool sent_;
    bool compress_;
    std::string rootUrl_;
    std::map<std::string, std::string> headers_;
    std::future<bool> upload_;   // the compressed upload still on its way, if any

    bool Upload(const std::string& sopInstanceUid, std::string& body);
    bool FinishUpload();

  public:
    KestrumPeerClient(const std::string& rootUrl, const std::map<std::string, std::string>& headers, bool compress);
    ~KestrumPeerClient() override;

    const std::string& GetRootUrl() const { return rootUrl_; }
    const std::map<std::string, std::string>& GetHeaders() const { return headers_; }
    bool IsCompress() const { return compress_; }

    bool TestConnection() override;
    void AddInstance(const std::string& sopInstanceUid, const std::string& dicomFile) override;
    bool Send() override;
  };
}
