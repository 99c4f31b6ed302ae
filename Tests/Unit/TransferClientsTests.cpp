// The three transfer clients: the exact requests they make and how they judge each answer.

#include <Destinations/ServerTypes.h>
#include <TransferClients/DicomWebClient.h>
#include <TransferClients/KestrumPeerClient.h>
#include <TransferClients/VexaNativeClient.h>

#include <Compression/GzipCompressor.h>
#include <FakeHostTest.h>
#include <KestrumException.h>

using namespace QuelbyCloud;
using QuelbyCloud::Testing::FakeHost;
using QuelbyCloud::Testing::FakeHostTest;

namespace
{
  typedef std::map<std::string, std::string> Headers;

  const std::string ROOT = "https://dw.example/dicom-web";
  const std::string FILE_A("DICM\0\r\n--a", 10);
  const std::string FILE_B = std::string(20000, 'b');   // larger than the pending area of the body

  std::string Gunzip(const std::string& compressed)
  {
    Kestrum::GzipCompressor compressor;
    std::string result;
    compressor.Decompress(result, compressed.data(), compressed.size());
    return result;
  }

  void ExpectBadSequence(std::function<void()> call)
  {
    try
    {
      call();
      ADD_FAILURE() << "no exception";
    }
    catch (const Kestrum::KestrumException& e)
    {
      EXPECT_EQ(Kestrum::ErrorCode_BadSequenceOfCalls, e.GetErrorCode());
    }
  }

  std::string StowAnswer(const std::vector<std::string>& uids)
  {
    std::string items;
    for (const std::string& uid : uids)
    {
      items += (items.empty() ? "" : ",") + std::string("{\"00081155\": {\"vr\": \"UI\", \"Value\": [\"") + uid + "\"]}}";
    }
    return "{\"00081199\": {\"vr\": \"SQ\", \"Value\": [" + items + "]}}";
  }

  class TransferClientsTest : public FakeHostTest
  {
  protected:
    FakeHost::HttpRequest OnlyRequest() const
    {
      const std::vector<FakeHost::HttpRequest> requests = host.HttpRequests();
      EXPECT_EQ(1u, requests.size());
      return requests.empty() ? FakeHost::HttpRequest() : requests.front();
    }

    // Every client request leaves the host's other fields at their defaults.
    static void ExpectNoExtraFields(const FakeHost::HttpRequest& request)
    {
      EXPECT_FALSE(request.username.has_value());
      EXPECT_FALSE(request.password.has_value());
      EXPECT_FALSE(request.certificateFile.has_value());
      EXPECT_EQ(0u, request.timeout);
      EXPECT_EQ(0u, request.pkcs11);
    }
  };
}


TEST_F(TransferClientsTest, SetHeadersReplacesOnlyTheSameName)
{
  HostHttpClient request(bridge);
  request.SetHeader("Accept", "application/dicom+json");
  request.SetHeaders({ { "Accept", "text/plain" }, { "accept", "x" }, { "Authorization", "k" } });
  EXPECT_EQ((Headers{ { "Accept", "text/plain" }, { "accept", "x" }, { "Authorization", "k" } }), request.GetHeaders());
}


TEST_F(TransferClientsTest, DicomWebBatchIsOneStowRequest)
{
  DicomWebClient client(bridge, ROOT + "///", { { "Authorization", "Bearer t" }, { "Accept", "application/json" } });
  const std::string boundary = client.GetBoundary();
  EXPECT_EQ(36u, boundary.size());

  client.AddInstance("1.2.3", FILE_A);
  client.AddInstance("1.2.4", FILE_B);
  client.AddInstance("1.2.3", "");

  host.OnHttp(ROOT + "/studies").Answer(200, StowAnswer({ "1.2.4", "1.2.3" }));
  EXPECT_TRUE(client.Send());

  const FakeHost::HttpRequest request = OnlyRequest();
  EXPECT_EQ(KestrumHttpMethod_Post, request.method);
  EXPECT_EQ(ROOT + "/studies", request.url);
  EXPECT_EQ((Headers{ { "Accept", "application/json" },   // the configured value replaces the client's
                      { "Authorization", "Bearer t" },
                      { "Content-Type", "multipart/related; type=\"application/dicom\"; boundary=" + boundary },
                      { "Expect", "" } }), request.headers);
  ExpectNoExtraFields(request);

  const std::string expected =
    "--" + boundary + "\r\nContent-Length: 10\r\nContent-Type: application/dicom\r\n\r\n" + FILE_A + "\r\n" +
    "--" + boundary + "\r\nContent-Length: 20000\r\nContent-Type: application/dicom\r\n\r\n" + FILE_B + "\r\n" +
    "--" + boundary + "\r\nContent-Length: 0\r\nContent-Type: application/dicom\r\n\r\n\r\n" +
    "--" + boundary + "--";
  EXPECT_EQ(expected, request.body);

  ExpectBadSequence([&] { client.AddInstance("1.2.5", FILE_A); });
  ExpectBadSequence([&] { client.Send(); });
  EXPECT_EQ(1u, host.HttpRequests().size());
}


TEST_F(TransferClientsTest, DicomWebEmptyBatchSendsTheClosingDelimiterAlone)
{
  DicomWebClient client(bridge, ROOT, {});
  host.OnHttp(ROOT + "/studies").Answer(200, StowAnswer({}));
  EXPECT_TRUE(client.Send());
  EXPECT_EQ("--" + client.GetBoundary() + "--", OnlyRequest().body);
}


TEST_F(TransferClientsTest, DicomWebReportsEveryMissingInstance)
{
  DicomWebClient client(bridge, ROOT, {});
  client.AddInstance("1.2.9", FILE_A);
  client.AddInstance("1.2.10", FILE_A);
  client.AddInstance("1.2.11", FILE_A);
  host.OnHttp(ROOT + "/studies").Answer(200, StowAnswer({ "1.2.10", "9.9.9" }));
  EXPECT_FALSE(client.Send());
  EXPECT_EQ(std::vector<std::string>({ "Cannot send to the remote server the SOP Instance UID: 1.2.11",
                                       "Cannot send to the remote server the SOP Instance UID: 1.2.9" }),
            host.Errors());
}


TEST_F(TransferClientsTest, DicomWebReportSaysWhichInstancesWereConfirmedOrRefusedAndWhy)
{
  struct Case
  {
    std::string answer;
    std::set<std::string> confirmed;
    std::map<std::string, std::string> refused;
    std::string failure;
  };
  const std::string leftOut = "not confirmed by the destination";
  const std::vector<Case> cases = {
    { StowAnswer({ "1.2.10", "9.9.9" }), { "1.2.10" }, { { "1.2.9", leftOut }, { "1.2.11", leftOut } }, "" },
    { "{\"00081199\": {\"Value\": []}, \"00081198\": {\"Value\": [{\"00081155\": {\"Value\": [\"1.2.9\"]},"
      " \"00081197\": {\"Value\": [42752]}}, {\"00081155\": {\"Value\": [\"1.2.10\"]}}, 7]}}",
      {}, { { "1.2.9", "refused by the destination: out of resources" },
            { "1.2.10", "refused by the destination (failure reason 0)" } },
      "the destination confirmed none of the instances" },
    { "{}", {}, {}, "unexpected answer from the destination" },
  };

  for (const Case& c : cases)
  {
    host.Reset();
    host.OnHttp(ROOT + "/studies").Answer(200, c.answer);
    DicomWebClient client(bridge, ROOT, {});
    for (const char* uid : { "1.2.9", "1.2.10", "1.2.11" })
    {
      client.AddInstance(uid, FILE_A);
    }
    EXPECT_FALSE(client.Send());
    EXPECT_EQ(c.confirmed, client.GetReport().confirmed) << c.answer;
    EXPECT_EQ(c.refused, client.GetReport().refused) << c.answer;
    EXPECT_EQ(c.failure, client.GetReport().failure) << c.answer;
  }

  // What the host's HTTP client says becomes a cause in plain words, for good only for some statuses.
  struct Failure { int32_t code; uint16_t status; std::string cause; bool refused; };
  const std::vector<Failure> failures = {
    { Kestrum::ErrorCode_Unauthorized, 401, "HTTP 401 from the destination: check the user name and password", false },
    { Kestrum::ErrorCode_NetworkProtocol, 503, "HTTP 503 from the destination", false },
    { Kestrum::ErrorCode_BadRequest, 400, "HTTP 400 from the destination", true },
    { Kestrum::ErrorCode_NetworkProtocol, 0, "cannot connect to dw.example: connection refused or lost", false },
    { Kestrum::ErrorCode_UnknownResource, 0, "cannot connect to dw.example: unknown host", false },
    { Kestrum::ErrorCode_Timeout, 0, "no answer within 60 s", false },
  };
  for (const Failure& f : failures)
  {
    host.Reset();
    host.OnHttp(ROOT + "/studies").Fail(f.code, f.status);
    DicomWebClient client(bridge, ROOT, {});
    client.AddInstance("1.2.9", FILE_A);
    EXPECT_FALSE(client.Send());
    EXPECT_EQ(f.cause, client.GetFailureCause());
    EXPECT_EQ(f.refused ? "" : f.cause, client.GetReport().failure);
    EXPECT_EQ(f.refused ? 1u : 0u, client.GetReport().refused.count("1.2.9")) << f.cause;
  }
}


TEST_F(TransferClientsTest, DicomWebMalformedAnswersGiveFalse)
{
  struct Case { std::string answer; bool badFormatLine; };
  const std::vector<Case> cases = {
    { "[]", true },
    { "{}", true },
    { "{\"00081199\": []}", true },
    { "{\"00081199\": {\"Value\": {}}}", true },
    { "{\"00081199\": {\"vr\": \"SQ\"}}", true },
    { "\"text\"", true },
    { "{\"00081199\": {\"Value\": [5]}}", false },
    { "{\"00081199\": {\"Value\": [{\"00081155\": {\"Value\": [\"1.2\", \"1.3\"]}}]}}", false },
    { "{\"00081199\": {\"Value\": [{\"00081155\": {\"Value\": [7]}}]}}", false },
    { "{\"00081199\": {\"Value\": [{\"00081155\": {\"Value\": []}}]}}", false },
    { "{\"00081199\": {\"Value\": [{\"00081155\": [\"1.2\"]}]}}", false },
    { "{\"00081199\": {\"Value\": [{\"00081155\": {\"Value\": [\"1.2\"]}}, {}]}}", false },
  };

  for (const Case& c : cases)
  {
    host.Reset();
    host.OnHttp(ROOT + "/studies").Answer(200, c.answer);
    DicomWebClient client(bridge, ROOT, {});
    client.AddInstance("1.2", FILE_A);
    EXPECT_FALSE(client.Send()) << c.answer;
    EXPECT_EQ(c.badFormatLine ? std::vector<std::string>({ "Bad format of the DICOMweb answer" }) : std::vector<std::string>(),
              host.Errors()) << c.answer;
  }

  for (const std::string& truncated : { std::string("{\"00081199\": {\"Value\": ["), std::string("") })
  {
    host.Reset();
    host.OnHttp(ROOT + "/studies").Answer(200, truncated);
    DicomWebClient client(bridge, ROOT, {});
    EXPECT_FALSE(client.Send());
  }

  host.Reset();
  host.OnHttp(ROOT + "/studies").Fail(Kestrum::ErrorCode_NetworkProtocol);
  DicomWebClient failing(bridge, ROOT, {});
  failing.AddInstance("1.2", FILE_A);
  EXPECT_FALSE(failing.Send());
  EXPECT_TRUE(host.Errors().empty());
}


TEST_F(TransferClientsTest, DicomWebConnectionTest)
{
  DicomWebClient client(bridge, ROOT + "/", { { "Authorization", "Bearer t" } });
  host.OnHttp(ROOT + "/studies?limit=1").Answer(200, "[]");
  EXPECT_TRUE(client.TestConnection());
  const FakeHost::HttpRequest request = OnlyRequest();
  EXPECT_EQ(KestrumHttpMethod_Get, request.method);
  EXPECT_EQ((Headers{ { "Accept", "application/dicom+json" }, { "Authorization", "Bearer t" } }), request.headers);
  EXPECT_TRUE(request.bodyNull);

  for (const char* answer : { "{}", "3", "garbage" })
  {
    host.Reset();
    host.OnHttp(ROOT + "/studies?limit=1").Answer(200, answer);
    EXPECT_FALSE(client.TestConnection()) << answer;
  }
  host.Reset();
  EXPECT_FALSE(client.TestConnection());   // transport failure
}


TEST_F(TransferClientsTest, PortalBatchIsOneForm)
{
  const std::string root = "https://demo.vexa.example";
  VexaNativeClient client(bridge, root + "/", { { "Authorization", "Api-Key k" } });
  const std::string boundary = client.GetBoundary();
  client.AddInstance("1.1", FILE_A);
  client.AddInstance("1.2", FILE_B);

  host.OnHttp(root + "/api/v1/instances")
      .Answer(200, "{\"content\": {\"studies\": [{}], \"badFormatFiles\": [], \"unexpectedErrorFiles\": []}}");
  EXPECT_TRUE(client.Send());

  const FakeHost::HttpRequest request = OnlyRequest();
  EXPECT_EQ(KestrumHttpMethod_Post, request.method);
  EXPECT_EQ((Headers{ { "Authorization", "Api-Key k" },
                      { "Content-Type", "multipart/form-data; boundary=" + boundary },
                      { "Expect", "" } }), request.headers);
  ExpectNoExtraFields(request);
  const std::string expected =
    "--" + boundary + "\r\nContent-Disposition: form-data; name=\"files\"; filename=\"dicom-0.dcm\"\r\n"
    "Content-Length: 10\r\nContent-Type: application/dicom\r\n\r\n" + FILE_A + "\r\n" +
    "--" + boundary + "\r\nContent-Disposition: form-data; name=\"files\"; filename=\"dicom-1.dcm\"\r\n"
    "Content-Length: 20000\r\nContent-Type: application/dicom\r\n\r\n" + FILE_B + "\r\n" +
    "--" + boundary + "--";
  EXPECT_EQ(expected, request.body);

  ExpectBadSequence([&] { client.AddInstance("1.3", FILE_A); });
  ExpectBadSequence([&] { client.Send(); });
}


TEST_F(TransferClientsTest, PortalReportedFilesFailTheBatch)
{
  const std::string root = "https://demo.vexa.example";
  VexaNativeClient client(bridge, root, { { "Content-Type", "overridden" } });
  client.AddInstance("1.1", FILE_A);
  client.AddInstance("1.2", FILE_A);
  client.AddInstance("1.3", FILE_A);
  host.OnHttp(root + "/api/v1/instances")
      .Answer(200, "{\"content\": {\"studies\": [], \"badFormatFiles\": [\"dicom-2.dcm\", 4, \"dicom-9.dcm\"],"
                   " \"unexpectedErrorFiles\": [\"dicom-0.dcm\"]}}");
  EXPECT_FALSE(client.Send());

  EXPECT_EQ("overridden", OnlyRequest().headers.at("Content-Type"));
  EXPECT_EQ(std::vector<std::string>({ "Vexa protocol - Bad file format for SOP Instance UID: 1.3",
                                       "Vexa protocol - Unexpected error in DICOM file with SOP Instance UID: 1.1" }),
            host.Warnings());
  EXPECT_EQ(std::vector<std::string>({ "Some instances were not properly received by the remote Vexa server" }),
            host.Errors());

  // The portal took what it did not name; a bad file is refused for good, an unexpected error is not.
  EXPECT_EQ(std::set<std::string>{ "1.2" }, client.GetReport().confirmed);
  EXPECT_EQ((std::map<std::string, std::string>{ { "1.3", "bad file format, reported by the portal" } }),
            client.GetReport().refused);
  EXPECT_EQ("unexpected error at the portal", client.GetReport().failure);
}


TEST_F(TransferClientsTest, PortalMalformedAnswersGiveFalse)
{
  const std::string root = "https://demo.vexa.example";
  for (const char* answer : { "[]", "{}", "{\"content\": []}",
                              "{\"content\": {\"badFormatFiles\": [], \"unexpectedErrorFiles\": []}}",
                              "{\"content\": {\"studies\": [], \"badFormatFiles\": {}, \"unexpectedErrorFiles\": []}}",
                              "{\"content\": {\"studies\": [], \"badFormatFiles\": [], \"unexpectedErrorFiles\": null}}" })
  {
    host.Reset();
    host.OnHttp(root + "/api/v1/instances").Answer(200, answer);
    VexaNativeClient client(bridge, root, {});
    client.AddInstance("1.1", FILE_A);
    EXPECT_FALSE(client.Send()) << answer;
    EXPECT_EQ(std::vector<std::string>({ "Bad format of the Vexa answer" }), host.Errors()) << answer;
  }

  host.Reset();
  VexaNativeClient unreachable(bridge, root, {});
  EXPECT_FALSE(unreachable.Send());
  EXPECT_TRUE(host.Errors().empty());
}


TEST_F(TransferClientsTest, PortalConnectionTest)
{
  const std::string root = "https://demo.vexa.example";
  VexaNativeClient client(bridge, root, { { "Authorization", "Api-Key k" } });
  host.OnHttp(root + "/api/v1/me").Answer(200, "{\"content\": null}");
  EXPECT_TRUE(client.TestConnection());
  EXPECT_EQ((Headers{ { "Authorization", "Api-Key k" } }), OnlyRequest().headers);

  for (const char* answer : { "{}", "[{\"content\": 1}]" })
  {
    host.Reset();
    host.OnHttp(root + "/api/v1/me").Answer(200, answer);
    EXPECT_FALSE(client.TestConnection()) << answer;
  }
}


TEST_F(TransferClientsTest, PeerUploadsEachFileAndReadsItBack)
{
  const std::string root = "https://cloud.kestrum.example";
  for (bool compress : { false, true })
  {
    host.Reset();
    host.OnHttp(root + "/instances").Answer(200, "{\"ID\": \"abc\"}")
        .OnHttp(root + "/instances/abc").Answer(200, "{\"MainDicomTags\": {\"SOPInstanceUID\": \"1.2\"}}");

    KestrumPeerClient client(bridge, root + "//", { { "Authorization", "Basic x" }, { "Content-Encoding", "identity" } },
                             compress);
    client.AddInstance("1.2", FILE_B);
    EXPECT_TRUE(client.Send());

    const std::vector<FakeHost::HttpRequest> requests = host.HttpRequests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ(KestrumHttpMethod_Post, requests[0].method);
    EXPECT_EQ(root + "/instances", requests[0].url);
    EXPECT_EQ((Headers{ { "Authorization", "Basic x" }, { "Content-Encoding", compress ? "gzip" : "identity" },
                        { "Expect", "" } }), requests[0].headers);
    ExpectNoExtraFields(requests[0]);
    if (compress)
    {
      EXPECT_LT(requests[0].body.size(), FILE_B.size());
      EXPECT_EQ(FILE_B, Gunzip(requests[0].body));
    }
    else
    {
      EXPECT_EQ(FILE_B, requests[0].body);
    }

    EXPECT_EQ(KestrumHttpMethod_Get, requests[1].method);
    EXPECT_EQ(root + "/instances/abc", requests[1].url);
    EXPECT_EQ((Headers{ { "Authorization", "Basic x" }, { "Content-Encoding", "identity" } }), requests[1].headers);
    EXPECT_TRUE(host.Errors().empty());

    ExpectBadSequence([&] { client.AddInstance("1.3", FILE_A); });
    ExpectBadSequence([&] { client.Send(); });
  }
}


TEST_F(TransferClientsTest, PeerReportsEachFileOfTheBatchOnItsOwn)
{
  // The files are on their way together: each is judged by its own upload and read-back.
  const std::string root = "https://peer.example";
  host.OnHttp(root + "/instances").Compute([](const FakeHost::HttpRequest& request) {
        return request.body == "file-1.2" ? FakeHost::HttpReply::Failure(Kestrum::ErrorCode_NetworkProtocol)
                                          : FakeHost::HttpReply::Ok("{\"ID\": \"" + request.body.substr(5) + "\"}");
      })
      .OnHttpPrefix(root + "/instances/").Compute([&root](const FakeHost::HttpRequest& request) {
        return FakeHost::HttpReply::Ok("{\"MainDicomTags\": {\"SOPInstanceUID\": \"" +
                                       request.url.substr(root.size() + 11) + "\"}}");
      });

  KestrumPeerClient client(bridge, root, {}, false);
  for (const char* uid : { "1.1", "1.2", "1.3" })
  {
    client.AddInstance(uid, std::string("file-") + uid);
  }
  EXPECT_FALSE(client.Send());

  EXPECT_EQ((std::set<std::string>{ "1.1", "1.3" }), client.GetReport().confirmed);
  EXPECT_TRUE(client.GetReport().refused.empty());
  EXPECT_EQ("cannot connect to peer.example: connection refused or lost", client.GetReport().failure);

  // A file the peer refuses for good, and one it stores under another UID.
  host.Reset();
  host.OnHttp(root + "/instances").Fail(Kestrum::ErrorCode_BadRequest, 400);
  KestrumPeerClient refusing(bridge, root, {}, false);
  refusing.AddInstance("1.1", FILE_A);
  EXPECT_FALSE(refusing.Send());
  EXPECT_EQ("HTTP 400 from the destination", refusing.GetReport().refused.at("1.1"));

  host.Reset();
  host.OnHttp(root + "/instances").Answer(200, "{\"ID\": \"x\"}")
      .OnHttp(root + "/instances/x").Answer(200, "{\"MainDicomTags\": {\"SOPInstanceUID\": \"1.1.9\"}}");
  KestrumPeerClient mistaken(bridge, root, {}, false);
  mistaken.AddInstance("1.1", FILE_A);
  EXPECT_FALSE(mistaken.Send());
  EXPECT_EQ("the destination stored another SOP Instance UID", mistaken.GetReport().refused.at("1.1"));
}


TEST_F(TransferClientsTest, PeerMalformedAnswersGiveFalse)
{
  const std::string root = "https://peer.example";
  const char* const BAD = "Bad format of the answer from the remote Kestrum peer";

  struct Case { std::string post; std::string get; std::vector<std::string> errors; };
  const std::vector<Case> cases = {
    { "{}", "", { BAD } },
    { "{\"ID\": 5}", "", { BAD } },
    { "[\"ID\"]", "", { BAD } },
    { "{\"ID\": \"x\"}", "{}", { BAD } },
    { "{\"ID\": \"x\"}", "{\"MainDicomTags\": []}", { BAD } },
    { "{\"ID\": \"x\"}", "{\"MainDicomTags\": {\"SOPInstanceUID\": 1}}", { BAD } },
    { "{\"ID\": \"x\"}", "[]", { BAD } },
    { "{\"ID\": \"x\"}", "{\"MainDicomTags\": {\"SOPInstanceUID\": \"1.2.AB\"}}",
      { "Kestrum protocol - DICOM file with SOP Instance UID was not properly received: 1.2.ab" } },
    { "{\"ID\": \"x\"}", "not json", { "Cannot convert HTTP answer body to JSON" } },
    { "{\"ID\": \"y\"}", "{\"MainDicomTags\": {\"SOPInstanceUID\": \"1.2.ab\"}}", {} },   // read-back URL not scripted
    { "{\"ID\": ", "", { "Cannot convert HTTP answer body to JSON" } },
  };

  for (const Case& c : cases)
  {
    host.Reset();
    host.OnHttp(root + "/instances").Answer(200, c.post)
        .OnHttp(root + "/instances/x").Answer(200, c.get);
    KestrumPeerClient client(bridge, root, {}, false);
    client.AddInstance("1.2.ab", FILE_A);
    EXPECT_FALSE(client.Send()) << c.post << " / " << c.get;
    EXPECT_EQ(c.errors, host.Errors()) << c.post << " / " << c.get;
  }
}


TEST_F(TransferClientsTest, PeerConnectionTest)
{
  const std::string root = "https://peer.example";
  KestrumPeerClient client(bridge, root, { { "Authorization", "Basic x" } }, true);
  host.OnHttp(root + "/system").Answer(200, "{\"Version\": null}");
  EXPECT_TRUE(client.TestConnection());
  EXPECT_EQ((Headers{ { "Authorization", "Basic x" } }), OnlyRequest().headers);

  for (const char* answer : { "[]", "{\"version\": \"1\"}" })
  {
    host.Reset();
    host.OnHttp(root + "/system").Answer(200, answer);
    EXPECT_FALSE(client.TestConnection()) << answer;
  }
}


TEST_F(TransferClientsTest, FactoryChoosesByProtocolThenServerType)
{
  ServerConfiguration server;
  server.SetUrl("https://h.example/");
  server.SetHttpHeader("Authorization", "a");

  // The default record: a peer client on its own URL, compression on.
  {
    std::unique_ptr<ITransferClient> client = CreateTransferClient(bridge, ServerConfiguration());
    KestrumPeerClient* peer = dynamic_cast<KestrumPeerClient*>(client.get());
    ASSERT_TRUE(peer != nullptr);
    EXPECT_EQ("http://localhost:8042", peer->GetRootUrl());
    EXPECT_TRUE(peer->IsCompress());
    EXPECT_TRUE(peer->GetHeaders().empty());
  }

  server.SetCompress(false);
  {
    std::unique_ptr<ITransferClient> client = CreateTransferClient(bridge, server);
    KestrumPeerClient* peer = dynamic_cast<KestrumPeerClient*>(client.get());
    ASSERT_TRUE(peer != nullptr);
    EXPECT_FALSE(peer->IsCompress());
    EXPECT_EQ("a", peer->GetHeaders().at("Authorization"));
  }

  server.SetServerType(ServerType_Vexa);
  {
    std::unique_ptr<ITransferClient> client = CreateTransferClient(bridge, server);
    VexaNativeClient* portal = dynamic_cast<VexaNativeClient*>(client.get());
    ASSERT_TRUE(portal != nullptr);
    EXPECT_EQ("https://h.example", portal->GetRootUrl());
  }

  server.SetProtocolType(ProtocolType_DicomWeb);
  struct Case { ServerType type; const char* root; };
  for (const Case& c : { Case{ ServerType_Vexa, "https://h.example/api/dicom-web" },
                         Case{ ServerType_Kestrum, "https://h.example/dicom-web" },
                         Case{ ServerType_Generic, "https://h.example" } })
  {
    server.SetServerType(c.type);
    std::unique_ptr<ITransferClient> first = CreateTransferClient(bridge, server);
    std::unique_ptr<ITransferClient> second = CreateTransferClient(bridge, server);
    DicomWebClient* a = dynamic_cast<DicomWebClient*>(first.get());
    DicomWebClient* b = dynamic_cast<DicomWebClient*>(second.get());
    ASSERT_TRUE(a != nullptr && b != nullptr);
    EXPECT_EQ(c.root, a->GetRootUrl());
    EXPECT_EQ("a", a->GetHeaders().at("Authorization"));
    EXPECT_NE(a->GetBoundary(), b->GetBoundary());
  }

  server.SetProtocolType(ProtocolType_Native);
  server.SetServerType(ServerType_Generic);
  for (int round = 0; round < 2; round++)
  {
    try
    {
      CreateTransferClient(bridge, server);
      ADD_FAILURE();
    }
    catch (const Kestrum::KestrumException& e)
    {
      EXPECT_EQ(Kestrum::ErrorCode_NotImplemented, e.GetErrorCode());
    }
    server.SetProtocolType(static_cast<ProtocolType>(4));
  }
}
