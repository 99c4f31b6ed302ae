#pragma once

#include "DicomParser.h"
#include "Storage.h"

#include <functional>
#include <string>
#include <string_view>

namespace KestrumHost
{
  struct IngestResult
  {
    bool stored = false;       // false: not DICOM, or no SOP Instance UID
    std::string reason;        // why it was refused
    StoreResult store;
    ParsedDicom dicom;
  };

  /**
   * The one way instances enter and leave the storage: parses, stores, and hands
   * every recorded change to the change sink (which queues it for the plug-ins).
   */
  class InstanceIngest
  {
  public:
    using ChangeSink = std::function<void(const ChangeRecord& change)>;

  private:
    Storage& storage_;
    ChangeSink sink_;

  public:
    InstanceIngest(Storage& storage, ChangeSink sink) :
      storage_(storage),
      sink_(std::move(sink))
    {
    }

    /** Throws HostError only for storage failures; bad input gives stored == false. */
    IngestResult Ingest(std::string_view bytes);

    /** False when the instance does not exist. */
    bool Delete(const std::string& instanceId);
  };
}
