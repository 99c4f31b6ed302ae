#include "SynchronizationThreads.h"

#include "InstancesToSynchronize.h"
#include "PendingInstance.h"
#include "PluginState.h"
#include "SynchronizationStatistics.h"
#include "../HostBridge/HostRestApi.h"

#include <KestrumException.h>
#include <Logging.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace QuelbyCloud
{
  namespace
  {
    // Lock order: threadsMutex_, then the plug-in state's mutex, then the
    // pending queue's (held only inside the queue). The background threads
    // never take threadsMutex_, so joining them under it cannot deadlock.
    std::mutex threadsMutex_;

    struct ControlledThread
    {
      std::atomic<bool> running;
      std::thread handle;

      ControlledThread() : running(false) {}
    };

    ControlledThread synchronizationThread_;
    ControlledThread scanThread_;

    const unsigned int CHANGES_PAGE_SIZE = 100;
    const std::chrono::milliseconds PAUSE_BETWEEN_PAGES(100);
  }


  // Called with threadsMutex_ held. A thread whose flag is clear is not
  // waited for; an empty handle (creation refused) is never joined.
  static void StopThread(ControlledThread& thread)
  {
    if (thread.running)
    {
      thread.running = false;
      if (thread.handle.joinable())
      {
        thread.handle.join();
      }
    }
  }


  // Called with threadsMutex_ held.
  static void StartThread(ControlledThread& thread, void (*body)())
  {
    StopThread(thread);

    // Replacing a joinable handle would end the process: never let it happen.
    if (thread.handle.joinable())
    {
      thread.handle.join();
    }

    thread.running = true;

    // When the platform refuses, std::system_error leaves with the flag set
    // and the handle empty: the next start or stop clears the flag.
    thread.handle = std::thread(body);
  }


  static bool IsAutomatedRoutingOn()
  {
    PluginState& state = PluginState::GetInstance();
    std::lock_guard<std::mutex> lock(state.GetMutex());
    return state.IsAutomatedRouting();
  }


  // One pass of the synchronization thread: at most one batch.
  static void SynchronizePass(size_t& instanceCount)
  {
    instanceCount = 0;

    // 1.
    std::string instanceId;
    bool replay;
    if (!DequeuePendingInstance(instanceId, replay))
    {
      return;
    }

    // 2. The option holds for the whole pass.
    const bool automatedRouting = IsAutomatedRoutingOn();

    // 3. Live notifications are dropped while routing is off; replayed ones are always sent.
    if (!automatedRouting && !replay)
    {
      return;
    }

    // 4. No active server: dropped.
    std::unique_ptr<InstancesToSynchronize> batch = InstancesToSynchronize::CreateBatch();
    if (batch == nullptr)
    {
      return;
    }

    // 5. Fill until the files exceed the limit or the queue stays quiet.
    for (;;)
    {
      batch->AddInstance(instanceId);

      if (batch->GetTotalBytes() > InstancesToSynchronize::MAX_BATCH_BYTES ||
          !DequeuePendingInstance(instanceId, replay) ||
          (!automatedRouting && !replay))
      {
        break;
      }
    }

    // 6.
    instanceCount = batch->GetSize();
    SynchronizationStatistics::AddTransferredBytes(batch->GetTotalBytes());

    // 7.
    if (batch->Synchronize())
    {
      SynchronizationStatistics::AddSuccess(instanceCount);
    }
    else
    {
      SynchronizationStatistics::AddErrors(instanceCount);
    }
  }


  static void SynchronizationThread()
  {
    while (synchronizationThread_.running)
    {
      size_t instanceCount = 0;

      try
      {
        SynchronizePass(instanceCount);
      }
      catch (const Kestrum::KestrumException& e)
      {
        LOG(ERROR) << "Exception encountered in synchronization threads: " << e.GetDescription();
        SynchronizationStatistics::AddErrors(instanceCount);
      }
      catch (...)
      {
        LOG(ERROR) << "Native exception encountered in synchronization threads";
        SynchronizationStatistics::AddErrors(instanceCount);
      }
    }
  }


  bool ScanChangesPage(uint64_t& since)
  {
    // 1.
    Json::Value changes;
    if (!HostRestGet(changes, "/changes?limit=" + std::to_string(CHANGES_PAGE_SIZE) +
                     "&since=" + std::to_string(since), false))
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_InternalError, "Cannot get changes", true);
    }

    // 2.
    if (changes.type() != Json::objectValue ||
        !changes.isMember("Changes") ||
        !changes.isMember("Done") ||
        !changes.isMember("Last") ||
        changes["Changes"].type() != Json::arrayValue ||
        changes["Done"].type() != Json::booleanValue)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_BadFileFormat);
    }

    // 3. The changes before a bad element stay queued.
    const Json::Value& items = changes["Changes"];
    for (Json::Value::ArrayIndex i = 0; i < items.size(); i++)
    {
      const Json::Value& change = items[i];
      if (change.type() != Json::objectValue ||
          !change.isMember("ChangeType") ||
          change["ChangeType"].type() != Json::stringValue)
      {
        throw Kestrum::KestrumException(Kestrum::ErrorCode_BadFileFormat);
      }

      if (change["ChangeType"].asString() == "NewInstance")
      {
        if (!change.isMember("ID") ||
            change["ID"].type() != Json::stringValue)
        {
          throw Kestrum::KestrumException(Kestrum::ErrorCode_BadFileFormat);
        }

        QueuePendingInstance(change["ID"].asString(), true);
      }
    }

    // 4. A "Last" that is no unsigned number is not an error code of ours.
    if (!changes["Last"].isUInt64())
    {
      throw std::runtime_error("Bad sequence number in the history of changes");
    }
    since = changes["Last"].asUInt64();

    // 5.
    return changes["Done"].asBool();
  }


  static void ScanThread()
  {
    uint64_t since = 0;

    while (scanThread_.running)
    {
      try
      {
        if (ScanChangesPage(since))
        {
          LOG(INFO) << "Quelby cloud: The entire history of changes has been scanned by the synchronization threads";
          return;
        }
      }
      catch (const Kestrum::KestrumException& e)
      {
        LOG(ERROR) << "Exception encountered in synchronization threads: " << e.GetDescription();
        return;
      }
      catch (...)
      {
        LOG(ERROR) << "Native exception encountered in synchronization threads";
        return;
      }

      std::this_thread::sleep_for(PAUSE_BETWEEN_PAGES);
    }
  }


  static void StartSynchronizationThread()
  {
    StartThread(synchronizationThread_, SynchronizationThread);
  }


  static void StartScanThread()
  {
    StartThread(scanThread_, ScanThread);
  }


  static void OnHostStarted()
  {
    {
      PluginState& state = PluginState::GetInstance();
      std::lock_guard<std::mutex> lock(state.GetMutex());
      // A request served before this announcement may already have read the
      // state (and changed and saved it): reading it again would declare the
      // server in the explorer a second time.
      state.LoadIfNeeded();
    }

    std::lock_guard<std::mutex> lock(threadsMutex_);
    LOG(INFO) << "Quelby cloud: Starting the synchronization thread";
    StartSynchronizationThread();
  }


  static void OnHostStopping()
  {
    {
      std::lock_guard<std::mutex> lock(threadsMutex_);
      LOG(INFO) << "Quelby cloud: Stopping the synchronization threads";
      StopThread(scanThread_);
      StopThread(synchronizationThread_);
    }

    LOG(INFO) << "Quelby cloud: The synchronization threads have stopped";
  }


  KestrumErrorCode OnChange(int32_t changeType, int32_t resourceType, const char* resourceId)
  {
    try
    {
      if (changeType == KestrumChangeType_NewInstance &&
          resourceType == KestrumResourceType_Instance)
      {
        if (resourceId != nullptr)
        {
          QueuePendingInstance(resourceId, false);
        }
      }
      else if (changeType == KestrumChangeType_KestrumStarted)
      {
        OnHostStarted();
      }
      else if (changeType == KestrumChangeType_KestrumStopped)
      {
        OnHostStopping();
      }
    }
    catch (const Kestrum::KestrumException& e)
    {
      LOG(ERROR) << "Exception: " << e.GetDescription();
    }
    catch (...)
    {
      LOG(ERROR) << "Uncatched native exception";
    }

    return 0;
  }


  void StopThreads()
  {
    std::lock_guard<std::mutex> lock(threadsMutex_);
    StopThread(scanThread_);
    StopThread(synchronizationThread_);
  }


  void ClearPending(const ControlAnswer& answer)
  {
    std::lock_guard<std::mutex> lock(threadsMutex_);

    LOG(ERROR) << "Quelby cloud: Clearing all the pending synchronizations";

    // Waits for the batch in progress, if any.
    StopThread(synchronizationThread_);
    StopThread(scanThread_);

    GetPendingQueue().Clear();

    StartSynchronizationThread();

    answer();
  }


  void Replay(const ControlAnswer& answer)
  {
    std::lock_guard<std::mutex> lock(threadsMutex_);

    StopThread(scanThread_);

    LOG(WARNING) << "Quelby cloud plugin: Starting a scan of all the available instances";
    StartScanThread();

    answer();
  }


  void ForceReplay(const ControlAnswer& answer)
  {
    std::lock_guard<std::mutex> lock(threadsMutex_);

    StopThread(scanThread_);

    {
      // Not saved: the stored generation changes only with the next options,
      // connect or disconnect operation.
      PluginState& state = PluginState::GetInstance();
      std::lock_guard<std::mutex> stateLock(state.GetMutex());
      state.LoadIfNeeded();   // a later first load would bring the old generation back
      state.RenewSynchronizationUuid();
    }

    LOG(WARNING) << "Quelby cloud plugin: Starting a scan of all the available instances";
    StartScanThread();

    answer();
  }

}
