#pragma once

#include <stdint.h>

namespace QuelbyCloud
{
  // Process-wide counters of the automated sending, zero at load, never
  // reset. Written by the synchronization thread, read by the status route
  // without a lock: every read and update is indivisible.
  namespace SynchronizationStatistics
  {
    /** Instances of the batches that were delivered. */
    uint64_t GetSuccessCount();

    /** Instances of the batches that failed or were lost to an exception. */
    uint64_t GetErrorCount();

    /** Bytes of every batch, counted before it is sent, whatever the outcome. */
    uint64_t GetTransferredBytes();

    void AddSuccess(uint64_t instances);
    void AddErrors(uint64_t instances);
    void AddTransferredBytes(uint64_t bytes);
  }
}
