#pragma once

#include <atomic>
#include <stdint.h>

namespace QuelbyCloud
{
  /**
   * Counters of the automated sending, zero when the plug-in starts, never
   * reset or stored. Written by the synchronization thread, read by the
   * status route without a lock: every read and update is indivisible.
   */
  class SynchronizationStatistics
  {
  private:
    std::atomic<uint64_t> successCount_{0};
    std::atomic<uint64_t> errorCount_{0};
    std::atomic<uint64_t> transferredBytes_{0};

  public:
    /** Instances of the batches that were delivered. */
    uint64_t GetSuccessCount() const { return successCount_; }

    /** Instances of the batches that failed or were lost to an exception. */
    uint64_t GetErrorCount() const { return errorCount_; }

    /** Bytes of every batch, counted before it is sent, whatever the outcome. */
    uint64_t GetTransferredBytes() const { return transferredBytes_; }

    void AddSuccess(uint64_t instances) { successCount_ += instances; }
    void AddErrors(uint64_t instances) { errorCount_ += instances; }
    void AddTransferredBytes(uint64_t bytes) { transferredBytes_ += bytes; }
  };
}
