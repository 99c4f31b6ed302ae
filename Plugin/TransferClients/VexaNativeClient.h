#pragma once

#include "ITransferClient.h"
#include "MultipartBody.h"

#include <json/value.h>

#include <map>
#include <string>

namespace QuelbyCloud
{
  /** Uploads a batch to the portal's own API as one multipart form. */
  class VexaNativeClient : public ITransferClient
  {
  private:
    bool sent_;
    std::string rootUrl_;
    std::map<std::string, std::string> headers_;
    MultipartBody body_;
    std::map<std::string, std::string> files_;   // file name -> SOP Instance UID

    void LogReportedFiles(const Json::Value& names, const char* prefix) const;

  public:
    VexaNativeClient(const std::string& rootUrl, const std::map<std::string, std::string>& headers);

    const std::string& GetRootUrl() const { return rootUrl_; }
    const std::map<std::string, std::string>& GetHeaders() const { return headers_; }
    const std::string& GetBoundary() const { return body_.GetBoundary(); }

    bool TestConnection() override;
    void AddInstance(const std::string& sopInstanceUid, const std::string& dicomFile) override;
    bool Send() override;
  };
}
