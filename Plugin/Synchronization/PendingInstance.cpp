#include "PendingInstance.h"

#include <KestrumException.h>

namespace QuelbyCloud
{
  Kestrum::DynamicObjectQueue& GetPendingQueue()
  {
    static Kestrum::DynamicObjectQueue queue;
    return queue;
  }


  void QueuePendingInstance(const std::string& instanceId, bool replay)
  {
    GetPendingQueue().Enqueue(std::unique_ptr<Kestrum::IDynamicObject>(new PendingInstance(instanceId, replay)));
  }


  bool DequeuePendingInstance(std::string& instanceId, bool& replay)
  {
    std::unique_ptr<Kestrum::IDynamicObject> object = GetPendingQueue().Dequeue(PENDING_INSTANCE_TIMEOUT_MS);
    if (object == nullptr)
    {
      return false;
    }

    // Only PendingInstance objects are ever put in this queue.
    const PendingInstance* instance = dynamic_cast<const PendingInstance*>(object.get());
    if (instance == nullptr)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_InternalError);
    }

    instanceId = instance->GetInstanceId();
    replay = instance->IsReplay();
    return true;
  }
}
