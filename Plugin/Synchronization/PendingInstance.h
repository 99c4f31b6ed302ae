#pragma once

#include <DynamicObjectQueue.h>

#include <optional>
#include <string>

namespace QuelbyCloud
{
  /** One instance waiting to be sent: its host identifier, and whether a scan of the history queued it. */
  class PendingInstance
  {
  private:
    std::string instanceId_;
    bool replay_;

  public:
    PendingInstance(const std::string& instanceId, bool replay) :
      instanceId_(instanceId),
      replay_(replay)
    {
    }

    const std::string& GetInstanceId() const { return instanceId_; }
    bool IsReplay() const { return replay_; }
  };


  /** The instances waiting for the synchronization thread: unbounded, first in first out, locked inside. */
  class PendingQueue
  {
  private:
    struct Element : public Kestrum::IDynamicObject
    {
      PendingInstance instance;
      explicit Element(const PendingInstance& instance) : instance(instance) {}
    };

    Kestrum::DynamicObjectQueue queue_;

  public:
    /** How long the synchronization thread waits for a pending instance, per try. */
    static constexpr unsigned int TIMEOUT_MS = 100;

    void Push(const std::string& instanceId, bool replay)
    {
      queue_.Enqueue(std::make_unique<Element>(PendingInstance(instanceId, replay)));
    }

    /** The next pending instance, or empty when none came within the time-out. */
    std::optional<PendingInstance> Pop(unsigned int timeoutMs = TIMEOUT_MS)
    {
      std::unique_ptr<Kestrum::IDynamicObject> object = queue_.Dequeue(timeoutMs);
      if (object == nullptr)
      {
        return std::nullopt;
      }
      // Only elements of this class are ever put in this queue.
      return static_cast<const Element&>(*object).instance;
    }

    void Clear() { queue_.Clear(); }

    size_t GetSize() { return queue_.GetSize(); }
  };
}
