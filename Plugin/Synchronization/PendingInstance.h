#pragma once

#include <DynamicObjectQueue.h>

#include <string>

namespace QuelbyCloud
{
  /** One instance waiting to be sent: its host identifier, and whether a scan of the history queued it. */
  class PendingInstance : public Kestrum::IDynamicObject
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

  /** How long the synchronization thread waits for a pending instance, per try. */
  static const unsigned int PENDING_INSTANCE_TIMEOUT_MS = 100;

  /** The process-wide queue of pending instances. */
  Kestrum::DynamicObjectQueue& GetPendingQueue();

  /** Appends an instance to the pending queue. */
  void QueuePendingInstance(const std::string& instanceId, bool replay);

  /** Takes the next pending instance, waiting up to 100 ms; false when none came. */
  bool DequeuePendingInstance(std::string& instanceId, bool& replay);
}
