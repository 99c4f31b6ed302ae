// Stress of the synchronization threads: the change feed, the synchronization
// thread, the scan thread, the control operations, connects and the status
// reads all run at once for a bounded time. Built on its own so that it can
// run under ThreadSanitizer; a deadlock is caught by a watchdog.

#include "../SynchronizationTestSupport.h"

#include <Synchronization/SynchronizationStatistics.h>
#include <Synchronization/SynchronizationThreads.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <random>
#include <set>

using namespace QuelbyCloud;
using namespace QuelbyCloud::Testing;

namespace
{
  const int INSTANCES = 200;
  const std::chrono::milliseconds CHURN_TIME(2000);

  class SynchronizationStress : public StoreAndPeerTest
  {
  protected:

    void SetUp() override
    {
      StoreAndPeerTest::SetUp();
      for (int i = 0; i < INSTANCES; i++)
      {
        store.Add("i" + std::to_string(i), "1.2." + std::to_string(i), 1000 + 37 * i);
      }
    }

    void TearDown() override
    {
      StopThreads();
      GetPendingQueue().Clear();
      FakeHostTest::TearDown();
    }

    // Runs the body on another thread; a body still running after the bound is a deadlock.
    static void WithWatchdog(const std::function<void()>& body, std::chrono::seconds bound)
    {
      std::packaged_task<void()> task(body);
      std::future<void> done = task.get_future();
      std::thread runner(std::move(task));
      if (done.wait_for(bound) != std::future_status::ready)
      {
        fprintf(stderr, "Deadlock: the stress did not finish within %d s\n", static_cast<int>(bound.count()));
        std::_Exit(1);
      }
      runner.join();
      done.get();
    }
  };
}


TEST_F(SynchronizationStress, EverythingAtOnceNeitherRacesNorDeadlocks)
{
  ConnectTo(peer, false);
  {
    PluginState& state = PluginState::GetInstance();
    std::lock_guard<std::mutex> lock(state.GetMutex());
    state.Save();
  }

  WithWatchdog([&]
  {
    EXPECT_EQ(0, OnChange(KestrumChangeType_KestrumStarted, KestrumResourceType_None, nullptr));

    std::atomic<bool> churning(true);
    std::atomic<uint64_t> controls(0);
    std::vector<std::thread> workers;

    // The host's change feed.
    workers.emplace_back([&]
    {
      std::mt19937 random(1);
      while (churning)
      {
        const std::string id = "i" + std::to_string(random() % INSTANCES);
        OnChange(KestrumChangeType_NewInstance, KestrumResourceType_Instance, id.c_str());
        OnChange(KestrumChangeType_StableStudy, KestrumResourceType_Study, "study");
        std::this_thread::sleep_for(std::chrono::microseconds(300));
      }
    });

    // The control routes.
    workers.emplace_back([&]
    {
      std::mt19937 random(2);
      while (churning)
      {
        switch (random() % 3)
        {
          case 0: Replay([&] { controls++; }); break;
          case 1: ForceReplay([&] { controls++; }); break;
          default: ClearPending([&] { controls++; }); break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 60));
      }
    });

    // Connect, options and disconnect routes.
    workers.emplace_back([&]
    {
      std::mt19937 random(3);
      PluginState& state = PluginState::GetInstance();
      while (churning)
      {
        {
          std::lock_guard<std::mutex> lock(state.GetMutex());
          switch (random() % 4)
          {
            case 0: state.SetActiveServer(peer.MakeConfiguration()); break;
            case 1: state.ClearActiveServer(); break;
            default: state.SetAutomatedRouting(random() % 2 == 0); break;
          }
          state.Save();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 40));
      }
    });

    // The status route.
    workers.emplace_back([&]
    {
      uint64_t previous = 0;
      while (churning)
      {
        const uint64_t now = SynchronizationStatistics::GetSuccessCount() +
                             SynchronizationStatistics::GetErrorCount();
        EXPECT_GE(now, previous) << "counters never go back";
        previous = now;
        GetPendingQueue().GetSize();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });

    // A destination that fails now and then, and is slow.
    peer.SetDelay(std::chrono::milliseconds(1));
    std::thread flaky([&]
    {
      bool failing = false;
      while (churning)
      {
        failing = !failing;
        peer.SetFailing(failing);
        std::this_thread::sleep_for(std::chrono::milliseconds(failing ? 30 : 90));
      }
      peer.SetFailing(false);
    });

    std::this_thread::sleep_for(CHURN_TIME);
    churning = false;
    for (std::thread& worker : workers)
    {
      worker.join();
    }
    flaky.join();
    EXPECT_GT(controls.load(), 5u);

    // The host stops and starts again.
    EXPECT_EQ(0, OnChange(KestrumChangeType_KestrumStopped, KestrumResourceType_None, nullptr));
    EXPECT_EQ(0, OnChange(KestrumChangeType_KestrumStarted, KestrumResourceType_None, nullptr));
  }, std::chrono::seconds(60));

  // Every instance stamped was received by the destination first.
  std::set<std::string> received;
  for (const std::string& uid : peer.ReceivedUids())
  {
    received.insert(uid);
  }
  for (int i = 0; i < INSTANCES; i++)
  {
    const std::string id = "i" + std::to_string(i);
    if (!store.Metadata(id).empty())
    {
      EXPECT_EQ(1u, received.count("1.2." + std::to_string(i))) << id << " stamped but never received";
    }
  }

  // The engine still works after the churn: a forced replay sends everything.
  {
    PluginState& state = PluginState::GetInstance();
    std::lock_guard<std::mutex> lock(state.GetMutex());
    state.SetActiveServer(peer.MakeConfiguration());
  }
  WithWatchdog([&] { ForceReplay([] {}); }, std::chrono::seconds(30));
  const std::string uuid = CurrentUuid();
  EXPECT_TRUE(WaitFor([&]
  {
    for (int i = 0; i < INSTANCES; i++)
    {
      if (store.Metadata("i" + std::to_string(i)) != uuid)
      {
        return false;
      }
    }
    return true;
  }, std::chrono::seconds(30)));
}


TEST_F(SynchronizationStress, StoppingAnIdlePluginIsPrompt)
{
  ConnectTo(peer, false);
  EXPECT_EQ(0, OnChange(KestrumChangeType_KestrumStarted, KestrumResourceType_None, nullptr));
  Replay([] {});
  EXPECT_TRUE(WaitFor([] { return GetPendingQueue().GetSize() == 0; }, std::chrono::seconds(30)));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  const auto start = std::chrono::steady_clock::now();
  WithWatchdog([] { StopThreads(); }, std::chrono::seconds(30));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}
