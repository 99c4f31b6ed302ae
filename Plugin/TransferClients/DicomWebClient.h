#pragma once

#include "MultipartBody.h"
#include "RemoteServer.h"

#include <set>
#include <string>

namespace QuelbyCloud
{
  /** Stores a batch on a DICOMweb server with one STOW-RS request. */
  class DicomWebClient : public RemoteServer
  {
  private:
    MultipartBody body_;
    std::set<std::string> expected_;   // SOP Instance UIDs added so far

    // Instances that the answer lists in its failed SOP sequence.
    void ReadFailedInstances(const Json::Value& answer);

  protected:
    void Add(const std::string& sopInstanceUid, SharedFile dicomFile) override;
    void ReserveBody(size_t instanceCount, uint64_t totalBytes) override { body_.Reserve(instanceCount, totalBytes); }
    bool Deliver() override;

  public:
    /** The root is the DICOMweb service's, "/studies" is appended to it. */
    DicomWebClient(const HostBridge& host, const std::string& rootUrl, const Headers& headers);

    const std::string& GetBoundary() const { return body_.GetBoundary(); }

    bool TestConnection() override;
  };
}
