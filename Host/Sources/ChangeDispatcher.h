#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace KestrumHost
{
  /**
   * Delivers changes, in the order they were posted, on a thread of its own, so
   * that whoever records a change (an HTTP thread storing an instance) never waits
   * for the plug-ins' callbacks.
   */
  class ChangeDispatcher
  {
  public:
    using Sink = std::function<void(int32_t changeType, int32_t resourceType, const std::string& resourceId)>;

  private:
    struct Change
    {
      int32_t changeType;
      int32_t resourceType;
      std::string resourceId;
    };

    Sink sink_;
    std::mutex mutex_;
    std::condition_variable wakeUp_;
    std::deque<Change> queue_;
    bool stopping_ = false;
    bool running_ = false;
    std::thread thread_;

    void Run();

  public:
    explicit ChangeDispatcher(Sink sink);
    ~ChangeDispatcher();

    ChangeDispatcher(const ChangeDispatcher&) = delete;
    ChangeDispatcher& operator=(const ChangeDispatcher&) = delete;

    void Start();

    /** Queues a change; returns at once. Dropped once the dispatcher has stopped. */
    void Post(int32_t changeType, int32_t resourceType, const std::string& resourceId);

    /** Queues a last change, waits until it and everything before it were delivered, then stops. */
    void StopAfter(int32_t changeType, int32_t resourceType, const std::string& resourceId);
  };
}
