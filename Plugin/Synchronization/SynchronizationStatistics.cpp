#include "SynchronizationStatistics.h"

#include <atomic>

namespace QuelbyCloud
{
  namespace SynchronizationStatistics
  {
    static std::atomic<uint64_t> successCount_(0);
    static std::atomic<uint64_t> errorCount_(0);
    static std::atomic<uint64_t> transferredBytes_(0);

    uint64_t GetSuccessCount()
    {
      return successCount_.load();
    }

    uint64_t GetErrorCount()
    {
      return errorCount_.load();
    }

    uint64_t GetTransferredBytes()
    {
      return transferredBytes_.load();
    }

    void AddSuccess(uint64_t instances)
    {
      successCount_ += instances;
    }

    void AddErrors(uint64_t instances)
    {
      errorCount_ += instances;
    }

    void AddTransferredBytes(uint64_t bytes)
    {
      transferredBytes_ += bytes;
    }
  }
}
