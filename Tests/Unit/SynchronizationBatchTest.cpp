// The pending queue and one batch: what is read from the host, what reaches
// the destination, and how the host's instances are marked afterwards.

#include "SynchronizationTestSupport.h"

#include <Synchronization/InstancesToSynchronize.h>

#include <KestrumException.h>

using namespace QuelbyCloud;
using namespace QuelbyCloud::Testing;

namespace
{
  class Token : public Kestrum::IDynamicObject
  {
  public:
    int value;
    explicit Token(int v) : value(v) {}
  };

  int TokenValue(const std::unique_ptr<Kestrum::IDynamicObject>& object)
  {
    const Token* token = dynamic_cast<const Token*>(object.get());
    return token == nullptr ? -1 : token->value;
  }

  long long ElapsedMs(std::chrono::steady_clock::time_point start)
  {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  }
}


TEST(SynchronizationQueueTest, FirstInFirstOutWithDuplicates)
{
  Kestrum::DynamicObjectQueue queue;
  queue.Enqueue(std::unique_ptr<Kestrum::IDynamicObject>(new Token(1)));
  queue.Enqueue(std::unique_ptr<Kestrum::IDynamicObject>(new Token(2)));
  queue.Enqueue(std::unique_ptr<Kestrum::IDynamicObject>(new Token(1)));
  EXPECT_EQ(3u, queue.GetSize());

  EXPECT_EQ(1, TokenValue(queue.Dequeue(0)));
  EXPECT_EQ(2, TokenValue(queue.Dequeue(0)));
  EXPECT_EQ(1, TokenValue(queue.Dequeue(0)));
  EXPECT_EQ(nullptr, queue.Dequeue(0));

  queue.Enqueue(std::unique_ptr<Kestrum::IDynamicObject>(new Token(3)));
  queue.Clear();
  EXPECT_EQ(0u, queue.GetSize());
  EXPECT_EQ(nullptr, queue.Dequeue(0));
}


TEST(SynchronizationQueueTest, EmptyQueueWaitsForTheTimeout)
{
  Kestrum::DynamicObjectQueue queue;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(nullptr, queue.Dequeue(100));
  const long long elapsed = ElapsedMs(start);
  EXPECT_GE(elapsed, 95);
  EXPECT_LT(elapsed, 1000);
}


TEST(SynchronizationQueueTest, ElementEnqueuedDuringTheWaitIsReturnedAtOnce)
{
  Kestrum::DynamicObjectQueue queue;
  std::thread producer([&queue]
  {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    queue.Enqueue(std::unique_ptr<Kestrum::IDynamicObject>(new Token(7)));
  });

  auto start = std::chrono::steady_clock::now();
  std::unique_ptr<Kestrum::IDynamicObject> object = queue.Dequeue(5000);
  const long long elapsed = ElapsedMs(start);
  producer.join();

  EXPECT_EQ(7, TokenValue(object));
  EXPECT_GE(elapsed, 40);
  EXPECT_LT(elapsed, 2000) << "the wait must end when the element arrives, not at the timeout";
}


TEST(SynchronizationQueueTest, PendingInstancesKeepTheirReplayFlag)
{
  PendingQueue queue;
  queue.Push("live", false);
  queue.Push("scanned", true);

  std::optional<PendingInstance> instance = queue.Pop();
  ASSERT_TRUE(instance);
  EXPECT_EQ("live", instance->GetInstanceId());
  EXPECT_FALSE(instance->IsReplay());
  instance = queue.Pop();
  ASSERT_TRUE(instance);
  EXPECT_EQ("scanned", instance->GetInstanceId());
  EXPECT_TRUE(instance->IsReplay());
  EXPECT_FALSE(queue.Pop());
}


namespace
{
  class SynchronizationBatchTest : public StoreAndPeerTest
  {
  protected:
    std::string uuid;

    void SetUp() override
    {
      StoreAndPeerTest::SetUp();
      uuid = ConnectTo(peer, false);
    }

    // The REST calls of one method into the host's instances.
    std::vector<FakeHost::RestCall> InstanceCalls(const std::string& method)
    {
      std::vector<FakeHost::RestCall> calls;
      for (const auto& call : host.RestCalls(method))
      {
        if (call.uri.compare(0, 11, "/instances/") == 0)
        {
          calls.push_back(call);
        }
      }
      return calls;
    }

    std::unique_ptr<InstancesToSynchronize> BatchOf(const std::vector<std::string>& ids)
    {
      std::unique_ptr<InstancesToSynchronize> batch = InstancesToSynchronize::CreateBatch(bridge, state);
      EXPECT_NE(nullptr, batch);
      for (const std::string& id : ids)
      {
        batch->AddInstance(id);
      }
      return batch;
    }

    bool HasWarningStartingWith(const std::string& prefix)
    {
      for (const std::string& line : host.Warnings())
      {
        if (line.compare(0, prefix.size(), prefix) == 0)
        {
          return true;
        }
      }
      return false;
    }
  };
}


TEST_F(SynchronizationBatchTest, NoBatchWithoutActiveServer)
{
  state.Disconnect();
  EXPECT_EQ(nullptr, InstancesToSynchronize::CreateBatch(bridge, state));
}


TEST_F(SynchronizationBatchTest, BatchKeepsItsCopiesWhenTheStateChanges)
{
  store.Add("a", "1.2.3");
  std::unique_ptr<InstancesToSynchronize> batch = BatchOf({ "a" });

  state.RenewSynchronizationUuid();
  state.SetOptions({ std::nullopt, true });

  EXPECT_TRUE(batch->Synchronize());
  EXPECT_TRUE(store.Has("a")) << "the deletion option was copied when the batch was made";
  EXPECT_EQ(uuid, store.Metadata("a"));
}


TEST_F(SynchronizationBatchTest, SendsTheFilesAndStampsEveryInstance)
{
  store.Add("a", "1.2.3", 1500);
  store.Add("b", "1.2.4", 2500);

  std::unique_ptr<InstancesToSynchronize> batch = BatchOf({ "a", "b" });
  EXPECT_EQ(2u, batch->GetSize());
  EXPECT_EQ(4000u, batch->GetTotalBytes());

  EXPECT_TRUE(batch->Synchronize());
  EXPECT_EQ(0u, batch->GetSize()) << "the batch is cleared once sent";

  EXPECT_EQ((std::vector<std::string>{ MakeFile("1.2.3", 1500), MakeFile("1.2.4", 2500) }), peer.Received());
  EXPECT_EQ(uuid, store.Metadata("a"));
  EXPECT_EQ(uuid, store.Metadata("b"));
  EXPECT_TRUE(store.Has("a"));

  EXPECT_TRUE(host.HasWarning("Quelby Cloud plugin: Starting the synchronization of 2 DICOM instance(s) (4000 bytes)"));
  EXPECT_TRUE(HasWarningStartingWith("Quelby Cloud plugin: Sucessfully synchronized 2 DICOM instance(s) (4000 bytes), in "));
  EXPECT_TRUE(InstanceCalls("DELETE").empty());
}


TEST_F(SynchronizationBatchTest, StampIsTheUuidTextAlone)
{
  store.Add("a", "1.2.3");
  EXPECT_TRUE(BatchOf({ "a" })->Synchronize());

  auto puts = InstanceCalls("PUT");
  ASSERT_EQ(1u, puts.size());
  EXPECT_EQ("/instances/a/metadata/4455", puts[0].uri);
  EXPECT_EQ(uuid, puts[0].body);
  EXPECT_FALSE(puts[0].withPlugins);
}


TEST_F(SynchronizationBatchTest, AutomatedDeletionDeletesInsteadOfStamping)
{
  uuid = ConnectTo(peer, true);
  store.Add("a", "1.2.3");
  store.Add("b", "1.2.4");

  EXPECT_TRUE(BatchOf({ "a", "b" })->Synchronize());

  EXPECT_EQ(2u, peer.Received().size());
  EXPECT_FALSE(store.Has("a"));
  EXPECT_FALSE(store.Has("b"));
  EXPECT_TRUE(InstanceCalls("PUT").empty());
}


TEST_F(SynchronizationBatchTest, SkipsRepeatedVanishedStampedAndUnreadableInstances)
{
  store.Add("stamped", "1.1");
  store.SetMetadata("stamped", uuid);
  store.Add("older", "1.2");
  store.SetMetadata("older", "an-older-generation");
  store.Add("unreadable", "1.3");
  store.SetFileReadable("unreadable", false);
  store.Add("fine", "1.4");

  std::unique_ptr<InstancesToSynchronize> batch =
    BatchOf({ "vanished", "stamped", "older", "unreadable", "fine", "older" });
  EXPECT_EQ(2u, batch->GetSize());

  EXPECT_TRUE(batch->Synchronize());
  EXPECT_EQ((std::vector<std::string>{ "1.2", "1.4" }), peer.ReceivedUids());
  EXPECT_TRUE(host.Errors().empty()) << "skips are silent";
}


TEST_F(SynchronizationBatchTest, EmptyBatchSucceedsWithoutContactingAnyone)
{
  std::unique_ptr<InstancesToSynchronize> batch = BatchOf({ "vanished" });
  const size_t warnings = host.Warnings().size();

  EXPECT_TRUE(batch->Synchronize());
  EXPECT_TRUE(host.HttpRequests().empty());
  EXPECT_EQ(warnings, host.Warnings().size());
}


TEST_F(SynchronizationBatchTest, DescriptionWithoutTagsIsRejected)
{
  store.Add("a", "1.2.3");
  store.Add("broken", "9.9");
  store.SetDescription("broken", "{\"ID\":\"broken\"}");
  store.Add("numeric", "9.8");
  store.SetDescription("numeric", "{\"MainDicomTags\":{\"SOPInstanceUID\":42}}");

  std::unique_ptr<InstancesToSynchronize> batch = BatchOf({ "a" });
  for (const std::string id : { "broken", "numeric" })
  {
    try
    {
      batch->AddInstance(id);
      ADD_FAILURE() << id;
    }
    catch (const Kestrum::KestrumException& e)
    {
      EXPECT_EQ(Kestrum::ErrorCode_BadFileFormat, e.GetErrorCode());
    }
  }
  EXPECT_EQ(1u, batch->GetSize()) << "what was added before stays in the batch";
}


TEST_F(SynchronizationBatchTest, HostErrorsWhileReadingAreThrown)
{
  host.OnRestGet("/instances/a").Fail(Kestrum::ErrorCode_Database);
  EXPECT_THROW(BatchOf({ "a" }), Kestrum::KestrumException);
}


TEST_F(SynchronizationBatchTest, FailedSendMarksNothing)
{
  store.Add("a", "1.2.3", 700);
  peer.SetFailing(true);

  EXPECT_FALSE(BatchOf({ "a" })->Synchronize());
  EXPECT_EQ("", store.Metadata("a"));
  EXPECT_TRUE(InstanceCalls("PUT").empty());
  bool found = false;
  for (const std::string& line : host.Errors())
  {
    found |= (line.find("Quelby Cloud plugin: Error during synchronization of 1 DICOM instance(s) (700 bytes), after ") == 0 &&
              line.back() == 's' && line.find(" ms") == std::string::npos);
  }
  EXPECT_TRUE(found);
}


TEST_F(SynchronizationBatchTest, HostRefusingAStampKeepsTheBatchASuccess)
{
  store.Add("a", "1.1");
  store.Add("b", "1.2");
  store.Add("c", "1.3");
  store.FailPut("b", Kestrum::ErrorCode_Database);

  EXPECT_TRUE(BatchOf({ "a", "b", "c" })->Synchronize());
  EXPECT_EQ(uuid, store.Metadata("a"));
  EXPECT_EQ("", store.Metadata("b"));
  EXPECT_EQ(uuid, store.Metadata("c")) << "the instances after the refused one are still marked";

  bool warned = false;
  for (const std::string& line : host.Warnings())
  {
    warned |= (line.find("instance b") != std::string::npos);
  }
  EXPECT_TRUE(warned);
  EXPECT_TRUE(HasWarningStartingWith("Quelby Cloud plugin: Sucessfully synchronized 3 DICOM instance(s)"));
}


TEST_F(SynchronizationBatchTest, HostRefusingADeletionKeepsTheBatchASuccess)
{
  ConnectTo(peer, true);
  store.Add("a", "1.1");
  store.Add("b", "1.2");
  store.FailDelete("a", Kestrum::ErrorCode_Database);

  EXPECT_TRUE(BatchOf({ "a", "b" })->Synchronize());
  EXPECT_TRUE(store.Has("a"));
  EXPECT_FALSE(store.Has("b"));
}


TEST_F(SynchronizationBatchTest, DestinationThatIsThisHostIsNeverDeletedFrom)
{
  // The default destination is this machine on port 8042, which is also
  // this host's port when its configuration does not say otherwise.
  FakePeer self("http://localhost:8042");
  self.Install(host);
  const std::string selfUuid = ConnectTo(self, true);
  store.Add("a", "1.1");
  store.Add("b", "1.2");

  EXPECT_TRUE(BatchOf({ "a", "b" })->Synchronize());

  EXPECT_TRUE(store.Has("a"));
  EXPECT_TRUE(store.Has("b"));
  EXPECT_EQ(selfUuid, store.Metadata("a"));
  EXPECT_EQ(selfUuid, store.Metadata("b"));
  size_t lines = 0;
  for (const std::string& line : host.Errors())
  {
    lines += (line.find("is this Kestrum server itself") != std::string::npos);
  }
  EXPECT_EQ(1u, lines) << "one line per batch";
}


TEST_F(SynchronizationBatchTest, OnlyALoopbackUrlOnTheHostsOwnPortKeepsTheInstances)
{
  struct Case { std::string url; unsigned int hostPort; bool kept; };
  const std::vector<Case> cases = {
    { "http://localhost:8042", 8042, true },
    { "http://LOCALHOST:8042/", 8042, true },
    { "http://127.0.0.1:8042/dicom-web", 8042, true },
    { "http://127.1.2.3:8042", 8042, true },
    { "http://[::1]:8042", 8042, true },
    { "http://user:pw@localhost:8042", 8042, true },
    { "http://localhost", 80, true },
    { "https://localhost/", 443, true },
    { "http://localhost:8042", 8043, false },
    { "http://localhost", 8042, false },
    { "https://localhost", 80, false },
    { "http://cloud.kestrum.example:8042", 8042, false },
    { "http://localhost.example:8042", 8042, false },
    { "http://128.0.0.1:8042", 8042, false },
    { "http://127.0.0.1:notaport", 8042, false },
    { "localhost:8042", 8042, false },
    { "", 8042, false }
  };

  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.url + " on port " + std::to_string(c.hostPort));
    host.Reset();
    store.Install(host);
    host.SetConfiguration("{\"HttpPort\": " + std::to_string(c.hostPort) + "}");
    ServerConfiguration server = peer.MakeConfiguration();
    server.SetUrl(c.url);
    FakePeer target(server.GetUrl());
    target.Install(host);
    store.Add("a", "1.1");

    InstancesToSynchronize batch(bridge, server, true, uuid);
    batch.AddInstance("a");
    EXPECT_TRUE(batch.Synchronize());
    EXPECT_EQ(c.kept, store.Has("a"));
  }
}
