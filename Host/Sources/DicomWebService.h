#pragma once

#include "HostConfig.h"
#include "InstanceIngest.h"
#include "RemoteRegistry.h"
#include "RestTypes.h"
#include "Storage.h"

#include <json/value.h>

#include <string>

namespace KestrumHost
{
  /** The built-in DICOMweb service under its root: STOW-RS, QIDO-RS of studies, and the servers registry. */
  class DicomWebService
  {
  private:
    std::string root_;  // without final "/", "" for "/"
    Storage& storage_;
    InstanceIngest& ingest_;
    RemoteRegistry servers_;

    void Store(const RestRequest& request, RestAnswer& answer);
    void SearchStudies(const RestRequest& request, RestAnswer& answer);

  public:
    DicomWebService(const HostConfig& config, Storage& storage, InstanceIngest& ingest);

    /** True when the path belongs to the service (the answer is then filled). */
    bool Handle(const RestRequest& request, RestAnswer& answer);
  };
}
