#pragma once

#include <Plugins/KestrumPluginInterface.h>

#include <cstdint>
#include <functional>

namespace QuelbyCloud
{
  /** Sends the answer of a thread-control operation while the threads are still locked. */
  typedef std::function<void()> ControlAnswer;

  /**
   * The host's change callback (register it with service 1003): queues new
   * instances, loads the state and starts the synchronization thread when
   * the host has started, stops the threads when it stops. Always returns 0.
   */
  KestrumErrorCode OnChange(int32_t changeType, int32_t resourceType, const char* resourceId);

  /**
   * One page of the scan: reads the changes after the cursor from the host,
   * queues the new instances of the page as replayed ones and moves the
   * cursor to the page's "Last". True when the page ends the history. Throws
   * on a failed request or a malformed page (the instances of the page queued
   * before the bad element stay queued, the cursor stays).
   */
  bool ScanChangesPage(uint64_t& cursor);

  /** Stops the scan thread, then the synchronization thread, and waits for both. */
  void StopThreads();

  /** Stops both threads, empties the pending queue, restarts the synchronization thread, then answers. */
  void ClearPending(const ControlAnswer& answer);

  /** Restarts the scan of the whole history of changes, then answers. */
  void Replay(const ControlAnswer& answer);

  /** Starts a new synchronization generation and restarts the scan, then answers. */
  void ForceReplay(const ControlAnswer& answer);
}
