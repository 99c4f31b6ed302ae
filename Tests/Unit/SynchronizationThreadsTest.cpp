// The two background threads and the queue they drain, driven as the host's
// start and stop and the REST routes drive them, against a store and a peer
// of the test host.

#include "SynchronizationTestSupport.h"

#include <KestrumException.h>

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <future>

using namespace QuelbyCloud;
using namespace QuelbyCloud::Testing;

namespace
{
  const size_t TWO_MIB = 2 * 1024 * 1024;

  class SynchronizationThreadsTest : public StoreAndPeerTest
  {
  protected:
    int answers = 0;
    SynchronizationThreads::ControlAnswer answer = [this] { answers++; };

    // Stores the peer as the active server, as the plug-in of the previous run did. Returns the stored UUID.
    std::string StoreConnection(bool automatedDeletion, bool automatedRouting = true)
    {
      PluginState previous(bridge);
      previous.Connect(peer.MakeConfiguration());
      previous.SetOptions({ automatedRouting, automatedDeletion });
      return previous.GetSnapshot().synchronizationUuid;
    }

    size_t PeerDeclarations() const
    {
      size_t count = 0;
      for (const FakeHost::RestCall& call : host.RestCalls("PUT"))
      {
        count += (call.uri.compare(0, 7, "/peers/") == 0);
      }
      return count;
    }

    void HostStarted() { threads.OnHostStarted(); }
    void NewInstance(const std::string& id) { pending.Push(id, false); }

    uint64_t Successes() { return statistics.GetSuccessCount(); }
    uint64_t Errors() { return statistics.GetErrorCount(); }
    uint64_t Bytes() { return statistics.GetTransferredBytes(); }

    bool HasErrorContaining(const std::string& text)
    {
      for (const std::string& line : host.Errors())
      {
        if (line.find(text) != std::string::npos)
        {
          return true;
        }
      }
      return false;
    }

    size_t CountWarningsStartingWith(const std::string& prefix)
    {
      size_t count = 0;
      for (const std::string& line : host.Warnings())
      {
        count += (line.compare(0, prefix.size(), prefix) == 0);
      }
      return count;
    }

    // Threads of this process that run only on a CPU nothing else wants.
    static size_t BackgroundThreads()
    {
      size_t count = 0;
      for (const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
      {
        count += (sched_getscheduler(std::stoi(task.path().filename().string())) == SCHED_IDLE);
      }
      return count;
    }

    // Lets the synchronization thread run a few idle passes.
    static void Settle()
    {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
  };
}


TEST_F(SynchronizationThreadsTest, LiveInstanceIsSentAndStampedAfterTheHostStarted)
{
  StoreConnection(false);
  store.Add("a", "1.2.3", 3000);

  HostStarted();
  NewInstance("a");

  ASSERT_TRUE(WaitFor([&] { return store.Metadata("a") == CurrentUuid(); }));
  EXPECT_EQ((std::vector<std::string>{ "1.2.3" }), peer.ReceivedUids());
  ASSERT_TRUE(WaitFor([&] { return Successes() == 1; }));
  EXPECT_EQ(0u, Errors());
  EXPECT_EQ(3000u, Bytes());
}


TEST_F(SynchronizationThreadsTest, ThreeLargeInstancesMakeOneBatchAndAFourthTheNext)
{
  StoreConnection(false);
  for (const std::string id : { "a", "b", "c", "d" })
  {
    store.Add(id, "1.2." + id, TWO_MIB);
    NewInstance(id);   // all pending before the thread starts
  }

  HostStarted();

  ASSERT_TRUE(WaitFor([&] { return Successes() == 4; }));
  EXPECT_EQ(1u, CountWarningsStartingWith("Quelby Cloud plugin: Starting the synchronization of 3 DICOM instance(s) (6291456 bytes)"));
  EXPECT_EQ(1u, CountWarningsStartingWith("Quelby Cloud plugin: Starting the synchronization of 1 DICOM instance(s) (2097152 bytes)"));
  EXPECT_EQ((std::vector<std::string>{ "1.2.a", "1.2.b", "1.2.c", "1.2.d" }), peer.ReceivedUids());
  EXPECT_EQ(4 * TWO_MIB, Bytes());
}


TEST_F(SynchronizationThreadsTest, BatchesOverlapAndEachIsStampedOnItsOwn)
{
  host.SetConfiguration("{\"QuelbyCloud\": {\"ConcurrentBatches\": 2}}");
  StoreConnection(false);
  peer.SetGate(3);   // the first batch waits until another is on its way too
  peer.FailUid("1.2.c");
  peer.FailUid("1.2.d");
  for (const std::string id : { "a", "b", "c", "d", "e", "f" })
  {
    store.Add(id, "1.2." + id, 3 * 1024 * 1024);   // two to a batch
    NewInstance(id);
  }

  HostStarted();
  ASSERT_TRUE(WaitFor([&] { return Successes() == 4 && Errors() >= 2; }, std::chrono::seconds(30)));

  // Two batches were on their way at once, never three; the failed one stamps nothing.
  EXPECT_GT(peer.MostActive(), 2);
  EXPECT_LE(peer.MostActive(), 4);
  const std::string generation = CurrentUuid();
  for (const std::string id : { "a", "b", "e", "f" })
  {
    EXPECT_EQ(generation, store.Metadata(id)) << id;
  }
  EXPECT_EQ("", store.Metadata("c"));
  EXPECT_EQ("", store.Metadata("d"));
}


TEST_F(SynchronizationThreadsTest, InTheBackgroundTheDeliveryYieldsTheCpusToTheHost)
{
  host.SetConfiguration("{\"QuelbyCloud\": {\"DeliveryPriority\": \"Background\"}}");
  StoreConnection(false);
  store.Add("a", "1.2.a");
  NewInstance("a");
  HostStarted();

  ASSERT_TRUE(WaitFor([&] { return Successes() == 1; }));
  EXPECT_GE(BackgroundThreads(), 1u);
  EXPECT_EQ(SCHED_OTHER, sched_getscheduler(0));   // the host's threads keep their priority
}


TEST_F(SynchronizationThreadsTest, UnusableSettingsAreLoggedAndTheDefaultsHold)
{
  host.SetConfiguration("{\"QuelbyCloud\": {\"ConcurrentBatches\": 0, \"DeliveryPriority\": \"background\"}}");
  HostStarted();

  EXPECT_EQ(SynchronizationThreads::DEFAULT_CONCURRENT_BATCHES, threads.GetConcurrentBatches());
  EXPECT_EQ(1u, CountWarningsStartingWith("Quelby Cloud plugin: \"ConcurrentBatches\" must be a number from 1 to 16"));
  EXPECT_EQ(1u, CountWarningsStartingWith("Quelby Cloud plugin: \"DeliveryPriority\" must be \"Normal\" or \"Background\""));
  Settle();
  EXPECT_EQ(0u, BackgroundThreads());
}


TEST_F(SynchronizationThreadsTest, NoActiveServerDropsEverythingWithoutCounting)
{
  store.Add("a", "1.1");
  HostStarted();
  NewInstance("a");

  ASSERT_TRUE(WaitFor([&] { return pending.GetSize() == 0; }));
  Settle();
  EXPECT_TRUE(peer.Received().empty());
  EXPECT_EQ(0u, Successes());
  EXPECT_EQ(0u, Errors());
  EXPECT_EQ(0u, Bytes());
}


TEST_F(SynchronizationThreadsTest, RoutingOffDropsLiveInstancesButNotReplayedOnes)
{
  StoreConnection(false, false);
  store.Add("a", "1.1");
  HostStarted();
  NewInstance("a");

  ASSERT_TRUE(WaitFor([&] { return pending.GetSize() == 0; }));
  Settle();
  EXPECT_TRUE(peer.Received().empty());

  threads.Replay(answer);
  EXPECT_EQ(1, answers);
  ASSERT_TRUE(WaitFor([&] { return Successes() == 1; }));
  EXPECT_EQ((std::vector<std::string>{ "1.1" }), peer.ReceivedUids());
}


TEST_F(SynchronizationThreadsTest, AbandonedAndFailedBatchesAreCountedApartAndTheFailedOneHeals)
{
  StoreConnection(false);
  HostStarted();

  // A description without tags abandons the batch: logged, not counted.
  store.Add("broken", "9.9");
  store.SetDescription("broken", "{}");
  NewInstance("broken");
  ASSERT_TRUE(WaitFor([&] { return HasErrorContaining("Exception encountered in synchronization threads: Bad file format"); }));
  Settle();
  EXPECT_EQ(0u, Errors());

  store.Add("a", "1.1", 500);
  peer.SetFailing(true);
  NewInstance("a");
  ASSERT_TRUE(WaitFor([&] { return Errors() == 1; }));
  EXPECT_EQ(500u, Bytes()) << "bytes are counted before the send, whatever the outcome";
  EXPECT_EQ("", store.Metadata("a"));
  EXPECT_EQ(0u, Successes());

  // The thread survives both, and sends the failed instance again by itself.
  peer.SetFailing(false);
  ASSERT_TRUE(WaitFor([&] { return Successes() == 1; }));
  EXPECT_EQ(CurrentUuid(), store.Metadata("a"));
}


TEST_F(SynchronizationThreadsTest, SaveBeforeTheStartKeepsTheStoredServerAndTheStartNeitherReadsNorDeclaresAgain)
{
  StoreConnection(false);
  const size_t declarations = PeerDeclarations();
  const size_t reads = host.CountGlobalPropertyReads(PluginState::GLOBAL_PROPERTY);

  // What the options route served before the host's announcement does.
  state.SetOptions({ std::nullopt, false });
  EXPECT_EQ(reads + 1, host.CountGlobalPropertyReads(PluginState::GLOBAL_PROPERTY));
  EXPECT_EQ(declarations + 1, PeerDeclarations());
  EXPECT_NE(std::string::npos, host.GetGlobalProperty(PluginState::GLOBAL_PROPERTY)->find("\"ActiveServer\""))
    << "the save overwrote the stored destination";

  HostStarted();
  store.Add("a", "1.2.3");
  NewInstance("a");
  ASSERT_TRUE(WaitFor([&] { return Successes() == 1; }));
  EXPECT_EQ(reads + 1, host.CountGlobalPropertyReads(PluginState::GLOBAL_PROPERTY));
  EXPECT_EQ(declarations + 1, PeerDeclarations()) << "the stored server was declared again at the start";
}


TEST_F(SynchronizationThreadsTest, ForceReplayBeforeTheStartKeepsItsNewGeneration)
{
  const std::string stored = StoreConnection(false);

  threads.ForceReplay(answer);
  EXPECT_EQ(1, answers);
  const std::string renewed = CurrentUuid();
  EXPECT_NE(stored, renewed);

  HostStarted();
  EXPECT_EQ(renewed, CurrentUuid()) << "the start brought the stored generation back";
}


TEST_F(SynchronizationThreadsTest, UnreadableStoredStateStillStartsTheThread)
{
  host.SetGlobalProperty(PluginState::GLOBAL_PROPERTY, "{\"AutomatedRouting\": \"yes\"}");
  HostStarted();
  ASSERT_TRUE(host.HasWarning(UNREADABLE_STATE_WARNING));

  ConnectTo(peer, false);
  store.Add("a", "1.1");
  NewInstance("a");
  ASSERT_TRUE(WaitFor([&] { return Successes() == 1; }));
}


TEST_F(SynchronizationThreadsTest, ScanQueuesEveryNewInstanceOverSeveralPages)
{
  // No synchronization thread: what the scan queues stays visible.
  for (int i = 0; i < 250; i++)
  {
    store.Add("i" + std::to_string(i), "1." + std::to_string(i));
    if (i % 50 == 0)
    {
      store.AddChange("{\"ChangeType\":\"StableStudy\",\"ID\":\"study\"}");
    }
  }

  threads.Replay(answer);
  EXPECT_TRUE(host.HasWarning("Quelby cloud plugin: Starting a scan of all the available instances"));

  ASSERT_TRUE(WaitFor([&] { return pending.GetSize() == 250; }));
  Settle();
  EXPECT_EQ(250u, pending.GetSize()) << "the scan ends on the last page";
  EXPECT_EQ(3u, store.ChangesRequests());   // 255 changes in pages of 100

  for (int i = 0; i < 250; i++)
  {
    const std::optional<PendingInstance> instance = pending.Pop();
    ASSERT_TRUE(instance);
    EXPECT_EQ("i" + std::to_string(i), instance->GetInstanceId());
    EXPECT_TRUE(instance->IsReplay());
  }
  EXPECT_TRUE(host.Errors().empty());
}


TEST_F(SynchronizationThreadsTest, ScanStopsAtABadChangeAfterQueueingTheOnesBefore)
{
  store.Add("a", "1.1");
  store.Add("b", "1.2");
  store.AddChange("42");
  store.Add("c", "1.3");

  threads.Replay(answer);
  ASSERT_TRUE(WaitFor([&] { return host.HasError("Exception encountered in synchronization threads: Bad file format"); }));
  EXPECT_EQ(2u, pending.GetSize());
  Settle();
  EXPECT_EQ(1u, store.ChangesRequests()) << "a scan is never retried by itself";
}


TEST_F(SynchronizationThreadsTest, ScanEndsWhenTheHistoryCannotBeRead)
{
  store.FailChanges(Kestrum::ErrorCode_UnknownResource);
  threads.Replay(answer);
  ASSERT_TRUE(WaitFor([&] { return host.HasError("Exception encountered in synchronization threads: Internal error"); }));
  EXPECT_TRUE(host.HasError("Internal error: Cannot get changes"));
}


TEST_F(SynchronizationThreadsTest, ReplaySendsOnlyWhatIsMissingAndForceReplaySendsAll)
{
  StoreConnection(false);
  store.Add("a", "1.1");
  store.Add("b", "1.2");
  HostStarted();

  threads.Replay(answer);
  ASSERT_TRUE(WaitFor([&] { return Successes() == 2; }));
  ASSERT_TRUE(WaitFor([&] { return store.Metadata("b") != ""; }));

  store.Add("c", "1.3");
  threads.Replay(answer);
  ASSERT_TRUE(WaitFor([&] { return Successes() == 3; }));
  Settle();
  EXPECT_EQ((std::vector<std::string>{ "1.1", "1.2", "1.3" }), peer.ReceivedUids());

  const std::string before = CurrentUuid();
  threads.ForceReplay(answer);
  EXPECT_NE(before, CurrentUuid());
  ASSERT_TRUE(WaitFor([&] { return Successes() == 6; }));
  EXPECT_EQ(6u, peer.Received().size());
  EXPECT_EQ(3, answers);
  ASSERT_TRUE(WaitFor([&] { return store.Metadata("a") == CurrentUuid(); }));
}


TEST_F(SynchronizationThreadsTest, AutomatedDeletionEmptiesTheHost)
{
  StoreConnection(true);
  store.Add("a", "1.1");
  store.Add("b", "1.2");
  HostStarted();
  NewInstance("a");
  NewInstance("b");

  ASSERT_TRUE(WaitFor([&] { return store.Count() == 0; }));
  EXPECT_EQ((std::vector<std::string>{ "1.1", "1.2" }), peer.ReceivedUids());
}


TEST_F(SynchronizationThreadsTest, AnswerIsSentWhileTheThreadsAreStillLocked)
{
  std::atomic<bool> stopped(false);
  std::future<void> stopper;
  bool stoppedDuringAnswer = true;

  threads.Replay([&]
  {
    stopper = std::async(std::launch::async, [&] { threads.StopThreads(); stopped = true; });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stoppedDuringAnswer = stopped;
  });

  stopper.wait();
  EXPECT_FALSE(stoppedDuringAnswer);
  EXPECT_TRUE(stopped);
}


TEST_F(SynchronizationThreadsTest, StoppingIdleThreadsIsPrompt)
{
  StoreConnection(false);
  HostStarted();
  Settle();

  auto start = std::chrono::steady_clock::now();
  threads.StopThreads();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::seconds(2));

  // Stopped for good: nothing pending is taken any more.
  NewInstance("a");
  Settle();
  EXPECT_EQ(1u, pending.GetSize());

  // The host's stop does the same, and a second stop is harmless.
  HostStarted();
  threads.OnHostStopping();
  threads.StopThreads();
}
