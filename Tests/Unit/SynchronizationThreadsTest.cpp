// The two background threads and the change feed, driven as the host and
// the REST routes drive them, against a store and a peer of the test host.

#include "SynchronizationTestSupport.h"

#include <Synchronization/SynchronizationStatistics.h>
#include <Synchronization/SynchronizationThreads.h>

#include <KestrumException.h>

#include <atomic>
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
    ControlAnswer answer = [this] { answers++; };

    uint64_t success0, errors0, bytes0;

    void SetUp() override
    {
      StoreAndPeerTest::SetUp();
      ForgetState();   // as in a plug-in just loaded: the host's start reads what is stored
      success0 = SynchronizationStatistics::GetSuccessCount();
      errors0 = SynchronizationStatistics::GetErrorCount();
      bytes0 = SynchronizationStatistics::GetTransferredBytes();
    }

    void TearDown() override
    {
      StopThreads();
      GetPendingQueue().Clear();
      FakeHostTest::TearDown();
    }

    // Stores the peer as the active server, as a connect before the restart did.
    void StoreConnection(bool automatedDeletion, bool automatedRouting = true)
    {
      ConnectTo(peer, automatedDeletion, automatedRouting);
      PluginState& state = PluginState::GetInstance();
      std::lock_guard<std::mutex> lock(state.GetMutex());
      state.Save();
    }

    static void ForgetState()
    {
      PluginState& state = PluginState::GetInstance();
      std::lock_guard<std::mutex> lock(state.GetMutex());
      state.Forget();
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

    void HostStarted()
    {
      EXPECT_EQ(0, OnChange(KestrumChangeType_KestrumStarted, KestrumResourceType_None, nullptr));
    }

    void NewInstance(const std::string& id)
    {
      EXPECT_EQ(0, OnChange(KestrumChangeType_NewInstance, KestrumResourceType_Instance, id.c_str()));
    }

    uint64_t Successes() { return SynchronizationStatistics::GetSuccessCount() - success0; }
    uint64_t Errors() { return SynchronizationStatistics::GetErrorCount() - errors0; }
    uint64_t Bytes() { return SynchronizationStatistics::GetTransferredBytes() - bytes0; }

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


TEST_F(SynchronizationThreadsTest, NoActiveServerDropsEverythingWithoutCounting)
{
  store.Add("a", "1.1");
  HostStarted();
  NewInstance("a");

  ASSERT_TRUE(WaitFor([] { return GetPendingQueue().GetSize() == 0; }));
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

  ASSERT_TRUE(WaitFor([] { return GetPendingQueue().GetSize() == 0; }));
  Settle();
  EXPECT_TRUE(peer.Received().empty());

  Replay(answer);
  EXPECT_EQ(1, answers);
  ASSERT_TRUE(WaitFor([&] { return Successes() == 1; }));
  EXPECT_EQ((std::vector<std::string>{ "1.1" }), peer.ReceivedUids());
}


TEST_F(SynchronizationThreadsTest, FailedAndAbandonedBatchesAreCountedApart)
{
  StoreConnection(false);
  store.Add("a", "1.1", 500);
  peer.SetFailing(true);
  HostStarted();
  NewInstance("a");

  ASSERT_TRUE(WaitFor([&] { return Errors() == 1; }));
  EXPECT_EQ(500u, Bytes()) << "bytes are counted before the send, whatever the outcome";
  EXPECT_EQ("", store.Metadata("a"));

  // A description without tags abandons the batch: logged, not counted.
  peer.SetFailing(false);
  store.Add("broken", "9.9");
  store.SetDescription("broken", "{}");
  NewInstance("broken");
  ASSERT_TRUE(WaitFor([&] { return HasErrorContaining("Exception encountered in synchronization threads: Bad file format"); }));
  Settle();
  EXPECT_EQ(1u, Errors());
  EXPECT_EQ(0u, Successes());

  // The thread survives both.
  store.Add("b", "1.2");
  NewInstance("b");
  ASSERT_TRUE(WaitFor([&] { return Successes() == 1; }));
}


TEST_F(SynchronizationThreadsTest, StateReadByARequestBeforeTheStartIsNeitherReadNorDeclaredAgain)
{
  StoreConnection(false);
  ForgetState();
  const size_t declarations = PeerDeclarations();

  {
    // What a REST route served before the host's announcement does first.
    PluginState& state = PluginState::GetInstance();
    std::lock_guard<std::mutex> lock(state.GetMutex());
    state.LoadIfNeeded();
  }
  EXPECT_EQ(declarations + 1, PeerDeclarations());

  HostStarted();
  store.Add("a", "1.2.3");
  NewInstance("a");
  ASSERT_TRUE(WaitFor([&] { return Successes() == 1; }));
  EXPECT_EQ(declarations + 1, PeerDeclarations())
    << "the stored server was declared again at the start";
}


TEST_F(SynchronizationThreadsTest, ForceReplayBeforeTheStartKeepsItsNewGeneration)
{
  StoreConnection(false);
  const std::string stored = CurrentUuid();
  ForgetState();

  ForceReplay(answer);
  EXPECT_EQ(1, answers);
  const std::string renewed = CurrentUuid();
  EXPECT_NE(stored, renewed);

  HostStarted();
  EXPECT_EQ(renewed, CurrentUuid()) << "the start brought the stored generation back";
}


TEST_F(SynchronizationThreadsTest, FailedLoadKeepsTheThreadStoppedUntilClearPending)
{
  host.SetGlobalProperty(PluginState::GLOBAL_PROPERTY, "{\"AutomatedRouting\": \"yes\"}");
  HostStarted();
  EXPECT_TRUE(host.HasError("Exception: Bad file format"));

  NewInstance("a");
  Settle();
  EXPECT_EQ(1u, GetPendingQueue().GetSize()) << "no synchronization thread is draining the queue";

  ClearPending(answer);
  EXPECT_EQ(1, answers);
  EXPECT_EQ(0u, GetPendingQueue().GetSize());
  EXPECT_TRUE(host.HasError("Quelby cloud: Clearing all the pending synchronizations"));

  NewInstance("b");
  ASSERT_TRUE(WaitFor([] { return GetPendingQueue().GetSize() == 0; }));
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

  Replay(answer);
  EXPECT_TRUE(host.HasWarning("Quelby cloud plugin: Starting a scan of all the available instances"));

  ASSERT_TRUE(WaitFor([] { return GetPendingQueue().GetSize() == 250; }));
  Settle();
  EXPECT_EQ(250u, GetPendingQueue().GetSize()) << "the scan ends on the last page";
  EXPECT_EQ(3u, store.ChangesRequests());   // 255 changes in pages of 100

  std::string id;
  bool replay = false;
  for (int i = 0; i < 250; i++)
  {
    ASSERT_TRUE(DequeuePendingInstance(id, replay));
    EXPECT_EQ("i" + std::to_string(i), id);
    EXPECT_TRUE(replay);
  }
  EXPECT_TRUE(host.Errors().empty());
}


TEST_F(SynchronizationThreadsTest, ScanStopsAtABadChangeAfterQueueingTheOnesBefore)
{
  store.Add("a", "1.1");
  store.Add("b", "1.2");
  store.AddChange("42");
  store.Add("c", "1.3");

  Replay(answer);
  ASSERT_TRUE(WaitFor([&] { return host.HasError("Exception encountered in synchronization threads: Bad file format"); }));
  EXPECT_EQ(2u, GetPendingQueue().GetSize());
  Settle();
  EXPECT_EQ(1u, store.ChangesRequests()) << "a scan is never retried by itself";
}


TEST_F(SynchronizationThreadsTest, ScanEndsWhenTheHistoryCannotBeRead)
{
  store.FailChanges(Kestrum::ErrorCode_UnknownResource);
  Replay(answer);
  ASSERT_TRUE(WaitFor([&] { return host.HasError("Exception encountered in synchronization threads: Internal error"); }));
  EXPECT_TRUE(host.HasError("Internal error: Cannot get changes"));
}


TEST_F(SynchronizationThreadsTest, ReplaySendsOnlyWhatIsMissingAndForceReplaySendsAll)
{
  StoreConnection(false);
  store.Add("a", "1.1");
  store.Add("b", "1.2");
  HostStarted();

  Replay(answer);
  ASSERT_TRUE(WaitFor([&] { return Successes() == 2; }));
  ASSERT_TRUE(WaitFor([&] { return store.Metadata("b") != ""; }));

  store.Add("c", "1.3");
  Replay(answer);
  ASSERT_TRUE(WaitFor([&] { return Successes() == 3; }));
  Settle();
  EXPECT_EQ((std::vector<std::string>{ "1.1", "1.2", "1.3" }), peer.ReceivedUids());

  const std::string before = CurrentUuid();
  ForceReplay(answer);
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

  Replay([&]
  {
    stopper = std::async(std::launch::async, [&] { StopThreads(); stopped = true; });
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
  StopThreads();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::seconds(2));

  // Stopped for good: nothing pending is taken any more.
  NewInstance("a");
  Settle();
  EXPECT_EQ(1u, GetPendingQueue().GetSize());

  // The host's stop does the same, and a second stop is harmless.
  HostStarted();
  EXPECT_EQ(0, OnChange(KestrumChangeType_KestrumStopped, KestrumResourceType_None, nullptr));
  StopThreads();
}
