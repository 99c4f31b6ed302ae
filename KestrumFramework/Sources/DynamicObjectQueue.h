#pragma once

#include "IDynamicObject.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

namespace Kestrum
{
  /**
   * Unbounded first-in first-out queue of owned objects, shared between
   * producer threads and a consumer. The queue owns its elements until
   * Dequeue hands one over.
   */
  class DynamicObjectQueue
  {
  private:
    std::mutex mutex_;
    std::condition_variable elementAvailable_;
    std::deque<std::unique_ptr<IDynamicObject>> queue_;

  public:
    DynamicObjectQueue() = default;
    DynamicObjectQueue(const DynamicObjectQueue&) = delete;
    DynamicObjectQueue& operator=(const DynamicObjectQueue&) = delete;

    /** Takes ownership, appends at the back and wakes one waiting consumer. A null object is ignored. */
    void Enqueue(std::unique_ptr<IDynamicObject> object);

    /** The front element, or null when the queue stayed empty for the whole timeout. */
    std::unique_ptr<IDynamicObject> Dequeue(unsigned int timeoutMilliseconds);

    /** Frees every element. */
    void Clear();

    size_t GetSize();
  };
}
