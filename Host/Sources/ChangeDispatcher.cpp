#include "ChangeDispatcher.h"

namespace KestrumHost
{
  ChangeDispatcher::ChangeDispatcher(Sink sink) :
    sink_(std::move(sink))
  {
  }

  ChangeDispatcher::~ChangeDispatcher()
  {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wakeUp_.notify_all();
    if (thread_.joinable())
    {
      thread_.join();
    }
  }

  void ChangeDispatcher::Start()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_ && !stopping_)
    {
      running_ = true;
      thread_ = std::thread(&ChangeDispatcher::Run, this);
    }
  }

  void ChangeDispatcher::Post(int32_t changeType, int32_t resourceType, const std::string& resourceId)
  {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_)
      {
        return;
      }
      queue_.push_back(Change{changeType, resourceType, resourceId});
    }
    wakeUp_.notify_one();
  }

  void ChangeDispatcher::StopAfter(int32_t changeType, int32_t resourceType, const std::string& resourceId)
  {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_)
      {
        return;
      }
      queue_.push_back(Change{changeType, resourceType, resourceId});
      stopping_ = true;  // the thread drains the queue, then ends
    }
    wakeUp_.notify_all();
    if (thread_.joinable())
    {
      thread_.join();
    }
  }

  void ChangeDispatcher::Run()
  {
    for (;;)
    {
      Change change;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wakeUp_.wait(lock, [this] { return !queue_.empty() || stopping_; });
        if (queue_.empty())
        {
          return;  // stopping and everything delivered
        }
        change = std::move(queue_.front());
        queue_.pop_front();
      }
      sink_(change.changeType, change.resourceType, change.resourceId);
    }
  }
}
