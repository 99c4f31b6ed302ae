// Stress of the whole plug-in: the host's change feed, the synchronization
// thread, the scan thread, the control operations, connects and the status
// reads all run at once for a bounded time. Built on its own so that it can
// run under ThreadSanitizer; a deadlock is caught by a watchdog.

#include "../SynchronizationTestSupport.h"

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

  class SynchronizationStress : public PluginTest
  {
  protected:
    FakeStore store;
    FakePeer peer{"http://peer.test:8042"};

    void SetUp() override
    {
      PluginTest::SetUp();
      store.Install(host);
      peer.Install(host);
      host.OnRestPutPrefix("/peers/").Answer("{}")
          .OnRestDeletePrefix("/peers/").Answer("");
      for (int i = 0; i < INSTANCES; i++)
      {
        store.Add("i" + std::to_string(i), "1.2." + std::to_string(i), 1000 + 37 * i);
      }
    }

    std::string CurrentUuid() { return Plugin().GetState().GetSnapshot().synchronizationUuid; }

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
  PluginState& state = Plugin().GetState();
  SynchronizationThreads& threads = Plugin().GetThreads();
  state.Connect(peer.MakeConfiguration());

  WithWatchdog([&]
  {
    HostStarted();

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
        host.NotifyChange(KestrumChangeType_NewInstance, KestrumResourceType_Instance, id);
        host.NotifyChange(KestrumChangeType_StableStudy, KestrumResourceType_Study, "study");
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
          case 0: threads.Replay([&] { controls++; }); break;
          case 1: threads.ForceReplay([&] { controls++; }); break;
          default: threads.ClearPending([&] { controls++; }); break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 60));
      }
    });

    // Connect, options and disconnect routes.
    workers.emplace_back([&]
    {
      std::mt19937 random(3);
      while (churning)
      {
        switch (random() % 4)
        {
          case 0: state.Connect(peer.MakeConfiguration()); break;
          case 1: state.Disconnect(); break;
          default: state.SetOptions({ random() % 2 == 0, std::nullopt }); break;
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
        const Json::Value status = Plugin().GetStatus().GetStatus();
        const uint64_t now = status["InstancesSuccess"].asUInt64() + status["InstancesError"].asUInt64();
        EXPECT_GE(now, previous) << "counters never go back";
        previous = now;
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

    // However slow the machine, the control operations must have met the rest a few times.
    const auto end = std::chrono::steady_clock::now() + CHURN_TIME;
    while (std::chrono::steady_clock::now() < end || controls < 6)
    {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    churning = false;
    for (std::thread& worker : workers)
    {
      worker.join();
    }
    flaky.join();

    // The host stops and starts again.
    EXPECT_EQ(0, host.NotifyChange(KestrumChangeType_KestrumStopped, KestrumResourceType_None, ""));
    HostStarted();
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
  state.Connect(peer.MakeConfiguration());
  WithWatchdog([&] { threads.ForceReplay([] {}); }, std::chrono::seconds(30));
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
  Plugin().GetState().Connect(peer.MakeConfiguration());
  HostStarted();
  Plugin().GetThreads().Replay([] {});
  EXPECT_TRUE(WaitFor([&] { return Plugin().GetStatistics().GetSuccessCount() == INSTANCES; }, std::chrono::seconds(30)));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  const auto start = std::chrono::steady_clock::now();
  WithWatchdog([] { KestrumPluginFinalize(); }, std::chrono::seconds(30));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}
