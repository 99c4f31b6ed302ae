#pragma once

#include "DeliveryLedger.h"
#include "PendingInstance.h"
#include "PluginState.h"
#include "SynchronizationStatistics.h"

#include "../HostBridge/HostBridge.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

namespace QuelbyCloud
{
  class InstancesToSynchronize;

  /**
   * The engine that moves instances from the host to the active server: the
   * synchronization thread drains the pending queue into batches and sends
   * them; the scan thread, started by a replay, queues every instance of the
   * host's history of changes. Every start and stop of the two threads holds
   * the threads mutex, which the threads themselves never take.
   */
  class SynchronizationThreads
  {
  public:
    /** Sends the answer of a control operation while the threads are still locked. */
    using ControlAnswer = std::function<void()>;

    /** What the threads are doing, for the delivery route. */
    struct Activity
    {
      bool sending;                  // a batch is being read or sent
      bool scanning;                 // a scan of the history runs
      uint64_t scanned;              // the last change the scan has read
      uint64_t lastOfHistory;        // the last change of the history when the scan started
    };

  private:
    struct ControlledThread
    {
      std::atomic<bool> running{false};
      std::thread handle;
    };

    const HostBridge& host_;
    PluginState& state_;
    PendingQueue& pending_;
    SynchronizationStatistics& statistics_;
    DeliveryLedger& ledger_;

    std::atomic<bool> sending_{false};          // a batch is being read from the host
    std::atomic<size_t> inFlightCount_{0};      // batches being sent
    std::atomic<unsigned int> concurrentBatches_;
    std::atomic<bool> background_{false};       // "DeliveryPriority": "Background"
    std::deque<std::future<void>> inFlight_;    // touched by the synchronization thread only
    std::atomic<bool> scanning_{false};
    std::atomic<uint64_t> scanned_{0};
    std::atomic<uint64_t> lastOfHistory_{0};

    std::mutex threadsMutex_;
    ControlledThread synchronizationThread_;
    ControlledThread scanThread_;

    // Called with threadsMutex_ held.
    static void StopThread(ControlledThread& thread);
    void StartThread(ControlledThread& thread, void (SynchronizationThreads::*body)());

    void SynchronizationThread();
    void SynchronizePass();
    void SendPending();
    void RetryOwed();
    void WaitWithOwed();
    void ScanThread();

    // Sending overlaps: while some batches are on their way, the next is read
    // and framed. Called by the synchronization thread only.
    void Launch(std::unique_ptr<InstancesToSynchronize> batch);
    void ReapFinished();
    void WaitForAllInFlight();
    void SendBatch(InstancesToSynchronize& batch);
    void ReadConfiguration();
    void EnterPriority() const;

  public:
    /** Batches on their way at once when the host's configuration does not say ("QuelbyCloud": {"ConcurrentBatches"}).
        Two already keep a link of 80 ms round trip full; more cost memory, not speed. */
    static constexpr unsigned int DEFAULT_CONCURRENT_BATCHES = 2;
    static constexpr unsigned int MAX_CONCURRENT_BATCHES = 16;

    SynchronizationThreads(const HostBridge& host,
                           PluginState& state,
                           PendingQueue& pending,
                           SynchronizationStatistics& statistics,
                           DeliveryLedger& ledger);

    /** Stops and joins both threads. */
    ~SynchronizationThreads();

    SynchronizationThreads(const SynchronizationThreads&) = delete;
    SynchronizationThreads& operator=(const SynchronizationThreads&) = delete;

    /** The host has started: the stored state is read and the synchronization thread starts. */
    void OnHostStarted();

    /** The host is stopping: both threads stop. */
    void OnHostStopping();

    /** Stops the scan thread, then the synchronization thread, and waits for both. */
    void StopThreads();

    /** Stops both threads, empties the pending queue, restarts the synchronization thread, then answers. */
    void ClearPending(const ControlAnswer& answer);

    /** Restarts the scan of the whole history of changes, then answers. */
    void Replay(const ControlAnswer& answer);

    /** Starts a new synchronization generation and restarts the scan, then answers. */
    void ForceReplay(const ControlAnswer& answer);

    Activity GetActivity() const;

    unsigned int GetConcurrentBatches() const { return concurrentBatches_; }
  };


  /**
   * One page of the scan: reads the changes after the cursor from the host,
   * queues the new instances of the page as replayed ones and moves the
   * cursor to the page's "Last". True when the page ends the history. Throws
   * on a failed request or a malformed page (the instances of the page queued
   * before the bad element stay queued, the cursor stays).
   */
  bool ScanChangesPage(const HostBridge& host, PendingQueue& pending, uint64_t& cursor);
}
