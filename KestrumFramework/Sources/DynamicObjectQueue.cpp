#include "DynamicObjectQueue.h"

#include <chrono>

namespace Kestrum
{
  void DynamicObjectQueue::Enqueue(std::unique_ptr<IDynamicObject> object)
  {
    if (object == nullptr)
    {
      return;
    }

    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(std::move(object));
    }

    elementAvailable_.notify_one();
  }


  std::unique_ptr<IDynamicObject> DynamicObjectQueue::Dequeue(unsigned int timeoutMilliseconds)
  {
    // A deadline rather than a fresh wait after each wake-up: spurious or
    // stolen wake-ups cannot stretch the wait beyond the timeout.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);

    std::unique_lock<std::mutex> lock(mutex_);

    while (queue_.empty())
    {
      if (elementAvailable_.wait_until(lock, deadline) == std::cv_status::timeout &&
          queue_.empty())
      {
        return nullptr;
      }
    }

    std::unique_ptr<IDynamicObject> front = std::move(queue_.front());
    queue_.pop_front();
    return front;
  }


  void DynamicObjectQueue::Clear()
  {
    // The elements are destroyed outside the lock: a destructor never runs
    // while producers are blocked on the queue.
    std::deque<std::unique_ptr<IDynamicObject>> removed;

    {
      std::lock_guard<std::mutex> lock(mutex_);
      removed.swap(queue_);
    }
  }


  size_t DynamicObjectQueue::GetSize()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
  }
}
