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
    bool stored = false;       // false: not DICOM, no SOP Instance UID, or of another study than required
    bool otherStudy = false;   // parsed, but refused for its study
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

    /**
     * Throws HostError only for storage failures; bad input gives stored ==
     * false. With a required study, an instance of another study is refused.
     */
    IngestResult Ingest(std::string_view bytes, const std::string& requiredStudyUid = "");

    /** False when the instance does not exist. */
    bool Delete(const std::string& instanceId);
  };
}
