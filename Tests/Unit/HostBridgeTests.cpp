#include <HostBridge/GuardedRestCallback.h>
#include <HostBridge/HostContext.h>
#include <HostBridge/HostBuffer.h>
#include <HostBridge/HostConfiguration.h>
#include <HostBridge/HostHttpClient.h>
#include <HostBridge/HostRestApi.h>

#include <FakeHostTest.h>

#include <stdexcept>

using Kestrum::KestrumException;
using QuelbyCloud::Testing::FakeHost;
using namespace QuelbyCloud;

namespace
{
  template <typename F>
  int32_t ErrorCodeOf(F call)
  {
    try
    {
      call();
    }
    catch (const KestrumException& e)
    {
      return e.GetErrorCode();
    }
    ADD_FAILURE() << "no exception";
    return 0;
  }
}

class HostRestApiTest : public QuelbyCloud::Testing::FakeHostTest
{
};

TEST_F(HostRestApiTest, CheckAnswerReadsTheServiceResult)
{
  HostBuffer buffer;
  EXPECT_TRUE(buffer.CheckAnswer(0));
  EXPECT_FALSE(buffer.CheckAnswer(7));
  EXPECT_FALSE(buffer.CheckAnswer(17));
  EXPECT_EQ(9, ErrorCodeOf([&] { buffer.CheckAnswer(9); }));
  EXPECT_EQ(-1, ErrorCodeOf([&] { buffer.CheckAnswer(-1); }));

  // A failing service owns nothing in the out field: it is forgotten, not freed.
  void* block = FakeHost::Allocate("x", 1);
  buffer.GetRecord()->data = block;
  buffer.GetRecord()->size = 1;
  EXPECT_FALSE(buffer.CheckAnswer(17));
  EXPECT_TRUE(buffer.IsEmpty());
  EXPECT_EQ(1u, FakeHost::LiveAllocations());
  FakeHost::Free(block);
}

TEST_F(HostRestApiTest, GetParsesJsonAndChoosesTheServiceByFlag)
{
  host.OnRestGet("/instances/a").Answer("{ \"ID\" : \"a\" /* comment */ }");
  Json::Value result;
  EXPECT_TRUE(HostRestGet(result, "/instances/a", false));
  EXPECT_EQ("a", result["ID"].asString());
  EXPECT_TRUE(HostRestGet(result, "/instances/a", true));

  const auto calls = host.RestCalls();
  ASSERT_EQ(2u, calls.size());
  EXPECT_EQ(KestrumService_RestApiGet, calls[0].service);
  EXPECT_EQ(KestrumService_RestApiGetAfterPlugins, calls[1].service);
  EXPECT_TRUE(calls[1].withPlugins);
}

TEST_F(HostRestApiTest, MissingResourceAndEmptyAnswerLeaveTheResultAlone)
{
  host.OnRestGet("/gone").Fail(17).OnRestGet("/inexistent").Fail(7).OnRestGet("/empty").Answer("");
  Json::Value result = "untouched";
  EXPECT_FALSE(HostRestGet(result, "/gone", false));
  EXPECT_FALSE(HostRestGet(result, "/inexistent", false));
  EXPECT_FALSE(HostRestGet(result, "/never-scripted", false));
  EXPECT_TRUE(HostRestGet(result, "/empty", false));
  EXPECT_EQ("untouched", result.asString());

  std::string text = "untouched";
  EXPECT_FALSE(HostRestGetString(text, "/gone", true));
  EXPECT_EQ("untouched", text);
  EXPECT_TRUE(HostRestGetString(text, "/empty", true));
  EXPECT_EQ("", text);
}

TEST_F(HostRestApiTest, OtherFailuresAreThrownWithTheHostCode)
{
  host.OnRestGet("/broken").Fail(9).OnRestPut("/broken").Fail(11).OnRestDelete("/broken").Fail(2);
  Json::Value result;
  std::string text;
  EXPECT_EQ(9, ErrorCodeOf([&] { HostRestGet(result, "/broken", false); }));
  EXPECT_EQ(9, ErrorCodeOf([&] { HostRestGetString(text, "/broken", false); }));
  EXPECT_EQ(11, ErrorCodeOf([&] { HostRestPut(result, "/broken", Json::Value("x"), false); }));
  EXPECT_EQ(2, ErrorCodeOf([&] { HostRestDelete("/broken", false); }));
}

TEST_F(HostRestApiTest, GetStringKeepsBinaryBytes)
{
  const std::string file("DICM\0\x01\xff rest", 11);
  host.OnRestGetPrefix("/instances/").Compute([&](const FakeHost::RestCall& call) {
    return FakeHost::RestReply::Ok(call.uri == "/instances/x/file" ? file : "");
  });
  std::string text;
  EXPECT_TRUE(HostRestGetString(text, "/instances/x/file", false));
  EXPECT_EQ(file, text);
}

TEST_F(HostRestApiTest, AnswerThatIsNotJsonIsLoggedAndCode15)
{
  host.OnRestGet("/text").Answer("not json {");
  Json::Value result = "untouched";
  EXPECT_EQ(15, ErrorCodeOf([&] { HostRestGet(result, "/text", false); }));
  EXPECT_EQ(std::vector<std::string>{ "Cannot convert some memory buffer to JSON" }, host.Errors());
  EXPECT_EQ("untouched", result.asString());
}

TEST_F(HostRestApiTest, PutSendsCompactJsonOrRawBytes)
{
  host.OnRestPutPrefix("/instances/").Answer("{}");
  Json::Value body = Json::objectValue;
  body["Name"] = "vexa";
  body["Url"] = "https://x/";
  Json::Value result;
  EXPECT_TRUE(HostRestPut(result, "/instances/a/metadata/4455", body, true));
  const std::string raw("uuid\0bytes", 10);
  EXPECT_TRUE(HostRestPut(result, "/instances/b/metadata/4455", raw.data(), raw.size(), false));

  const auto puts = host.RestCalls("PUT");
  ASSERT_EQ(2u, puts.size());
  EXPECT_EQ(KestrumService_RestApiPutAfterPlugins, puts[0].service);
  EXPECT_EQ("{\"Name\":\"vexa\",\"Url\":\"https://x/\"}", puts[0].body);
  EXPECT_EQ(KestrumService_RestApiPut, puts[1].service);
  EXPECT_EQ(raw, puts[1].body);

  host.OnRestPut("/missing").Fail(17);
  EXPECT_FALSE(HostRestPut(result, "/missing", body, false));
}

TEST_F(HostRestApiTest, DeleteTellsMissingFromDone)
{
  host.OnRestDelete("/instances/a").Answer("").OnRestDelete("/instances/b").Fail(7);
  EXPECT_TRUE(HostRestDelete("/instances/a", false));
  EXPECT_FALSE(HostRestDelete("/instances/b", true));

  const auto deletes = host.RestCalls("DELETE");
  ASSERT_EQ(2u, deletes.size());
  EXPECT_EQ(KestrumService_RestApiDelete, deletes[0].service);
  EXPECT_EQ(KestrumService_RestApiDeleteAfterPlugins, deletes[1].service);
  EXPECT_EQ("/instances/b", deletes[1].uri);
}

TEST_F(HostRestApiTest, ToJsonOfEmptyOrNullHostMemory)
{
  HostBuffer buffer;
  Json::Value target;
  EXPECT_EQ(-1, ErrorCodeOf([&] { buffer.ToJson(target); }));
  EXPECT_TRUE(host.Logs().empty());

  HostString text;
  EXPECT_EQ(-1, ErrorCodeOf([&] { text.ToJson(target); }));
  EXPECT_EQ(std::vector<std::string>{ "Cannot convert an empty memory buffer to JSON" }, host.Errors());

  *text.GetAddress() = static_cast<char*>(FakeHost::Allocate("[1, 2]", 7));
  text.ToJson(target);
  EXPECT_EQ(2u, target.size());
  text.Clear();
  EXPECT_EQ(nullptr, text.GetContent());
}


class HostConfigurationTest : public QuelbyCloud::Testing::FakeHostTest
{
};

TEST_F(HostConfigurationTest, LoadFailures)
{
  host.FailConfiguration(9);
  EXPECT_EQ(-1, ErrorCodeOf([] { HostConfiguration configuration; }));
  host.SetConfigurationNull();
  EXPECT_EQ(-1, ErrorCodeOf([] { HostConfiguration configuration; }));
  host.SetConfiguration("[ \"not\", \"an object\" ]");
  EXPECT_EQ(-1, ErrorCodeOf([] { HostConfiguration configuration(true); }));
  host.SetConfiguration("{ unquoted : 1 }");
  EXPECT_EQ(15, ErrorCodeOf([] { HostConfiguration configuration; }));

  EXPECT_EQ((std::vector<std::string>{ "Cannot access the Kestrum configuration",
                                       "Cannot access the Kestrum configuration",
                                       "Unable to read the Kestrum configuration",
                                       "Cannot convert some memory buffer to JSON" }),
            host.Errors());
}

TEST_F(HostConfigurationTest, NotLoadingMakesNoCall)
{
  HostConfiguration empty(false);
  EXPECT_EQ(0u, host.CountCalls(KestrumService_GetConfiguration));
  EXPECT_TRUE(empty.GetJson().isObject());
  std::string value;
  EXPECT_FALSE(empty.LookupStringOption(value, "HttpsCACertificates"));
}

TEST_F(HostConfigurationTest, SectionsAndOptionsWithQualifiedKeys)
{
  host.SetConfiguration(R"({
    // comments are allowed in the host's configuration
    "HttpsCACertificates" : "/etc/ssl/certs/ca-certificates.crt",
    "DicomWeb" : { "Root" : "/dicom-web/", "Port" : 8042, "Servers" : { "Deep" : 1 }, "Flat" : "text" }
  })");

  HostConfiguration configuration;
  EXPECT_EQ(1u, host.CountCalls(KestrumService_GetConfiguration));
  EXPECT_EQ("", configuration.GetPath());
  EXPECT_EQ("DicomWeb", configuration.QualifiedKey("DicomWeb"));
  EXPECT_TRUE(configuration.IsSection("DicomWeb"));
  EXPECT_FALSE(configuration.IsSection("HttpsCACertificates"));
  EXPECT_FALSE(configuration.IsSection("Missing"));

  std::string value;
  EXPECT_TRUE(configuration.LookupStringOption(value, "HttpsCACertificates"));
  EXPECT_EQ("/etc/ssl/certs/ca-certificates.crt", value);

  HostConfiguration dicomWeb(false);
  configuration.ReadSection(dicomWeb, "DicomWeb");
  EXPECT_EQ("DicomWeb", dicomWeb.GetPath());
  EXPECT_TRUE(dicomWeb.LookupStringOption(value, "Root"));
  EXPECT_EQ("/dicom-web/", value);
  EXPECT_EQ(15, ErrorCodeOf([&] { dicomWeb.LookupStringOption(value, "Port"); }));

  HostConfiguration servers(false);
  dicomWeb.ReadSection(servers, "Servers");
  EXPECT_EQ("DicomWeb.Servers.Deep", servers.QualifiedKey("Deep"));
  EXPECT_EQ(15, ErrorCodeOf([&] { dicomWeb.ReadSection(servers, "Flat"); }));

  HostConfiguration missing(false);
  configuration.ReadSection(missing, "Missing");
  EXPECT_EQ("Missing", missing.GetPath());
  EXPECT_TRUE(missing.GetJson().isObject());
  EXPECT_EQ(0u, missing.GetJson().size());
  EXPECT_FALSE(missing.LookupStringOption(value, "Root"));

  EXPECT_EQ((std::vector<std::string>{
              "The configuration option \"DicomWeb.Port\" is not a string as expected",
              "The configuration section \"DicomWeb.Flat\" is not an associative array as expected" }),
            host.Errors());
}


class HostHttpClientTest : public QuelbyCloud::Testing::FakeHostTest
{
protected:
  HostHttpClient client;
  HostHttpClient::HttpHeaders answerHeaders;
  std::string answerBody;

  FakeHost::HttpRequest OnlyRequest()
  {
    const auto requests = host.HttpRequests();
    EXPECT_EQ(1u, requests.size());
    return requests.empty() ? FakeHost::HttpRequest() : requests[0];
  }
};

TEST_F(HostHttpClientTest, DefaultsPassNullsAndZeros)
{
  host.OnHttp("https://peer/system").Answer(200, "{}");
  client.SetUrl("https://peer/system");
  client.Execute(answerHeaders, answerBody);

  const FakeHost::HttpRequest request = OnlyRequest();
  EXPECT_EQ(KestrumHttpMethod_Get, request.method);
  EXPECT_EQ("https://peer/system", request.url);
  EXPECT_EQ(0u, request.headersCount);
  EXPECT_TRUE(request.headersKeysNull);
  EXPECT_TRUE(request.headersValuesNull);
  EXPECT_TRUE(request.bodyNull);
  EXPECT_EQ(0u, request.bodySize);
  EXPECT_FALSE(request.username.has_value());
  EXPECT_FALSE(request.password.has_value());
  EXPECT_EQ(0u, request.timeout);
  EXPECT_FALSE(request.certificateFile.has_value());
  EXPECT_FALSE(request.certificateKeyFile.has_value());
  EXPECT_FALSE(request.certificateKeyPassword.has_value());
  EXPECT_EQ(0, request.pkcs11);
}

TEST_F(HostHttpClientTest, EveryFieldIsPassedAndTheAnswerRead)
{
  host.OnHttpPrefix("https://portal/").Answer(201, "created", R"({"Content-Type":"text/plain","X-Id":"7"})");
  const std::string body("multipart\0body", 14);
  client.SetMethod(KestrumHttpMethod_Post);
  client.SetUrl("https://portal/api/upload");
  client.SetHeader("Content-Type", "multipart/form-data; boundary=b");
  client.SetHeader("Authorization", "Bearer t");
  client.SetCredentials("user", "secret");
  client.SetTimeout(30);
  client.SetCertificate("/c.pem", "", "key password");
  client.SetPkcs11(true);
  client.SetBody(body);
  client.Execute(answerHeaders, answerBody);

  const FakeHost::HttpRequest request = OnlyRequest();
  EXPECT_EQ(KestrumHttpMethod_Post, request.method);
  EXPECT_EQ(2u, request.headersCount);
  EXPECT_EQ((std::map<std::string, std::string>{ { "Authorization", "Bearer t" },
                                                 { "Content-Type", "multipart/form-data; boundary=b" } }),
            request.headers);
  EXPECT_EQ(body, request.body);
  EXPECT_EQ(14u, request.bodySize);
  EXPECT_EQ("user", request.username.value_or("null"));
  EXPECT_EQ("secret", request.password.value_or("null"));
  EXPECT_EQ(30u, request.timeout);
  EXPECT_EQ("/c.pem", request.certificateFile.value_or("null"));
  EXPECT_EQ("", request.certificateKeyFile.value_or("null"));   // passed along with the file, even empty
  EXPECT_EQ("key password", request.certificateKeyPassword.value_or("null"));
  EXPECT_EQ(1, request.pkcs11);

  EXPECT_EQ(201, client.GetHttpStatus());
  EXPECT_EQ("created", answerBody);
  EXPECT_EQ((HostHttpClient::HttpHeaders{ { "Content-Type", "text/plain" }, { "X-Id", "7" } }), answerHeaders);
}

TEST_F(HostHttpClientTest, EmptyCertificateFileNullsAllThreeAndEmptyCredentialsAreNull)
{
  host.OnHttp("https://x").Answer(200, "");
  client.SetUrl("https://x");
  client.SetCertificate("", "/key.pem", "key password");
  client.SetCredentials("", "");
  client.Execute(answerHeaders, answerBody);

  const FakeHost::HttpRequest request = OnlyRequest();
  EXPECT_FALSE(request.certificateFile.has_value());
  EXPECT_FALSE(request.certificateKeyFile.has_value());
  EXPECT_FALSE(request.certificateKeyPassword.has_value());
  EXPECT_FALSE(request.username.has_value());
  EXPECT_FALSE(request.password.has_value());
  EXPECT_EQ("", answerBody);
}

TEST_F(HostHttpClientTest, SwapBodyHandsTheBytesOver)
{
  host.OnHttp("https://x").Answer(200, "");
  std::string body(100000, 'q');
  client.SetUrl("https://x");
  client.SwapBody(body);
  EXPECT_TRUE(body.empty());
  client.Execute(answerHeaders, answerBody);
  EXPECT_EQ(std::string(100000, 'q'), OnlyRequest().body);
}

TEST_F(HostHttpClientTest, BadAnswerHeadersThrowAndBothBuffersAreGivenBack)
{
  client.SetUrl("https://x");
  answerHeaders["stale"] = "kept until replaced";

  host.OnHttp("https://x").Answer(200, "body", R"({"A":"1","B":2})");
  EXPECT_EQ(-1, ErrorCodeOf([&] { client.Execute(answerHeaders, answerBody); }));
  EXPECT_EQ(0u, FakeHost::LiveAllocations());

  host.OnHttp("https://x").Answer(200, "body", R"(["A"])");
  EXPECT_EQ(-1, ErrorCodeOf([&] { client.Execute(answerHeaders, answerBody); }));
  EXPECT_EQ(0u, FakeHost::LiveAllocations());

  host.OnHttp("https://x").Answer(200, "body", "not json");
  EXPECT_EQ(15, ErrorCodeOf([&] { client.Execute(answerHeaders, answerBody); }));
  EXPECT_EQ(0u, FakeHost::LiveAllocations());
  EXPECT_EQ(std::vector<std::string>{ "Cannot convert some memory buffer to JSON" }, host.Errors());
}

TEST_F(HostHttpClientTest, FailingServiceIsThrownWithItsCode)
{
  client.SetUrl("https://unreachable");   // not scripted: the host fails with 9
  EXPECT_EQ(9, ErrorCodeOf([&] { client.Execute(answerHeaders, answerBody); }));
  host.OnHttp("https://unreachable").Fail(16);
  EXPECT_EQ(16, ErrorCodeOf([&] { client.Execute(answerHeaders, answerBody); }));
  EXPECT_TRUE(host.Logs().empty());
}

TEST_F(HostHttpClientTest, JsonAnswer)
{
  host.OnHttp("https://x/ok").Answer(200, R"({"Status":"Success"})")
      .OnHttp("https://x/html").Answer(502, "<html>Bad gateway</html>");
  Json::Value answer;
  client.SetUrl("https://x/ok");
  client.Execute(answerHeaders, answer);
  EXPECT_EQ("Success", answer["Status"].asString());

  client.SetUrl("https://x/html");
  EXPECT_EQ(15, ErrorCodeOf([&] { client.Execute(answerHeaders, answer); }));
  EXPECT_EQ(502, client.GetHttpStatus());
  EXPECT_EQ(std::vector<std::string>{ "Cannot convert HTTP answer body to JSON" }, host.Errors());
}


namespace
{
  void AnswersOk(KestrumRestOutput* output, const char*, const KestrumHttpRequest* request)
  {
    const std::string group = request->groupsCount > 0 ? request->groups[0] : "";
    _KestrumAnswerBuffer answer = { output, group.data(), static_cast<uint32_t>(group.size()), "text/plain" };
    RequireHostContext()->InvokeService(RequireHostContext(), KestrumService_AnswerBuffer, &answer);
  }

  void ThrowsParameterOutOfRange(KestrumRestOutput*, const char*, const KestrumHttpRequest*)
  {
    throw KestrumException(Kestrum::ErrorCode_ParameterOutOfRange);
  }

  void ThrowsBadCast(KestrumRestOutput*, const char*, const KestrumHttpRequest*)
  {
    boost::lexical_cast<int>("twelve");
  }

  void ThrowsOther(KestrumRestOutput*, const char*, const KestrumHttpRequest*)
  {
    throw std::runtime_error("unexpected");
  }

  void ThrowsInteger(KestrumRestOutput*, const char*, const KestrumHttpRequest*)
  {
    throw 42;
  }
}

class GuardedRestCallbackTest : public QuelbyCloud::Testing::FakeHostTest
{
};

TEST_F(GuardedRestCallbackTest, NoExceptionReachesTheHost)
{
  const auto ok = host.CallHandler(&GuardedRestCallback<AnswersOk>, "GET", { "js/app.js" });
  EXPECT_EQ(0, ok.callbackCode);
  EXPECT_EQ(200, ok.status);
  EXPECT_EQ("js/app.js", ok.body);

  const auto range = host.CallHandler(&GuardedRestCallback<ThrowsParameterOutOfRange>, "POST");
  EXPECT_EQ(3, range.callbackCode);
  EXPECT_EQ(400, range.status);

  EXPECT_EQ(15, host.CallHandler(&GuardedRestCallback<ThrowsBadCast>, "GET").callbackCode);
  EXPECT_EQ(1, host.CallHandler(&GuardedRestCallback<ThrowsOther>, "GET").callbackCode);
  EXPECT_EQ(1, host.CallHandler(&GuardedRestCallback<ThrowsInteger>, "GET").callbackCode);
  EXPECT_TRUE(host.Logs().empty());   // the guard itself logs nothing
}
