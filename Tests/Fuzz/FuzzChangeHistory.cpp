// A page of the host's change history as anything the host may answer: the
// scan either refuses the page, or queues exactly the new instances that it
// lists, in order, and moves its cursor to "Last".

#include "FuzzSupport.h"

#include "FakeHost.h"

#include <KestrumException.h>
#include <Synchronization/PendingInstance.h>
#include <Synchronization/SynchronizationThreads.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace
{
  const char* const TARGET = "FuzzChangeHistory";

  /** The instance IDs that the page lists as new, up to its first element that is not a change. */
  std::vector<std::string> NewInstancesListed(const Json::Value& page, bool& complete)
  {
    std::vector<std::string> ids;
    complete = true;
    for (const Json::Value& change : page["Changes"])
    {
      if (!change.isObject() || !change["ChangeType"].isString())
      {
        complete = false;
        break;
      }
      if (change["ChangeType"].asString() == "NewInstance")
      {
        if (!change["ID"].isString())
        {
          complete = false;
          break;
        }
        ids.push_back(change["ID"].asString());
      }
    }
    return ids;
  }

  std::vector<std::string> DrainQueue(QuelbyCloud::PendingQueue& pending)
  {
    std::vector<std::string> ids;
    while (pending.GetSize() > 0)
    {
      const std::optional<QuelbyCloud::PendingInstance> instance = pending.Pop();
      if (!instance)
      {
        break;
      }
      FUZZ_CHECK(TARGET, instance->IsReplay(), "an instance of the history was queued as a live one");
      ids.push_back(instance->GetInstanceId());
    }
    return ids;
  }
}

int QuelbyCloud::Fuzzing::FuzzOne(const uint8_t* data, size_t size)
{
  Testing::FakeHost& host = ResetHost();
  PendingQueue pending;
  host.OnRestGet("/changes?limit=100&since=0").Answer(std::string(reinterpret_cast<const char*>(data), size));

  Json::Value document;
  const bool parsed = ParseIndependently(document, data, size);
  const Json::Value& page = document;

  uint64_t cursor = 0;
  bool done = false;
  bool refused = false;
  try
  {
    done = ScanChangesPage(Bridge(), pending, cursor);
  }
  catch (const Kestrum::KestrumException& e)
  {
    FUZZ_CHECK(TARGET, e.GetErrorCode() == Kestrum::ErrorCode_BadFileFormat ||
               e.GetErrorCode() == Kestrum::ErrorCode_InternalError,
               "page refused with code " + std::to_string(e.GetErrorCode()));
    refused = true;
  }
  catch (const std::runtime_error&)
  {
    refused = true;   // a "Last" that is no sequence number: the scan logs a native exception
  }

  const std::vector<std::string> queued = DrainQueue(pending);

  if (refused)
  {
    FUZZ_CHECK(TARGET, cursor == 0, "the cursor moved past a refused page");
    if (parsed && page.isObject() && page["Changes"].isArray())
    {
      // What was queued before the bad element stays queued, and nothing else.
      bool complete = false;
      const std::vector<std::string> listed = NewInstancesListed(page, complete);
      FUZZ_CHECK(TARGET, queued.size() <= listed.size() &&
                 std::equal(queued.begin(), queued.end(), listed.begin()),
                 "a refused page queued instances it does not list");
    }
  }
  else
  {
    FUZZ_CHECK(TARGET, parsed && page.isObject() && page["Changes"].isArray() && page["Done"].isBool() &&
               page["Last"].isUInt64(), "a page without the three members was taken");
    bool complete = false;
    const std::vector<std::string> listed = NewInstancesListed(page, complete);
    FUZZ_CHECK(TARGET, complete, "a page with a malformed change was taken");
    FUZZ_CHECK(TARGET, queued == listed, "the queued instances differ from the new instances of the page");
    FUZZ_CHECK(TARGET, cursor == page["Last"].asUInt64(), "the cursor is not the page's \"Last\"");
    FUZZ_CHECK(TARGET, done == page["Done"].asBool(), "the end of the history is misread");
  }

  CheckHostMemory(TARGET);
  return 0;
}
