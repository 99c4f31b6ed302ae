// The plug-in's JSON API as a browser or a script sees it: methods, bodies,
// answers, error codes, and what each operation leaves in the stored state.

#include "FakeHostTest.h"

#include <Destinations/DestinationKinds.h>
#include <HostBridge/GuardedRestCallback.h>
#include <Synchronization/PluginState.h>
#include <WebInterface/RestApi.h>

#include <json/reader.h>

#include <cstdio>
#include <fstream>
#include <mutex>

using namespace QuelbyCloud;
using QuelbyCloud::Testing::FakeHost;

namespace
{
  const int32_t STATE_PROPERTY = 5467;

  Json::Value Parse(const std::string& text)
  {
    Json::Value value;
    Json::Reader reader;
    EXPECT_TRUE(reader.parse(text, value)) << text;
    return value;
  }

  class RestApiTest : public QuelbyCloud::Testing::FakeHostTest
  {
  protected:
    void SetUp() override
    {
      FakeHostTest::SetUp();

      // The registry is process-wide and keeps its kinds: fill it once.
      static std::once_flag registered;
      std::call_once(registered, [] { RegisterDestinationKinds(); });
    }

    FakeHost::RouteAnswer Post(KestrumRestCallback callback, const std::string& body = "")
    {
      return host.CallHandler(callback, "POST", {}, body);
    }

    FakeHost::RouteAnswer Get(KestrumRestCallback callback)
    {
      return host.CallHandler(callback, "GET");
    }

    Json::Value Status()
    {
      FakeHost::RouteAnswer answer = Get(GuardedRestCallback<ServeStatus>);
      EXPECT_EQ(200, answer.status);
      EXPECT_EQ("application/json", answer.mimeType);
      return Parse(answer.body);
    }

    Json::Value StoredState()
    {
      std::optional<std::string> stored = host.GetGlobalProperty(STATE_PROPERTY);
      return stored ? Parse(*stored) : Json::Value(Json::nullValue);
    }
  };
}


TEST_F(RestApiTest, EveryRouteAnswersOtherMethodsWith405NamingItsOwn)
{
  struct Route { KestrumRestCallback callback; const char* allowed; const char* other; };
  const Route routes[] = {
    { GuardedRestCallback<ServeDestinations>, "GET", "POST" },
    { GuardedRestCallback<ServeStatus>, "GET", "DELETE" },
    { GuardedRestCallback<ServeTestConnection>, "POST", "GET" },
    { GuardedRestCallback<ServeConnect>, "POST", "GET" },
    { GuardedRestCallback<ServeDisconnect>, "POST", "PUT" },
    { GuardedRestCallback<ServeOptions>, "POST", "GET" },
    { GuardedRestCallback<ServeClearPending>, "POST", "GET" },
    { GuardedRestCallback<ServeReplay>, "POST", "GET" },
    { GuardedRestCallback<ServeForceReplay>, "POST", "GET" },
  };

  for (const Route& route : routes)
  {
    FakeHost::RouteAnswer answer = host.CallHandler(route.callback, route.other, {}, "{\"id\":\"corvad\"}");
    EXPECT_EQ(405, answer.status);
    EXPECT_EQ(route.allowed, answer.allowedMethods);
    EXPECT_EQ(1u, answer.answerCount);
  }

  // Nothing else happened: no state stored, no remote server contacted.
  EXPECT_FALSE(host.GetGlobalProperty(STATE_PROPERTY));
  EXPECT_TRUE(host.HttpRequests().empty());
}


TEST_F(RestApiTest, DestinationsAreListedInRegistrationOrderWithTheirParameters)
{
  FakeHost::RouteAnswer answer = Get(GuardedRestCallback<ServeDestinations>);
  ASSERT_EQ(200, answer.status);
  EXPECT_EQ("application/json", answer.mimeType);

  Json::Value kinds = Parse(answer.body);
  ASSERT_TRUE(kinds.isArray());
  ASSERT_EQ(5u, kinds.size());

  const char* keys[] = { "vexa", "kestrum-cloud", "corvad", "ai", "pharma" };
  const bool primary[] = { true, true, true, false, false };
  for (Json::ArrayIndex i = 0; i < 5; i++)
  {
    EXPECT_EQ(keys[i], kinds[i]["key"].asString());
    EXPECT_EQ(primary[i], kinds[i]["primary"].asBool());
    EXPECT_TRUE(kinds[i]["parameters"].isArray());
  }

  EXPECT_EQ("Corvad / Halminet by Quelby (soon)", kinds[2]["description"].asString());

  const Json::Value& cloud = kinds[1]["parameters"];
  ASSERT_EQ(3u, cloud.size());
  EXPECT_EQ("username", cloud[1]["key"].asString());
  EXPECT_EQ("text", cloud[1]["type"].asString());
  EXPECT_EQ("password", cloud[2]["key"].asString());
  EXPECT_EQ("password", cloud[2]["type"].asString());
  EXPECT_EQ("Password", cloud[2]["name"].asString());

  // The API key of the portal is typed in clear, as a text field.
  EXPECT_EQ("api-key", kinds[0]["parameters"][1]["key"].asString());
  EXPECT_EQ("text", kinds[0]["parameters"][1]["type"].asString());
}


TEST_F(RestApiTest, RefusedParametersAreATestResultNotAFailure)
{
  FakeHost::RouteAnswer answer = Post(GuardedRestCallback<ServeTestConnection>, "{\"id\":\"vexa\"}");
  ASSERT_EQ(200, answer.status);

  Json::Value result = Parse(answer.body);
  EXPECT_FALSE(result["success"].asBool());
  EXPECT_EQ("No URL was provided", result["error"].asString());
  EXPECT_TRUE(host.HttpRequests().empty());
}


TEST_F(RestApiTest, TestConnectionAsksTheServerAndStoresNothing)
{
  host.OnHttp("http://localhost:8042/system").Answer(200, "{\"Version\":\"1.12.0\"}");

  Json::Value result = Parse(Post(GuardedRestCallback<ServeTestConnection>, "{\"id\":\"corvad\"}").body);
  EXPECT_TRUE(result["success"].asBool());
  EXPECT_FALSE(result.isMember("error"));
  ASSERT_EQ(1u, host.HttpRequests().size());
  EXPECT_EQ(KestrumHttpMethod_Get, host.HttpRequests()[0].method);

  host.OnHttp("http://localhost:8042/system").Fail(9);
  result = Parse(Post(GuardedRestCallback<ServeTestConnection>, "{\"id\":\"corvad\"}").body);
  EXPECT_FALSE(result["success"].asBool());
  EXPECT_FALSE(result.isMember("error"));

  EXPECT_FALSE(host.GetGlobalProperty(STATE_PROPERTY));
}


TEST_F(RestApiTest, MalformedBodiesGiveTheProtocolErrorCode)
{
  const char* bodies[] = {
    "",                                  // empty
    "not json",
    "[\"id\", \"corvad\"]",              // an array
    "{\"id\": \"ai\", \"Username\": 3}", // a number where a text is expected
    "{\"id\": {\"nested\": \"x\"}}",
    "\"corvad\"",
  };

  for (const char* body : bodies)
  {
    for (KestrumRestCallback callback : { GuardedRestCallback<ServeTestConnection>,
                                           GuardedRestCallback<ServeConnect> })
    {
      FakeHost::RouteAnswer answer = Post(callback, body);
      EXPECT_EQ(9, answer.callbackCode) << body;
      EXPECT_EQ(500, answer.status) << body;
      EXPECT_EQ(0u, answer.answerCount) << body;
    }
  }

  EXPECT_EQ(9, Post(GuardedRestCallback<ServeOptions>, "[true]").callbackCode);
  EXPECT_EQ(9, Post(GuardedRestCallback<ServeOptions>, "").callbackCode);
  EXPECT_FALSE(host.GetGlobalProperty(STATE_PROPERTY));
}


TEST_F(RestApiTest, MissingOrUnknownKindIsRefused)
{
  FakeHost::RouteAnswer missing = Post(GuardedRestCallback<ServeConnect>, "{\"Url\":\"https://x\"}");
  EXPECT_EQ(9, missing.callbackCode);
  EXPECT_TRUE(host.HasError("Error in the network protocol: The \"id\" field is missing"));

  FakeHost::RouteAnswer unknown = Post(GuardedRestCallback<ServeTestConnection>, "{\"id\":\"nowhere\"}");
  EXPECT_EQ(3, unknown.callbackCode);
  EXPECT_EQ(400, unknown.status);
  EXPECT_TRUE(host.HasError("Parameter out of range: Unknown destination: nowhere"));
}


TEST_F(RestApiTest, ConnectWithRefusedParametersChangesNothing)
{
  FakeHost::RouteAnswer answer = Post(GuardedRestCallback<ServeConnect>,
                                      "{\"id\":\"kestrum-cloud\",\"Url\":\"https://cloud.kestrum.example/\"}");
  EXPECT_EQ(3, answer.callbackCode);
  EXPECT_EQ(400, answer.status);
  EXPECT_TRUE(host.HasError("Parameter out of range: Bad parameters for the remote server: No username was provided"));
  EXPECT_FALSE(host.GetGlobalProperty(STATE_PROPERTY));
  EXPECT_FALSE(Status().isMember("ActiveServer"));
}


TEST_F(RestApiTest, ConnectStoresTheServerAndStatusShowsOnlyItsPublicParameters)
{
  const std::string body =
    "{\"id\":\"kestrum-cloud\", \"Url\":\"https://cloud.kestrum.example/\","
    " \"username\":\"alice\", \"password\":\"s3cret-pass\"}";

  FakeHost::RouteAnswer answer = Post(GuardedRestCallback<ServeConnect>, body);
  ASSERT_EQ(200, answer.status);
  EXPECT_EQ("ok", answer.body);
  EXPECT_EQ("text/plain", answer.mimeType);

  Json::Value stored = StoredState();
  ASSERT_TRUE(stored.isObject());
  EXPECT_EQ("kestrum-cloud", stored["ActiveServer"]["ModalityName"].asString());
  EXPECT_EQ("https://cloud.kestrum.example", stored["ActiveServer"]["Url"].asString());

  Json::Value status = Status();
  EXPECT_EQ("Managed Kestrum server by Quelby", status["ActiveServer"]["Description"].asString());
  EXPECT_EQ("https://cloud.kestrum.example/", status["ActiveServer"]["URL"].asString());
  EXPECT_EQ(2u, status["ActiveServer"].size());

  // Neither the password nor the header carrying it is ever shown.
  const std::string text = Get(GuardedRestCallback<ServeStatus>).body;
  EXPECT_EQ(std::string::npos, text.find("s3cret-pass"));
  EXPECT_EQ(std::string::npos, text.find("Basic"));
  EXPECT_EQ(std::string::npos, text.find("Authorization"));

  // Connecting again starts a new generation.
  const std::string firstUuid = stored["SynchronizationUuid"].asString();
  ASSERT_EQ(200, Post(GuardedRestCallback<ServeConnect>, body).status);
  EXPECT_NE(firstUuid, StoredState()["SynchronizationUuid"].asString());
}


TEST_F(RestApiTest, DisconnectDropsTheServerAndRenewsTheGeneration)
{
  ASSERT_EQ(200, Post(GuardedRestCallback<ServeConnect>, "{\"id\":\"corvad\"}").status);
  const std::string connectedUuid = StoredState()["SynchronizationUuid"].asString();
  EXPECT_TRUE(Status().isMember("ActiveServer"));

  FakeHost::RouteAnswer answer = Post(GuardedRestCallback<ServeDisconnect>, "ignored");
  EXPECT_EQ("ok", answer.body);
  EXPECT_FALSE(Status().isMember("ActiveServer"));
  EXPECT_FALSE(StoredState().isMember("ActiveServer"));
  EXPECT_NE(connectedUuid, StoredState()["SynchronizationUuid"].asString());

  // Disconnecting while nothing is connected still renews and saves.
  ASSERT_EQ(200, Post(GuardedRestCallback<ServeDisconnect>).status);
  EXPECT_EQ(36u, StoredState()["SynchronizationUuid"].asString().size());
}


TEST_F(RestApiTest, OptionsAreAppliedAndStoredTogether)
{
  ASSERT_EQ(200, Post(GuardedRestCallback<ServeOptions>,
                      "{\"AutomatedRouting\": false, \"AutomatedDeletion\": true, \"Other\": 1}").status);
  Json::Value stored = StoredState();
  EXPECT_FALSE(stored["AutomatedRouting"].asBool());
  EXPECT_TRUE(stored["AutomatedDeletion"].asBool());

  Json::Value status = Status();
  EXPECT_FALSE(status["AutomatedRouting"].asBool());
  EXPECT_TRUE(status["AutomatedDeletion"].asBool());

  // An empty object saves the state unchanged.
  ASSERT_EQ(200, Post(GuardedRestCallback<ServeOptions>, "{}").status);
  EXPECT_EQ(stored, StoredState());
}


TEST_F(RestApiTest, AnOptionOfTheWrongTypeSavesNothing)
{
  ASSERT_EQ(200, Post(GuardedRestCallback<ServeOptions>, "{\"AutomatedRouting\": true}").status);
  const Json::Value before = StoredState();

  FakeHost::RouteAnswer answer = Post(GuardedRestCallback<ServeOptions>,
                                      "{\"AutomatedRouting\": false, \"AutomatedDeletion\": \"true\"}");
  EXPECT_EQ(15, answer.callbackCode);
  EXPECT_EQ(400, answer.status);
  EXPECT_TRUE(host.HasError("Bad file format: Boolean value expected in field: AutomatedDeletion"));
  EXPECT_EQ(before, StoredState());

  // The first option was applied in memory before the second failed.
  EXPECT_FALSE(Status()["AutomatedRouting"].asBool());
}


TEST_F(RestApiTest, StatusReportsCountersAndCertificates)
{
  Json::Value status = Status();
  EXPECT_EQ("0.0", status["TransferedSizeMB"].asString());
  EXPECT_EQ(0u, status["InstancesPending"].asUInt64());
  EXPECT_EQ(0u, status["InstancesSuccess"].asUInt64());
  EXPECT_EQ(0u, status["InstancesError"].asUInt64());
  EXPECT_TRUE(status["AutomatedRouting"].asBool());
  EXPECT_FALSE(status["AutomatedDeletion"].asBool());
  EXPECT_FALSE(status.isMember("HasCertificates"));

  // A missing file: the member stays absent, the reason is logged.
  host.SetConfiguration("{\"HttpsCACertificates\": \"/nonexistent/ca.pem\"}");
  EXPECT_FALSE(Status().isMember("HasCertificates"));
  EXPECT_TRUE(host.HasError("The specified path does not point to a regular file: "
                            "The path does not point to a regular file: /nonexistent/ca.pem"));

  char path[] = "/tmp/quelby-ca-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(5, write(fd, "-----", 5));
  close(fd);
  host.SetConfiguration(std::string("{\"HttpsCACertificates\": \"") + path + "\"}");
  EXPECT_TRUE(Status()["HasCertificates"].asBool());
  remove(path);

  // A value of the wrong type is a configuration error.
  host.SetConfiguration("{\"HttpsCACertificates\": 12}");
  EXPECT_EQ(15, Get(GuardedRestCallback<ServeStatus>).callbackCode);
}


TEST(RestApiFormatting, MegabytesHaveOneDecimal)
{
  EXPECT_EQ("0.0", FormatMegabytes(0));
  EXPECT_EQ("1.5", FormatMegabytes(1048576 + 524288));
  EXPECT_EQ("1024.0", FormatMegabytes(1073741824ull));
  EXPECT_EQ("0.1", FormatMegabytes(104858));
}


TEST_F(RestApiTest, ARequestBeforeTheHostStartedKeepsTheStoredState)
{
  // The host serves requests before it announces that it has started; the
  // options saved then must not replace the stored server and generation.
  const std::string stored =
    "{ \"SynchronizationUuid\": \"0b7f8a0e-2d5c-4d7e-9a53-3c1f2f7d6a11\","
    "  \"AutomatedRouting\": true, \"AutomatedDeletion\": false,"
    "  \"ActiveServer\": { \"ModalityName\": \"dummy\", \"Url\": \"http://localhost:8042\","
    "    \"Compress\": true, \"HttpHeaders\": {}, \"PublicParameters\": { \"Description\": \"Peer\" },"
    "    \"ServerType\": \"Kestrum\", \"ProtocolType\": \"Native\" } }";
  host.SetGlobalProperty(STATE_PROPERTY, stored);

  ASSERT_EQ(200, Post(GuardedRestCallback<ServeOptions>, "{\"AutomatedDeletion\": true}").status);

  Json::Value saved = StoredState();
  EXPECT_EQ("0b7f8a0e-2d5c-4d7e-9a53-3c1f2f7d6a11", saved["SynchronizationUuid"].asString());
  EXPECT_EQ("dummy", saved["ActiveServer"]["ModalityName"].asString());
  EXPECT_TRUE(saved["AutomatedDeletion"].asBool());
  EXPECT_EQ("Peer", Status()["ActiveServer"]["Description"].asString());
}


TEST_F(RestApiTest, StatusBeforeTheHostStartedShowsTheStoredState)
{
  host.SetGlobalProperty(STATE_PROPERTY,
                         "{ \"SynchronizationUuid\": \"0b7f8a0e-2d5c-4d7e-9a53-3c1f2f7d6a11\","
                         "  \"AutomatedRouting\": false, \"AutomatedDeletion\": true }");
  Json::Value status = Status();
  EXPECT_FALSE(status["AutomatedRouting"].asBool());
  EXPECT_TRUE(status["AutomatedDeletion"].asBool());

  // A stored state that cannot be read does not silence the status.
  {
    PluginState& state = PluginState::GetInstance();
    std::lock_guard<std::mutex> lock(state.GetMutex());
    state.Forget();
  }
  host.SetGlobalProperty(STATE_PROPERTY, "{ \"AutomatedRouting\": \"yes\" }");
  EXPECT_TRUE(Status().isMember("InstancesPending"));
}
