#include "SynchronizationThreads.h"

#include "InstancesToSynchronize.h"

#include "../HostBridge/HostRestApi.h"

#include <KestrumException.h>
#include <Logging.h>

#include <chrono>
#include <stdexcept>

namespace QuelbyCloud
{
  namespace
  {
    const unsigned int CHANGES_PAGE_SIZE = 100;

    // Bounds the load that a scan puts on the host.
    const std::chrono::milliseconds PAUSE_BETWEEN_PAGES(100);

    const char* const THREAD_EXCEPTION = "Exception encountered in synchronization threads: ";
    const char* const THREAD_NATIVE_EXCEPTION = "Native exception encountered in synchronization threads";
  }


  SynchronizationThreads::SynchronizationThreads(const HostBridge& host,
                                                 PluginState& state,
                                                 PendingQueue& pending,
                                                 SynchronizationStatistics& statistics) :
    host_(host),
    state_(state),
    pending_(pending),
    statistics_(statistics)
  {
  }


  SynchronizationThreads::~SynchronizationThreads()
  {
    StopThreads();
  }


  void SynchronizationThreads::StopThread(ControlledThread& thread)
  {
    // A thread whose flag is clear is not waited for; an empty handle (creation refused) is never joined.
    if (thread.running)
    {
      thread.running = false;
      if (thread.handle.joinable())
      {
        thread.handle.join();
      }
    }
  }


  void SynchronizationThreads::StartThread(ControlledThread& thread, void (SynchronizationThreads::*body)())
  {
    StopThread(thread);

    // A thread that ended by itself keeps its flag set, but replacing a
    // joinable handle would end the process: join it first.
    if (thread.handle.joinable())
    {
      thread.handle.join();
    }

    // When the platform refuses, std::system_error leaves with the flag set
    // and the handle empty: the next start or stop clears the flag.
    thread.running = true;
    thread.handle = std::thread(body, this);
  }


  void SynchronizationThreads::SynchronizePass(size_t& instanceCount)
  {
    instanceCount = 0;

    std::optional<PendingInstance> instance = pending_.Pop();
    if (!instance)
    {
      return;
    }

    // Live notifications are dropped while routing is off; replayed ones are
    // always sent. The option holds for the whole pass.
    const bool automatedRouting = state_.IsAutomatedRouting();
    if (!automatedRouting && !instance->IsReplay())
    {
      return;
    }

    std::unique_ptr<InstancesToSynchronize> batch = InstancesToSynchronize::CreateBatch(host_, state_);
    if (batch == nullptr)
    {
      return;   // no active server: dropped
    }

    // Fill until the files exceed the limit or the queue stays quiet.
    for (;;)
    {
      batch->AddInstance(instance->GetInstanceId());

      if (batch->GetTotalBytes() > InstancesToSynchronize::MAX_BATCH_BYTES ||
          !(instance = pending_.Pop()) ||
          (!automatedRouting && !instance->IsReplay()))
      {
        break;
      }
    }

    instanceCount = batch->GetSize();
    statistics_.AddTransferredBytes(batch->GetTotalBytes());

    if (batch->Synchronize())
    {
      statistics_.AddSuccess(instanceCount);
    }
    else
    {
      statistics_.AddErrors(instanceCount);
    }
  }


  void SynchronizationThreads::SynchronizationThread()
  {
    // Survives every error: at most the current batch is lost, and counted.
    while (synchronizationThread_.running)
    {
      size_t instanceCount = 0;
      try
      {
        SynchronizePass(instanceCount);
      }
      catch (const Kestrum::KestrumException& e)
      {
        LOG(ERROR) << THREAD_EXCEPTION << e.GetDescription();
        statistics_.AddErrors(instanceCount);
      }
      catch (...)
      {
        LOG(ERROR) << THREAD_NATIVE_EXCEPTION;
        statistics_.AddErrors(instanceCount);
      }
    }
  }


  bool ScanChangesPage(const HostBridge& host, PendingQueue& pending, uint64_t& cursor)
  {
    const std::optional<Json::Value> page = HostRestGet(host, "/changes?limit=" + std::to_string(CHANGES_PAGE_SIZE) +
                                                        "&since=" + std::to_string(cursor), false);
    if (!page)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_InternalError, "Cannot get changes", true);
    }

    if (!page->isObject() ||
        !page->isMember("Changes") ||
        !page->isMember("Done") ||
        !page->isMember("Last") ||
        !(*page)["Changes"].isArray() ||
        !(*page)["Done"].isBool())
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_BadFileFormat);
    }

    // The changes before a bad element stay queued.
    for (const Json::Value& change : (*page)["Changes"])
    {
      if (!change.isObject() ||
          !change["ChangeType"].isString())
      {
        throw Kestrum::KestrumException(Kestrum::ErrorCode_BadFileFormat);
      }

      if (change["ChangeType"].asString() == "NewInstance")
      {
        if (!change["ID"].isString())
        {
          throw Kestrum::KestrumException(Kestrum::ErrorCode_BadFileFormat);
        }
        pending.Push(change["ID"].asString(), true);
      }
    }

    // A "Last" that is no unsigned number is not an error code of ours.
    if (!(*page)["Last"].isUInt64())
    {
      throw std::runtime_error("Bad sequence number in the history of changes");
    }
    cursor = (*page)["Last"].asUInt64();

    return (*page)["Done"].asBool();
  }


  void SynchronizationThreads::ScanThread()
  {
    // Every scan starts from the beginning of the history, and is never retried by itself.
    uint64_t cursor = 0;

    while (scanThread_.running)
    {
      try
      {
        if (ScanChangesPage(host_, pending_, cursor))
        {
          LOG(INFO) << "Quelby cloud: The entire history of changes has been scanned by the synchronization threads";
          return;
        }
      }
      catch (const Kestrum::KestrumException& e)
      {
        LOG(ERROR) << THREAD_EXCEPTION << e.GetDescription();
        return;
      }
      catch (...)
      {
        LOG(ERROR) << THREAD_NATIVE_EXCEPTION;
        return;
      }

      std::this_thread::sleep_for(PAUSE_BETWEEN_PAGES);
    }
  }


  void SynchronizationThreads::OnHostStarted()
  {
    try
    {
      state_.LoadStored();
    }
    catch (const Kestrum::KestrumException& e)
    {
      // The stored server could not be declared in the explorer: sending does not depend on it.
      LOG(ERROR) << "Exception: " << e.GetDescription();
    }

    std::lock_guard<std::mutex> lock(threadsMutex_);
    LOG(INFO) << "Quelby cloud: Starting the synchronization thread";
    StartThread(synchronizationThread_, &SynchronizationThreads::SynchronizationThread);
  }


  void SynchronizationThreads::OnHostStopping()
  {
    {
      std::lock_guard<std::mutex> lock(threadsMutex_);
      LOG(INFO) << "Quelby cloud: Stopping the synchronization threads";
      StopThread(scanThread_);
      StopThread(synchronizationThread_);
    }
    LOG(INFO) << "Quelby cloud: The synchronization threads have stopped";
  }


  void SynchronizationThreads::StopThreads()
  {
    std::lock_guard<std::mutex> lock(threadsMutex_);
    StopThread(scanThread_);
    StopThread(synchronizationThread_);
  }


  void SynchronizationThreads::ClearPending(const ControlAnswer& answer)
  {
    std::lock_guard<std::mutex> lock(threadsMutex_);

    LOG(ERROR) << "Quelby cloud: Clearing all the pending synchronizations";

    // Waits for the batch in progress, if any.
    StopThread(synchronizationThread_);
    StopThread(scanThread_);

    pending_.Clear();

    StartThread(synchronizationThread_, &SynchronizationThreads::SynchronizationThread);
    answer();
  }


  void SynchronizationThreads::Replay(const ControlAnswer& answer)
  {
    std::lock_guard<std::mutex> lock(threadsMutex_);

    StopThread(scanThread_);

    LOG(WARNING) << "Quelby cloud plugin: Starting a scan of all the available instances";
    StartThread(scanThread_, &SynchronizationThreads::ScanThread);
    answer();
  }


  void SynchronizationThreads::ForceReplay(const ControlAnswer& answer)
  {
    std::lock_guard<std::mutex> lock(threadsMutex_);

    StopThread(scanThread_);

    // Not stored: the stored generation changes only with the next options,
    // connect or disconnect operation.
    state_.RenewSynchronizationUuid();

    LOG(WARNING) << "Quelby cloud plugin: Starting a scan of all the available instances";
    StartThread(scanThread_, &SynchronizationThreads::ScanThread);
    answer();
  }
}
