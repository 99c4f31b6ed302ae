#pragma once

#include "ITransferClient.h"
#include "MultipartBody.h"

#include <map>
#include <set>
#include <string>

namespace QuelbyCloud
{
  /** Stores a batch on a DICOMweb server with one STOW-RS request. */
  class DicomWebClient : public ITransferClient
  {
  private:
    bool sent_;
    std::string rootUrl_;
    std::map<std::string, std::string> headers_;
    MultipartBody body_;
    std::set<std::string> expected_;

  public:
    DicomWebClient(const std::string& rootUrl, const std::map<std::string, std::string>& headers);

    const std::string& GetRootUrl() const { return rootUrl_; }
    const std::map<std::string, std::string>& GetHeaders() const { return headers_; }
    const std::string& GetBoundary() const { return body_.GetBoundary(); }

    bool TestConnection() override;
    void AddInstance(const std::string& sopInstanceUid, const std::string& dicomFile) override;
    bool Send() override;
  };
}
