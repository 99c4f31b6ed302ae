#pragma once

#include "MultipartBody.h"
#include "RemoteServer.h"

#include <map>
#include <set>
#include <string>

namespace QuelbyCloud
{
  /** Uploads a batch to the portal's own API as one multipart form. */
  class VexaNativeClient : public RemoteServer
  {
  private:
    MultipartBody body_;
    std::map<std::string, std::string> files_;   // file name -> SOP Instance UID

    void LogReportedFiles(const Json::Value& names, const char* prefix) const;
    std::set<std::string> AllUids() const;
    std::set<std::string> ReportedUids(const Json::Value& names) const;

  protected:
    void Add(const std::string& sopInstanceUid, SharedFile dicomFile) override;
    void ReserveBody(size_t instanceCount, uint64_t totalBytes) override { body_.Reserve(instanceCount, totalBytes); }
    bool Deliver() override;

  public:
    VexaNativeClient(const HostBridge& host, const std::string& rootUrl, const Headers& headers);

    const std::string& GetBoundary() const { return body_.GetBoundary(); }

    bool TestConnection() override;
  };
}
