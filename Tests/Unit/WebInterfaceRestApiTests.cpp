// The plug-in's JSON API as a browser or a script sees it: methods, bodies,
// answers, error codes, and what each operation leaves in the stored state.

#include "FakeHostTest.h"

#include <KestrumException.h>
#include <Toolbox.h>
#include <WebInterface/RestApi.h>
#include <WebInterface/StatusService.h>

#include <boost/lexical_cast.hpp>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <unistd.h>

using namespace QuelbyCloud;
using QuelbyCloud::Testing::FakeHost;

namespace
{
  Json::Value Parse(const std::string& text)
  {
    const std::optional<Json::Value> value = Kestrum::Toolbox::ReadJson(text);
    EXPECT_TRUE(value) << text;
    return value.value_or(Json::Value());
  }

  class RestApiTest : public QuelbyCloud::Testing::PluginTest
  {
  protected:
    FakeHost::RouteAnswer Post(const std::string& route, const std::string& body = "")
    {
      return host.CallRoute("POST", std::string(BASE_URI) + "/api/" + route, body);
    }

    FakeHost::RouteAnswer Get(const std::string& route)
    {
      return host.CallRoute("GET", std::string(BASE_URI) + "/api/" + route);
    }

    Json::Value Status()
    {
      FakeHost::RouteAnswer answer = Get("status");
      EXPECT_EQ(200, answer.status);
      EXPECT_EQ("application/json", answer.mimeType);
      return Parse(answer.body);
    }

    Json::Value StoredState()
    {
      std::optional<std::string> stored = host.GetGlobalProperty(PluginState::GLOBAL_PROPERTY);
      return stored ? Parse(*stored) : Json::Value(Json::nullValue);
    }
  };
}


TEST_F(RestApiTest, EveryRouteAnswersOtherMethodsWith405NamingItsOwn)
{
  const std::vector<FakeHost::Route> routes = host.Routes();
  ASSERT_EQ(REST_ROUTES.size(), routes.size());

  for (size_t i = 0; i < REST_ROUTES.size(); i++)
  {
    const char* allowed = (REST_ROUTES[i].method == KestrumHttpMethod_Get ? "GET" : "POST");
    for (const std::string method : { "GET", "POST", "PUT", "DELETE" })
    {
      if (method != allowed)
      {
        const FakeHost::RouteAnswer answer =
          host.CallHandler(routes[i].callback, method, { "index.html" }, "{\"id\":\"corvad\"}");
        EXPECT_EQ(0, answer.callbackCode) << routes[i].regex << " " << method;
        EXPECT_EQ(405, answer.status) << routes[i].regex << " " << method;
        EXPECT_EQ(allowed, answer.allowedMethods) << routes[i].regex;
        EXPECT_EQ(1u, answer.answerCount) << routes[i].regex;
        EXPECT_TRUE(answer.body.empty()) << routes[i].regex;
      }
    }
  }

  // Nothing else happened: no state stored, no remote server contacted.
  EXPECT_FALSE(host.GetGlobalProperty(PluginState::GLOBAL_PROPERTY));
  EXPECT_TRUE(host.HttpRequests().empty());
}


namespace
{
  void AnswersGroup(QuelbyCloudPlugin&, const RestRequest& request, RestOutput& output)
  {
    output.AnswerBuffer(request.group, "text/plain");
  }

  void ThrowsParameterOutOfRange(QuelbyCloudPlugin&, const RestRequest&, RestOutput&)
  {
    throw Kestrum::KestrumException(Kestrum::ErrorCode_ParameterOutOfRange);
  }

  void ThrowsBadCast(QuelbyCloudPlugin&, const RestRequest&, RestOutput&)
  {
    boost::lexical_cast<int>("twelve");
  }

  void ThrowsOther(QuelbyCloudPlugin&, const RestRequest&, RestOutput&)
  {
    throw std::runtime_error("unexpected");
  }

  void ThrowsInteger(QuelbyCloudPlugin&, const RestRequest&, RestOutput&)
  {
    throw 42;
  }

  // What the plug-in registers for each of its routes, here for a handler of the test.
  template <RouteHandler handler>
  KestrumErrorCode Served(KestrumRestOutput* output, const char*, const KestrumHttpRequest* request)
  {
    static const RestRoute route = { "", KestrumHttpMethod_Get, handler };
    return ServeRoute(*GetRunningPlugin(), route, output, request);
  }
}

TEST_F(RestApiTest, NoExceptionOfAHandlerReachesTheHost)
{
  const auto ok = host.CallHandler(&Served<AnswersGroup>, "GET", { "js/app.js" });
  EXPECT_EQ(0, ok.callbackCode);
  EXPECT_EQ(200, ok.status);
  EXPECT_EQ("js/app.js", ok.body);

  const auto range = host.CallHandler(&Served<ThrowsParameterOutOfRange>, "GET");
  EXPECT_EQ(Kestrum::ErrorCode_ParameterOutOfRange, range.callbackCode);
  EXPECT_EQ(400, range.status);

  EXPECT_EQ(Kestrum::ErrorCode_BadFileFormat, host.CallHandler(&Served<ThrowsBadCast>, "GET").callbackCode);
  EXPECT_EQ(Kestrum::ErrorCode_Plugin, host.CallHandler(&Served<ThrowsOther>, "GET").callbackCode);
  EXPECT_EQ(Kestrum::ErrorCode_Plugin, host.CallHandler(&Served<ThrowsInteger>, "GET").callbackCode);
  EXPECT_TRUE(host.Logs().empty());   // the guard itself logs nothing
}


TEST_F(RestApiTest, DestinationsAreListedInRegistrationOrderWithTheirParameters)
{
  FakeHost::RouteAnswer answer = Get("destinations");
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
  FakeHost::RouteAnswer answer = Post("test-connection", "{\"id\":\"vexa\"}");
  ASSERT_EQ(200, answer.status);

  Json::Value result = Parse(answer.body);
  EXPECT_FALSE(result["success"].asBool());
  EXPECT_EQ("No URL was provided", result["error"].asString());
  EXPECT_TRUE(host.HttpRequests().empty());
}


TEST_F(RestApiTest, TestConnectionAsksTheServerAndStoresNothing)
{
  host.OnHttp("http://localhost:8042/system").Answer(200, "{\"Version\":\"1.12.0\"}");

  Json::Value result = Parse(Post("test-connection", "{\"id\":\"corvad\"}").body);
  EXPECT_TRUE(result["success"].asBool());
  EXPECT_FALSE(result.isMember("error"));
  ASSERT_EQ(1u, host.HttpRequests().size());
  EXPECT_EQ(KestrumHttpMethod_Get, host.HttpRequests()[0].method);

  host.OnHttp("http://localhost:8042/system").Fail(Kestrum::ErrorCode_NetworkProtocol);
  result = Parse(Post("test-connection", "{\"id\":\"corvad\"}").body);
  EXPECT_FALSE(result["success"].asBool());
  EXPECT_FALSE(result.isMember("error"));

  EXPECT_FALSE(host.GetGlobalProperty(PluginState::GLOBAL_PROPERTY));
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
    for (const char* route : { "test-connection", "connect" })
    {
      FakeHost::RouteAnswer answer = Post(route, body);
      EXPECT_EQ(Kestrum::ErrorCode_NetworkProtocol, answer.callbackCode) << route << " " << body;
      EXPECT_EQ(500, answer.status) << body;
      EXPECT_EQ(0u, answer.answerCount) << body;
    }
  }

  EXPECT_EQ(Kestrum::ErrorCode_NetworkProtocol, Post("options", "[true]").callbackCode);
  EXPECT_EQ(Kestrum::ErrorCode_NetworkProtocol, Post("options", "").callbackCode);
  EXPECT_FALSE(host.GetGlobalProperty(PluginState::GLOBAL_PROPERTY));
}


TEST_F(RestApiTest, MissingOrUnknownKindIsRefused)
{
  FakeHost::RouteAnswer missing = Post("connect", "{\"Url\":\"https://x\"}");
  EXPECT_EQ(Kestrum::ErrorCode_NetworkProtocol, missing.callbackCode);
  EXPECT_TRUE(host.HasError("Error in the network protocol: The \"id\" field is missing"));

  FakeHost::RouteAnswer unknown = Post("test-connection", "{\"id\":\"nowhere\"}");
  EXPECT_EQ(Kestrum::ErrorCode_ParameterOutOfRange, unknown.callbackCode);
  EXPECT_EQ(400, unknown.status);
  EXPECT_TRUE(host.HasError("Parameter out of range: Unknown destination: nowhere"));
}


TEST_F(RestApiTest, ConnectWithRefusedParametersChangesNothing)
{
  FakeHost::RouteAnswer answer = Post("connect", "{\"id\":\"kestrum-cloud\",\"Url\":\"https://cloud.kestrum.example/\"}");
  EXPECT_EQ(Kestrum::ErrorCode_ParameterOutOfRange, answer.callbackCode);
  EXPECT_EQ(400, answer.status);
  EXPECT_TRUE(host.HasError("Parameter out of range: Bad parameters for the remote server: No username was provided"));
  EXPECT_FALSE(host.GetGlobalProperty(PluginState::GLOBAL_PROPERTY));
  EXPECT_FALSE(Status().isMember("ActiveServer"));
}


TEST_F(RestApiTest, ConnectStoresTheServerAndStatusShowsOnlyItsPublicParameters)
{
  const std::string body =
    "{\"id\":\"kestrum-cloud\", \"Url\":\"https://cloud.kestrum.example/\","
    " \"username\":\"alice\", \"password\":\"s3cret-pass\"}";

  FakeHost::RouteAnswer answer = Post("connect", body);
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
  const std::string text = Get("status").body;
  EXPECT_EQ(std::string::npos, text.find("s3cret-pass"));
  EXPECT_EQ(std::string::npos, text.find("Basic"));
  EXPECT_EQ(std::string::npos, text.find("Authorization"));

  // Connecting again starts a new generation.
  const std::string firstUuid = stored["SynchronizationUuid"].asString();
  ASSERT_EQ(200, Post("connect", body).status);
  EXPECT_NE(firstUuid, StoredState()["SynchronizationUuid"].asString());
}


TEST_F(RestApiTest, DisconnectDropsTheServerAndRenewsTheGeneration)
{
  ASSERT_EQ(200, Post("connect", "{\"id\":\"corvad\"}").status);
  const std::string connectedUuid = StoredState()["SynchronizationUuid"].asString();
  EXPECT_TRUE(Status().isMember("ActiveServer"));

  FakeHost::RouteAnswer answer = Post("disconnect", "ignored");
  EXPECT_EQ("ok", answer.body);
  EXPECT_FALSE(Status().isMember("ActiveServer"));
  EXPECT_FALSE(StoredState().isMember("ActiveServer"));
  EXPECT_NE(connectedUuid, StoredState()["SynchronizationUuid"].asString());

  // Disconnecting while nothing is connected still renews and saves.
  ASSERT_EQ(200, Post("disconnect").status);
  EXPECT_EQ(36u, StoredState()["SynchronizationUuid"].asString().size());
}


TEST_F(RestApiTest, OptionsAreAppliedAndStoredTogether)
{
  ASSERT_EQ(200, Post("options", "{\"AutomatedRouting\": false, \"AutomatedDeletion\": true, \"Other\": 1}").status);
  Json::Value stored = StoredState();
  EXPECT_FALSE(stored["AutomatedRouting"].asBool());
  EXPECT_TRUE(stored["AutomatedDeletion"].asBool());

  Json::Value status = Status();
  EXPECT_FALSE(status["AutomatedRouting"].asBool());
  EXPECT_TRUE(status["AutomatedDeletion"].asBool());

  // An empty object saves the state unchanged.
  ASSERT_EQ(200, Post("options", "{}").status);
  EXPECT_EQ(stored, StoredState());
}


TEST_F(RestApiTest, AnOptionOfTheWrongTypeChangesNothing)
{
  ASSERT_EQ(200, Post("options", "{\"AutomatedRouting\": true}").status);
  const Json::Value before = StoredState();

  FakeHost::RouteAnswer answer = Post("options", "{\"AutomatedRouting\": false, \"AutomatedDeletion\": \"true\"}");
  EXPECT_EQ(Kestrum::ErrorCode_BadFileFormat, answer.callbackCode);
  EXPECT_EQ(400, answer.status);
  EXPECT_TRUE(host.HasError("Bad file format: Boolean value expected in field: AutomatedDeletion"));
  EXPECT_EQ(before, StoredState());

  // Not even in memory: the valid option of the refused request is not applied.
  EXPECT_TRUE(Status()["AutomatedRouting"].asBool());
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
  EXPECT_EQ(Kestrum::ErrorCode_BadFileFormat, Get("status").callbackCode);
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
  host.SetGlobalProperty(PluginState::GLOBAL_PROPERTY, stored);

  ASSERT_EQ(200, Post("options", "{\"AutomatedDeletion\": true}").status);

  Json::Value saved = StoredState();
  EXPECT_EQ("0b7f8a0e-2d5c-4d7e-9a53-3c1f2f7d6a11", saved["SynchronizationUuid"].asString());
  EXPECT_EQ("dummy", saved["ActiveServer"]["ModalityName"].asString());
  EXPECT_TRUE(saved["AutomatedDeletion"].asBool());
  EXPECT_EQ("Peer", Status()["ActiveServer"]["Description"].asString());
}


TEST_F(RestApiTest, StatusNeitherReadsNorStoresTheState)
{
  host.SetGlobalProperty(PluginState::GLOBAL_PROPERTY,
                         "{ \"SynchronizationUuid\": \"0b7f8a0e-2d5c-4d7e-9a53-3c1f2f7d6a11\","
                         "  \"AutomatedRouting\": false, \"AutomatedDeletion\": true }");
  Json::Value status = Status();
  EXPECT_TRUE(status["AutomatedRouting"].asBool());   // the defaults in memory, not the stored state
  EXPECT_FALSE(status["AutomatedDeletion"].asBool());
  EXPECT_TRUE(host.GlobalPropertyAccesses().empty());
}
