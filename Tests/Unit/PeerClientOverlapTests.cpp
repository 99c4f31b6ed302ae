// The peer client sends several files at once, on threads of its own: at
// most a few are on their way together, each still counts only once read
// back, a failure stops what has not left yet, and nothing outlives the
// client, not even a file it was handed to keep.

#include <TransferClients/KestrumPeerClient.h>

#include <Compression/GzipCompressor.h>
#include <FakeHostTest.h>
#include <KestrumException.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

using namespace QuelbyCloud;
using QuelbyCloud::Testing::FakeHost;
using QuelbyCloud::Testing::FakeHostTest;

namespace
{
  const std::string ROOT = "https://peer.example";

  // Distinct files whose first byte after the magic names their UID "1.<n>".
  std::string LargeFile(int n)
  {
    std::string file(200 * 1024, static_cast<char>('a' + n));
    file.replace(0, 4, "DICM");
    return file;
  }

  class PeerClientOverlapTest : public FakeHostTest
  {
  protected:
    std::mutex mutex;
    int active = 0;
    int mostActive = 0;
    std::vector<int> readBack;   // files read back, in order

    // Each upload takes a while and is stored under the number of its file;
    // the file numbered `failing` is refused.
    void ServePeer(int failing, const std::string& root = ROOT, int readBackMs = 0)
    {
      host.OnHttp(root + "/instances").Compute([this, failing](const FakeHost::HttpRequest& request) {
            std::string file = request.body;
            if (file.compare(0, 4, "DICM") != 0)
            {
              Kestrum::GzipCompressor().Decompress(file, request.body.data(), request.body.size());
            }
            const int n = file[4] - 'a';
            {
              std::lock_guard<std::mutex> lock(mutex);
              mostActive = std::max(mostActive, ++active);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            std::lock_guard<std::mutex> lock(mutex);
            active--;
            return n == failing ? FakeHost::HttpReply::Failure(Kestrum::ErrorCode_NetworkProtocol)
                                : FakeHost::HttpReply::Ok("{\"ID\": \"" + std::to_string(n) + "\"}");
          })
          .OnHttpPrefix(root + "/instances/").Compute([this, root, readBackMs](const FakeHost::HttpRequest& request) {
            std::this_thread::sleep_for(std::chrono::milliseconds(readBackMs));
            const std::string n = request.url.substr(root.size() + 11);
            std::lock_guard<std::mutex> lock(mutex);
            readBack.push_back(std::stoi(n));
            return FakeHost::HttpReply::Ok("{\"MainDicomTags\": {\"SOPInstanceUID\": \"1." + n + "\"}}");
          });
    }
  };
}


TEST_F(PeerClientOverlapTest, SeveralFilesAreOnTheirWayAtOnceAndEachIsReadBack)
{
  ServePeer(-1);
  KestrumPeerClient client(bridge, ROOT, {}, true);
  for (int n = 0; n < 10; n++)
  {
    client.AddInstance("1." + std::to_string(n), LargeFile(n));   // the caller frees its file at once
  }
  EXPECT_TRUE(client.Send());

  EXPECT_GE(mostActive, 2);
  EXPECT_LE(mostActive, static_cast<int>(KestrumPeerClient::MAX_UPLOADS_IN_FLIGHT));
  std::sort(readBack.begin(), readBack.end());
  EXPECT_EQ((std::vector<int>{ 0, 1, 2, 3, 4, 5, 6, 7, 8, 9 }), readBack);
  EXPECT_EQ(10u, client.GetReport().confirmed.size());
  EXPECT_TRUE(host.Errors().empty());
}


TEST_F(PeerClientOverlapTest, ABatchThatKeepsUpOverlapsItsFilesOnlyOverALongRoundTrip)
{
  for (const int readBackMs : { 0, 5 })
  {
    const std::string root = "https://peer-" + std::to_string(readBackMs) + ".example";
    ServePeer(-1, root, readBackMs);
    // The first batch, falling behind, overlaps its files and times the read-backs; the next one keeps up.
    for (const bool catchingUp : { true, false })
    {
      const double roundTrip = KestrumPeerClient::GetRoundTripMilliseconds(root).value_or(1e9);
      mostActive = 0;
      KestrumPeerClient client(bridge, root, {}, false);
      client.SetCatchingUp(catchingUp);
      for (int n = 0; n < 6; n++)
      {
        client.AddInstance("1." + std::to_string(n), LargeFile(n));
      }
      EXPECT_TRUE(client.Send());
      EXPECT_EQ(catchingUp || roundTrip >= KestrumPeerClient::LONG_ROUND_TRIP_MS, mostActive > 1) << root;
    }
    EXPECT_GE(KestrumPeerClient::GetRoundTripMilliseconds(root).value_or(0), readBackMs);
  }
}


TEST_F(PeerClientOverlapTest, AFailureStopsWhatHasNotLeftAndTheOthersStillCount)
{
  ServePeer(0);
  KestrumPeerClient client(bridge, ROOT, {}, true);
  for (int n = 0; n < 10; n++)
  {
    client.AddInstance("1." + std::to_string(n), LargeFile(n));
  }
  EXPECT_FALSE(client.Send());

  // The failure of the first is known before a fifth leaves.
  const std::vector<FakeHost::HttpRequest> requests = host.HttpRequests();
  const size_t posts = std::count_if(requests.begin(), requests.end(),
                                     [](const FakeHost::HttpRequest& r) { return r.method == KestrumHttpMethod_Post; });
  EXPECT_EQ(KestrumPeerClient::MAX_UPLOADS_IN_FLIGHT, posts);
  EXPECT_EQ((std::set<std::string>{ "1.1", "1.2", "1.3" }), client.GetReport().confirmed);
  EXPECT_EQ("cannot connect to peer.example: connection refused or lost", client.GetReport().failure);
}


TEST_F(PeerClientOverlapTest, AClientDestroyedWithoutSendWaitsForItsUploads)
{
  ServePeer(-1);
  std::vector<std::weak_ptr<const std::string>> handedOver;
  {
    KestrumPeerClient client(bridge, ROOT, {}, false);
    for (int n = 0; n < 2; n++)
    {
      // Handed over, and dropped by the caller at once: the upload keeps it.
      auto file = std::make_shared<const std::string>(LargeFile(n));
      client.AddInstance("1." + std::to_string(n), SharedFile{ file, *file });
      handedOver.push_back(file);
    }
  }
  // The uploads and their read-backs are over once the client is gone, and their files are freed.
  EXPECT_EQ(4u, host.HttpRequests().size());
  std::sort(readBack.begin(), readBack.end());
  EXPECT_EQ((std::vector<int>{ 0, 1 }), readBack);
  EXPECT_TRUE(handedOver[0].expired() && handedOver[1].expired());
}
