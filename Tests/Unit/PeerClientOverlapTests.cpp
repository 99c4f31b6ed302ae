// The peer client with compression on and large files: each file is compressed
// while the previous upload is on its way, yet the uploads keep their order,
// each waits for the previous confirmation, and nothing outlives the client.

#include <TransferClients/KestrumPeerClient.h>

#include <Compression/GzipCompressor.h>
#include <FakeHostTest.h>
#include <KestrumException.h>

using namespace QuelbyCloud;
using QuelbyCloud::Testing::FakeHost;
using QuelbyCloud::Testing::FakeHostTest;

namespace
{
  const std::string ROOT = "https://peer.example";

  // Large enough to take the overlapped path; distinct so that order shows.
  std::string LargeFile(int i)
  {
    std::string file(200 * 1024, static_cast<char>('a' + i));
    file.replace(0, 4, "DICM");
    return file;
  }

  std::string Gunzip(const std::string& compressed)
  {
    Kestrum::GzipCompressor compressor;
    std::string result;
    compressor.Decompress(result, compressed.data(), compressed.size());
    return result;
  }

  class PeerClientOverlapTest : public FakeHostTest
  {
  protected:
    int posts = 0;

    // Each upload is stored as "id<n>" and read back with the UID "1.<n>";
    // the upload numbered `failing` fails.
    void ServePeer(int failing)
    {
      host.OnHttp(ROOT + "/instances").Compute([this, failing](const FakeHost::HttpRequest&) {
            posts++;
            return posts == failing ? FakeHost::HttpReply::Failure(Kestrum::ErrorCode_NetworkProtocol)
                                    : FakeHost::HttpReply::Ok("{\"ID\": \"id" + std::to_string(posts) + "\"}");
          });
      for (int i = 1; i <= 4; i++)
      {
        host.OnHttp(ROOT + "/instances/id" + std::to_string(i))
          .Answer(200, "{\"MainDicomTags\": {\"SOPInstanceUID\": \"1." + std::to_string(i) + "\"}}");
      }
    }
  };
}


TEST_F(PeerClientOverlapTest, UploadsKeepTheirOrderAndEachIsReadBackBeforeTheNext)
{
  ServePeer(0);
  {
    KestrumPeerClient client(bridge, ROOT, {}, true);
    for (int i = 0; i < 4; i++)
    {
      client.AddInstance("1." + std::to_string(i + 1), LargeFile(i));   // the caller frees its file at once
    }
    EXPECT_TRUE(client.Send());
  }

  const std::vector<FakeHost::HttpRequest> requests = host.HttpRequests();
  ASSERT_EQ(8u, requests.size());
  for (int i = 0; i < 4; i++)
  {
    EXPECT_EQ(KestrumHttpMethod_Post, requests[2 * i].method);
    EXPECT_EQ(LargeFile(i), Gunzip(requests[2 * i].body)) << i;
    EXPECT_EQ(KestrumHttpMethod_Get, requests[2 * i + 1].method);
    EXPECT_EQ(ROOT + "/instances/id" + std::to_string(i + 1), requests[2 * i + 1].url);
  }
  EXPECT_TRUE(host.Errors().empty());
}


TEST_F(PeerClientOverlapTest, AFailureStopsTheBatchAndSendReportsTheLastUpload)
{
  // A failure in the middle: the files after it are never posted.
  ServePeer(2);
  {
    KestrumPeerClient client(bridge, ROOT, {}, true);
    for (int i = 0; i < 4; i++)
    {
      client.AddInstance("1." + std::to_string(i + 1), LargeFile(i));
    }
    EXPECT_FALSE(client.Send());
  }
  EXPECT_EQ(2, posts);
  EXPECT_EQ(3u, host.HttpRequests().size());   // post, read-back, failed post

  // The last upload is still on its way when Send is called: Send waits for it.
  host.Reset();
  posts = 0;
  ServePeer(3);
  {
    KestrumPeerClient client(bridge, ROOT, {}, true);
    for (int i = 0; i < 3; i++)
    {
      client.AddInstance("1." + std::to_string(i + 1), LargeFile(i));
    }
    EXPECT_FALSE(client.Send());
  }
  EXPECT_EQ(3, posts);
}


TEST_F(PeerClientOverlapTest, AClientDestroyedWithoutSendWaitsForItsUpload)
{
  ServePeer(0);
  {
    KestrumPeerClient client(bridge, ROOT, {}, true);
    client.AddInstance("1.1", LargeFile(0));
  }
  // The upload and its read-back are over once the client is gone.
  EXPECT_EQ(2u, host.HttpRequests().size());
}
