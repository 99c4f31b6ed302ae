#pragma once

#include "DeliveryLedger.h"
#include "PluginState.h"

#include "../Destinations/ServerConfiguration.h"
#include "../HostBridge/HostBridge.h"
#include "../HostBridge/HostBuffer.h"

#include <memory>
#include <stdint.h>
#include <string>
#include <vector>

namespace QuelbyCloud
{
  /**
   * One batch: the DICOM files of some instances, read from the host and
   * sent to the active server in one transmission, then stamped with the
   * synchronization UUID (or deleted) in the host. Used by one thread.
   */
  class InstancesToSynchronize
  {
  private:
    struct Instance
    {
      std::string id;              // the host's identifier
      std::string sopInstanceUid;
      std::unique_ptr<HostBuffer> file;   // the host's block, handed to the client (which may keep it)
    };

    const HostBridge& host_;
    ServerConfiguration server_;
    bool automatedDeletion_;
    std::string synchronizationUuid_;
    std::vector<Instance> instances_;
    uint64_t totalBytes_ = 0;
    bool catchingUp_ = true;

    std::vector<DeliveryLedger::Attempted> attempted_;   // what the last Synchronize sent
    DeliveryReport report_;                               // and what came of it

    bool MustKeepInstances() const;
    void MarkAsSynchronized(bool deleteInstances) const;

    // Why the destination did not confirm everything, in plain words, beside the line of the failure.
    void LogCauses(size_t count) const;

  public:
    /** A batch is closed once its files exceed this many bytes. */
    static constexpr uint64_t MAX_BATCH_BYTES = 5 * 1024 * 1024;

    /** Copies of the server, the deletion option and the UUID: later changes of the state do not affect it. */
    InstancesToSynchronize(const HostBridge& host,
                           const ServerConfiguration& server,
                           bool automatedDeletion,
                           const std::string& synchronizationUuid);

    InstancesToSynchronize(const InstancesToSynchronize&) = delete;
    InstancesToSynchronize& operator=(const InstancesToSynchronize&) = delete;

    /** A batch for the active server, or null when no server is active. */
    static std::unique_ptr<InstancesToSynchronize> CreateBatch(const HostBridge& host, const PluginState& state);

    /**
     * Reads one instance from the host into the batch; false when it is
     * skipped (already in the batch, gone, already sent in this generation,
     * file unreadable);
     * BadFileFormat on a bad description.
     */
    bool AddInstance(const std::string& instanceId);

    /**
     * Sends the batch, then stamps (or deletes) every instance that the
     * destination confirmed, even when others were not; true when it
     * confirmed them all.
     */
    bool Synchronize();

    /** Whether more instances wait behind this batch than it holds (assumed until told): see ITransferClient::SetCatchingUp. */
    void SetCatchingUp(bool catchingUp) { catchingUp_ = catchingUp; }

    /** The instances that the last Synchronize sent (known before the transmission, kept after it). */
    const std::vector<DeliveryLedger::Attempted>& GetAttempted() const { return attempted_; }

    /** What the destination confirmed and refused in the last Synchronize. */
    const DeliveryReport& GetReport() const { return report_; }

    /** Frees the files and empties the batch. */
    void Clear();

    size_t GetSize() const { return instances_.size(); }
    uint64_t GetTotalBytes() const { return totalBytes_; }
    const std::string& GetSynchronizationUuid() const { return synchronizationUuid_; }
  };
}
