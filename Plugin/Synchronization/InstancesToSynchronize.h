#pragma once

#include "../Destinations/ServerConfiguration.h"

#include <memory>
#include <stdint.h>
#include <string>
#include <vector>

namespace QuelbyCloud
{
  /**
   * One batch: the DICOM files of some instances, read from the host and
   * sent to the active server in one transmission, then stamped with the
   * synchronization UUID (or deleted) in the host.
   */
  class InstancesToSynchronize
  {
  private:
    ServerConfiguration server_;
    bool automatedDeletion_;
    std::string synchronizationUuid_;

    // Element i of the three lists describes the same instance.
    std::vector<std::string> instanceIds_;
    std::vector<std::string> files_;
    std::vector<std::string> sopInstanceUids_;
    uint64_t totalBytes_;

    InstancesToSynchronize(const ServerConfiguration& server,
                           bool automatedDeletion,
                           const std::string& synchronizationUuid);

    bool MustKeepInstances() const;

    void MarkAsSynchronized(bool deleteInstances) const;

  public:
    /** A batch is closed once its files exceed this many bytes. */
    static const uint64_t MAX_BATCH_BYTES = 5 * 1024 * 1024;

    InstancesToSynchronize(const InstancesToSynchronize&) = delete;
    InstancesToSynchronize& operator=(const InstancesToSynchronize&) = delete;

    /** A batch for the active server, or null when no server is active. */
    static std::unique_ptr<InstancesToSynchronize> CreateBatch();

    /** Reads one instance from the host into the batch, or skips it; code 15 on a bad description. */
    void AddInstance(const std::string& instanceId);

    /** Sends the batch; true when the destination received every instance. */
    bool Synchronize();

    /** Frees the files and empties the batch. */
    void Clear();

    size_t GetSize() const { return instanceIds_.size(); }
    uint64_t GetTotalBytes() const { return totalBytes_; }
    const std::string& GetSynchronizationUuid() const { return synchronizationUuid_; }
  };
}
