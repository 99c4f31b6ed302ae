#include "SynchronizationThreads.h"

#include "InstancesToSynchronize.h"

#include "../HostBridge/HostConfiguration.h"
#include "../HostBridge/HostRestApi.h"

#include <KestrumException.h>
#include <Logging.h>

#include <sched.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace QuelbyCloud
{
  namespace
  {
    const unsigned int CHANGES_PAGE_SIZE = 100;

    // Instances taken from the queue for one batch, at most.
    const size_t MAX_INSTANCES_CONSIDERED = 10000;

    // Bounds the load that a scan puts on the host.
    const std::chrono::milliseconds PAUSE_BETWEEN_PAGES(100);

    const char* const THREAD_EXCEPTION = "Exception encountered in synchronization threads: ";
    const char* const THREAD_NATIVE_EXCEPTION = "Native exception encountered in synchronization threads";
  }


  SynchronizationThreads::SynchronizationThreads(const HostBridge& host,
                                                 PluginState& state,
                                                 PendingQueue& pending,
                                                 SynchronizationStatistics& statistics,
                                                 DeliveryLedger& ledger) :
    host_(host),
    state_(state),
    pending_(pending),
    statistics_(statistics),
    ledger_(ledger),
    concurrentBatches_(DEFAULT_CONCURRENT_BATCHES)
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


  void SynchronizationThreads::ReadConfiguration()
  {
    unsigned int concurrency = DEFAULT_CONCURRENT_BATCHES;
    bool background = false;
    try
    {
      const Json::Value section = HostConfiguration(host_).ReadSection("QuelbyCloud").GetJson();
      const Json::Value& configured = section["ConcurrentBatches"];
      if (configured.isUInt() && configured.asUInt() >= 1 && configured.asUInt() <= MAX_CONCURRENT_BATCHES)
      {
        concurrency = configured.asUInt();
      }
      else if (!configured.isNull())
      {
        LOG(WARNING) << "Quelby Cloud plugin: \"ConcurrentBatches\" must be a number from 1 to "
                     << MAX_CONCURRENT_BATCHES << ", " << DEFAULT_CONCURRENT_BATCHES << " batches are sent at once";
      }

      const Json::Value& priority = section["DeliveryPriority"];
      background = (priority == "Background");
      if (!background && !priority.isNull() && priority != "Normal")
      {
        LOG(WARNING) << "Quelby Cloud plugin: \"DeliveryPriority\" must be \"Normal\" or \"Background\", "
                     << "the delivery runs at normal priority";
      }
    }
    catch (const Kestrum::KestrumException&)
    {
      // Logged by the configuration reader: the defaults hold.
    }
    concurrentBatches_ = concurrency;
    background_ = background;
  }


  void SynchronizationThreads::EnterPriority() const
  {
    // In the background, the delivery runs only on a CPU that the host's own
    // threads leave free, so a modality waiting for each C-STORE answer is
    // never queued behind it. The threads this one starts (batches on their
    // way, compression) inherit it.
    if (background_)
    {
      sched_param parameters{};
      if (sched_setscheduler(0, SCHED_IDLE, &parameters) != 0)
      {
        LOG(WARNING) << "Quelby Cloud plugin: Cannot run the delivery in the background: " << std::strerror(errno);
      }
    }
  }


  void SynchronizationThreads::SynchronizePass()
  {
    ReapFinished();

    switch (ledger_.GetStep(DeliveryLedger::Clock::now()))
    {
      case DeliveryLedger::Step::Retry:
        RetryOwed();
        break;
      case DeliveryLedger::Step::Wait:
        WaitWithOwed();
        break;
      default:
        SendPending();
        break;
    }

    // At most once a pass, so that a burst of new instances costs few writes.
    ledger_.StoreIfChanged();
  }


  void SynchronizationThreads::SendPending()
  {
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
    sending_ = true;
    std::vector<std::string> added;
    size_t considered = 0;
    for (;;)
    {
      try
      {
        if (batch->AddInstance(instance->GetInstanceId()))
        {
          added.push_back(instance->GetInstanceId());
        }
      }
      catch (...)
      {
        // The batch is abandoned for the instance that cannot be read; the others are still owed.
        for (const std::string& id : added)
        {
          ledger_.Owe(id);
        }
        throw;
      }

      // A feed that never pauses, or one that repeats the same instances,
      // must not hold the batch (or a stop) for ever.
      if (batch->GetTotalBytes() > InstancesToSynchronize::MAX_BATCH_BYTES ||
          ++considered >= MAX_INSTANCES_CONSIDERED ||
          !synchronizationThread_.running ||
          !(instance = pending_.Pop()) ||
          (!automatedRouting && !instance->IsReplay()))
      {
        break;
      }
    }

    // A batch that the next files are not already waiting behind is keeping up with the host.
    batch->SetCatchingUp(pending_.GetSize() >= batch->GetSize());
    Launch(std::move(batch));
  }


  void SynchronizationThreads::RetryOwed()
  {
    // Settle the batches on their way first: they may confirm what is owed,
    // and one attempt at a time is what a failing destination gets.
    WaitForAllInFlight();
    if (ledger_.GetStep(DeliveryLedger::Clock::now()) != DeliveryLedger::Step::Retry)
    {
      return;
    }

    std::unique_ptr<InstancesToSynchronize> batch = InstancesToSynchronize::CreateBatch(host_, state_);
    if (batch == nullptr)
    {
      SendPending();   // no active server: nothing can be sent, new instances are dropped as ever
      return;
    }

    sending_ = true;
    for (const std::string& id : ledger_.GetOwed())
    {
      try
      {
        if (!batch->AddInstance(id))
        {
          ledger_.Forget(id);   // gone, or already confirmed in this generation
        }
      }
      catch (const Kestrum::KestrumException& e)
      {
        // An instance the host cannot describe can never be sent: it must not hold back the others.
        LOG(ERROR) << "Quelby Cloud plugin: The instance " << id << " cannot be read from Kestrum, "
                   << "it is no longer owed to the destination: " << e.GetDescription();
        ledger_.Forget(id);
      }

      if (batch->GetTotalBytes() > InstancesToSynchronize::MAX_BATCH_BYTES)
      {
        break;
      }
    }

    Launch(std::move(batch));
    WaitForAllInFlight();
  }


  void SynchronizationThreads::WaitWithOwed()
  {
    // The destination is failing: one attempt per back-off step, and new
    // instances wait with those owed instead of each making an attempt.
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
      ledger_.GetTimeToNextAttempt(DeliveryLedger::Clock::now()));
    const auto timeout = std::min<std::chrono::milliseconds>(
      std::max<std::chrono::milliseconds>(wait, std::chrono::milliseconds(1)),
      std::chrono::milliseconds(PendingQueue::TIMEOUT_MS));

    const std::optional<PendingInstance> instance = pending_.Pop(static_cast<unsigned int>(timeout.count()));
    if (instance &&
        (instance->IsReplay() || state_.IsAutomatedRouting()) &&
        state_.GetSnapshot().activeServer)
    {
      ledger_.Owe(instance->GetInstanceId());
    }
  }


  void SynchronizationThreads::Launch(std::unique_ptr<InstancesToSynchronize> batch)
  {
    sending_ = false;
    statistics_.AddTransferredBytes(batch->GetTotalBytes());

    // At most that many on their way: memory stays within those batches and the one being read.
    while (inFlight_.size() >= concurrentBatches_)
    {
      inFlight_.front().get();
      inFlight_.pop_front();
    }

    inFlightCount_++;
    std::shared_ptr<InstancesToSynchronize> shared(std::move(batch));
    try
    {
      inFlight_.push_back(std::async(std::launch::async, [this, shared]()
      {
        SendBatch(*shared);
        inFlightCount_--;
      }));
    }
    catch (const std::system_error&)
    {
      // No thread to be had: this batch goes the slow way rather than being lost.
      SendBatch(*shared);
      inFlightCount_--;
    }
  }


  void SynchronizationThreads::ReapFinished()
  {
    while (!inFlight_.empty() &&
           inFlight_.front().wait_for(std::chrono::seconds(0)) == std::future_status::ready)
    {
      inFlight_.front().get();
      inFlight_.pop_front();
    }
  }


  void SynchronizationThreads::WaitForAllInFlight()
  {
    while (!inFlight_.empty())
    {
      inFlight_.front().get();
      inFlight_.pop_front();
    }
  }


  void SynchronizationThreads::SendBatch(InstancesToSynchronize& batch)
  {
    // Each batch is confirmed, stamped and counted on its own, whatever the others do.
    const size_t instanceCount = batch.GetSize();
    try
    {
      const bool success = batch.Synchronize();
      ledger_.RecordAttempt(batch.GetAttempted(), batch.GetReport(), DeliveryLedger::Clock::now());
      if (success)
      {
        statistics_.AddSuccess(instanceCount);
        return;
      }

      statistics_.AddErrors(instanceCount);
      const auto wait = ledger_.GetTimeToNextAttempt(DeliveryLedger::Clock::now());
      if (wait > DeliveryLedger::Clock::duration::zero())
      {
        LOG(ERROR) << "Quelby Cloud plugin: The instances that were not confirmed are sent again in "
                   << std::chrono::duration_cast<std::chrono::seconds>(wait).count() + 1 << " s";
      }
    }
    catch (const Kestrum::KestrumException& e)
    {
      LOG(ERROR) << THREAD_EXCEPTION << e.GetDescription();
      ledger_.RecordFailure(batch.GetAttempted(), e.GetDescription(), DeliveryLedger::Clock::now());
      statistics_.AddErrors(instanceCount);
    }
    catch (...)
    {
      LOG(ERROR) << THREAD_NATIVE_EXCEPTION;
      ledger_.RecordFailure(batch.GetAttempted(), "unexpected failure in the plug-in", DeliveryLedger::Clock::now());
      statistics_.AddErrors(instanceCount);
    }
  }


  void SynchronizationThreads::SynchronizationThread()
  {
    EnterPriority();
    // Survives every error: at most the batch being read is lost; the batches
    // on their way report their own errors.
    while (synchronizationThread_.running)
    {
      try
      {
        SynchronizePass();
      }
      catch (const Kestrum::KestrumException& e)
      {
        LOG(ERROR) << THREAD_EXCEPTION << e.GetDescription();
      }
      catch (...)
      {
        LOG(ERROR) << THREAD_NATIVE_EXCEPTION;
      }
      sending_ = false;
    }

    // A stop waits for the batches on their way; what is owed survives it,
    // and so do the instances still waiting in the queue, which a restart
    // would otherwise forget until a replay.
    WaitForAllInFlight();
    const bool sendable = state_.GetSnapshot().activeServer.has_value();
    const bool routing = state_.IsAutomatedRouting();
    while (std::optional<PendingInstance> instance = pending_.Pop(0))
    {
      if (sendable && (routing || instance->IsReplay()))
      {
        ledger_.Owe(instance->GetInstanceId());
      }
    }
    ledger_.StoreIfChanged();
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


  static uint64_t FindLastChange(const HostBridge& host)
  {
    try
    {
      const std::optional<Json::Value> last = HostRestGet(host, "/changes?last", false);
      if (last && last->isObject() && (*last)["Last"].isUInt64())
      {
        return (*last)["Last"].asUInt64();
      }
    }
    catch (const Kestrum::KestrumException&)
    {
      // A host that cannot tell: the progress has no end to show, the scan goes on all the same.
    }
    return 0;
  }


  void SynchronizationThreads::ScanThread()
  {
    EnterPriority();
    // Every scan starts from the beginning of the history, and is never retried by itself.
    uint64_t cursor = 0;
    scanned_ = 0;
    lastOfHistory_ = FindLastChange(host_);
    scanning_ = true;

    while (scanThread_.running)
    {
      try
      {
        const bool done = ScanChangesPage(host_, pending_, cursor);
        scanned_ = cursor;
        if (done)
        {
          LOG(INFO) << "Quelby cloud: The entire history of changes has been scanned by the synchronization threads";
          break;
        }
      }
      catch (const Kestrum::KestrumException& e)
      {
        LOG(ERROR) << THREAD_EXCEPTION << e.GetDescription();
        break;
      }
      catch (...)
      {
        LOG(ERROR) << THREAD_NATIVE_EXCEPTION;
        break;
      }

      std::this_thread::sleep_for(PAUSE_BETWEEN_PAGES);
    }

    scanning_ = false;
  }


  SynchronizationThreads::Activity SynchronizationThreads::GetActivity() const
  {
    return { sending_ || inFlightCount_ > 0, scanning_, scanned_, lastOfHistory_ };
  }


  void SynchronizationThreads::OnHostStarted()
  {
    ReadConfiguration();
    ledger_.LoadStored();
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
    ledger_.Clear();
    ledger_.StoreIfChanged();

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
