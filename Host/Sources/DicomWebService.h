#pragma once

#include "DicomWebQuery.h"
#include "HostConfig.h"
#include "InstanceIngest.h"
#include "RemoteRegistry.h"
#include "RestTypes.h"
#include "Storage.h"

#include <json/value.h>

#include <string>
#include <vector>

namespace KestrumHost
{
  /**
   * The built-in DICOMweb service under its root: STOW-RS (also into one
   * study), QIDO-RS of studies, series and instances, WADO-RS of studies,
   * series and instances and of their metadata, and the servers registry.
   */
  class DicomWebService
  {
  private:
    std::string root_;  // without final "/", "" for "/"
    uint64_t largestAnswer_;
    Storage& storage_;
    InstanceIngest& ingest_;
    RemoteRegistry servers_;

    /** The study, series and instance UIDs that a path names (empty where it names none). */
    struct Target
    {
      std::string study;
      std::string series;
      std::string instance;
    };

    bool HandleStudies(const RestRequest& request, const std::vector<std::string>& segments, RestAnswer& answer);
    void Store(const RestRequest& request, const std::string& studyUid, RestAnswer& answer);
    void Search(const RestRequest& request, QueryLevel level, const Target& target, RestAnswer& answer);
    void Retrieve(const RestRequest& request, const Target& target, RestAnswer& answer);
    void RetrieveMetadata(const RestRequest& request, const Target& target, RestAnswer& answer);
    bool FindForRetrieve(const Target& target, std::vector<InstanceRecord>& records, RestAnswer& answer) const;

  public:
    DicomWebService(const HostConfig& config, Storage& storage, InstanceIngest& ingest);

    /** True when the path belongs to the service (the answer is then filled). */
    bool Handle(const RestRequest& request, RestAnswer& answer);
  };
}
