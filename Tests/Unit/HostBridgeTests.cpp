#include <HostBridge/HostBuffer.h>
#include <HostBridge/HostConfiguration.h>
#include <HostBridge/HostHttpClient.h>
#include <HostBridge/HostRestApi.h>

#include <FakeHostTest.h>
#include <KestrumException.h>

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

TEST_F(HostRestApiTest, HostMemoryIsGivenBackUnlessForgotten)
{
  {
    HostBuffer buffer(bridge);
    buffer.GetRecord()->data = FakeHost::Allocate("x", 1);
    buffer.GetRecord()->size = 1;
    EXPECT_EQ("x", buffer.GetView());
  }
  EXPECT_EQ(0u, FakeHost::LiveAllocations());

  // A failing service owns nothing in the out field: it is forgotten, not freed.
  void* block = FakeHost::Allocate("x", 1);
  HostBuffer buffer(bridge);
  buffer.GetRecord()->data = block;
  buffer.GetRecord()->size = 1;
  buffer.Forget();
  EXPECT_TRUE(buffer.IsEmpty());
  EXPECT_EQ(1u, FakeHost::LiveAllocations());
  FakeHost::Free(block);
}

TEST_F(HostRestApiTest, GetParsesJsonAndChoosesTheServiceByFlag)
{
  host.OnRestGet("/instances/a").Answer("{ \"ID\" : \"a\" /* comment */ }");
  EXPECT_EQ("a", HostRestGet(bridge, "/instances/a", false).value_or(Json::Value())["ID"].asString());
  EXPECT_TRUE(HostRestGet(bridge, "/instances/a", true));

  const auto calls = host.RestCalls();
  ASSERT_EQ(2u, calls.size());
  EXPECT_EQ(KestrumService_RestApiGet, calls[0].service);
  EXPECT_EQ(KestrumService_RestApiGetAfterPlugins, calls[1].service);
  EXPECT_TRUE(calls[1].withPlugins);
}

TEST_F(HostRestApiTest, MissingResourceIsNoResultAndEmptyAnswerIsNull)
{
  host.OnRestGet("/gone").Fail(Kestrum::ErrorCode_UnknownResource)
      .OnRestGet("/inexistent").Fail(Kestrum::ErrorCode_InexistentItem).OnRestGet("/empty").Answer("");
  EXPECT_FALSE(HostRestGet(bridge, "/gone", false));
  EXPECT_FALSE(HostRestGet(bridge, "/inexistent", false));
  EXPECT_FALSE(HostRestGet(bridge, "/never-scripted", false));
  const std::optional<Json::Value> empty = HostRestGet(bridge, "/empty", false);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->isNull());

  EXPECT_FALSE(HostRestGetString(bridge, "/gone", true));
  EXPECT_EQ("", HostRestGetString(bridge, "/empty", true).value_or("missing"));
}

TEST_F(HostRestApiTest, OtherFailuresAreThrownWithTheHostCode)
{
  host.OnRestGet("/broken").Fail(Kestrum::ErrorCode_NetworkProtocol)
      .OnRestPut("/broken").Fail(Kestrum::ErrorCode_Database)
      .OnRestDelete("/broken").Fail(Kestrum::ErrorCode_NotImplemented);
  EXPECT_EQ(Kestrum::ErrorCode_NetworkProtocol, ErrorCodeOf([&] { HostRestGet(bridge, "/broken", false); }));
  EXPECT_EQ(Kestrum::ErrorCode_NetworkProtocol, ErrorCodeOf([&] { HostRestGetString(bridge, "/broken", false); }));
  EXPECT_EQ(Kestrum::ErrorCode_Database, ErrorCodeOf([&] { HostRestPut(bridge, "/broken", Json::Value("x"), false); }));
  EXPECT_EQ(Kestrum::ErrorCode_NotImplemented, ErrorCodeOf([&] { HostRestDelete(bridge, "/broken", false); }));
}

TEST_F(HostRestApiTest, GetStringKeepsBinaryBytes)
{
  const std::string file("DICM\0\x01\xff rest", 11);
  host.OnRestGetPrefix("/instances/").Compute([&](const FakeHost::RestCall& call) {
    return FakeHost::RestReply::Ok(call.uri == "/instances/x/file" ? file : "");
  });
  EXPECT_EQ(file, HostRestGetString(bridge, "/instances/x/file", false).value_or(""));
}

TEST_F(HostRestApiTest, AnswerThatIsNotJsonIsLoggedAndBadFileFormat)
{
  host.OnRestGet("/text").Answer("not json {");
  EXPECT_EQ(Kestrum::ErrorCode_BadFileFormat, ErrorCodeOf([&] { HostRestGet(bridge, "/text", false); }));
  EXPECT_EQ(std::vector<std::string>{ "Cannot convert some memory buffer to JSON" }, host.Errors());
}

TEST_F(HostRestApiTest, PutSendsCompactJsonOrRawBytes)
{
  host.OnRestPutPrefix("/instances/").Answer("{}");
  Json::Value body = Json::objectValue;
  body["Name"] = "vexa";
  body["Url"] = "https://x/";
  EXPECT_TRUE(HostRestPut(bridge, "/instances/a/metadata/4455", body, true));
  const std::string raw("uuid\0bytes", 10);
  EXPECT_TRUE(HostRestPut(bridge, "/instances/b/metadata/4455", std::string_view(raw), false));

  const auto puts = host.RestCalls("PUT");
  ASSERT_EQ(2u, puts.size());
  EXPECT_EQ(KestrumService_RestApiPutAfterPlugins, puts[0].service);
  EXPECT_EQ("{\"Name\":\"vexa\",\"Url\":\"https://x/\"}", puts[0].body);
  EXPECT_EQ(KestrumService_RestApiPut, puts[1].service);
  EXPECT_EQ(raw, puts[1].body);

  host.OnRestPut("/missing").Fail(Kestrum::ErrorCode_UnknownResource);
  EXPECT_FALSE(HostRestPut(bridge, "/missing", body, false));
}

TEST_F(HostRestApiTest, DeleteTellsMissingFromDone)
{
  host.OnRestDelete("/instances/a").Answer("").OnRestDelete("/instances/b").Fail(Kestrum::ErrorCode_InexistentItem);
  EXPECT_TRUE(HostRestDelete(bridge, "/instances/a", false));
  EXPECT_FALSE(HostRestDelete(bridge, "/instances/b", true));

  const auto deletes = host.RestCalls("DELETE");
  ASSERT_EQ(2u, deletes.size());
  EXPECT_EQ(KestrumService_RestApiDelete, deletes[0].service);
  EXPECT_EQ(KestrumService_RestApiDeleteAfterPlugins, deletes[1].service);
  EXPECT_EQ("/instances/b", deletes[1].uri);
}

TEST_F(HostRestApiTest, ToJsonOfEmptyOrNullHostMemory)
{
  HostBuffer buffer(bridge);
  EXPECT_EQ(Kestrum::ErrorCode_InternalError, ErrorCodeOf([&] { buffer.ToJson(); }));
  EXPECT_TRUE(host.Logs().empty());

  HostString text(bridge);
  EXPECT_EQ(Kestrum::ErrorCode_InternalError, ErrorCodeOf([&] { text.ToJson(); }));
  EXPECT_EQ(std::vector<std::string>{ "Cannot convert an empty memory buffer to JSON" }, host.Errors());

  *text.GetAddress() = static_cast<char*>(FakeHost::Allocate("[1, 2]", 7));
  EXPECT_EQ(2u, text.ToJson().size());   // the text is given back with the wrapper
}


class HostConfigurationTest : public QuelbyCloud::Testing::FakeHostTest
{
};

TEST_F(HostConfigurationTest, LoadFailures)
{
  host.FailConfiguration(Kestrum::ErrorCode_NetworkProtocol);
  EXPECT_EQ(Kestrum::ErrorCode_InternalError, ErrorCodeOf([&] { HostConfiguration configuration(bridge); }));
  host.SetConfigurationNull();
  EXPECT_EQ(Kestrum::ErrorCode_InternalError, ErrorCodeOf([&] { HostConfiguration configuration(bridge); }));
  host.SetConfiguration("[ \"not\", \"an object\" ]");
  EXPECT_EQ(Kestrum::ErrorCode_InternalError, ErrorCodeOf([&] { HostConfiguration configuration(bridge); }));
  host.SetConfiguration("{ unquoted : 1 }");
  EXPECT_EQ(Kestrum::ErrorCode_BadFileFormat, ErrorCodeOf([&] { HostConfiguration configuration(bridge); }));

  EXPECT_EQ((std::vector<std::string>{ "Cannot access the Kestrum configuration",
                                       "Cannot access the Kestrum configuration",
                                       "Unable to read the Kestrum configuration",
                                       "Cannot convert some memory buffer to JSON" }),
            host.Errors());
}

TEST_F(HostConfigurationTest, NotLoadingMakesNoCall)
{
  HostConfiguration empty;
  EXPECT_EQ(0u, host.CountCalls(KestrumService_GetConfiguration));
  EXPECT_TRUE(empty.GetJson().isObject());
  EXPECT_FALSE(empty.LookupStringOption("HttpsCACertificates"));
}

TEST_F(HostConfigurationTest, SectionsAndOptionsWithQualifiedKeys)
{
  host.SetConfiguration(R"({
    // comments are allowed in the host's configuration
    "HttpsCACertificates" : "/etc/ssl/certs/ca-certificates.crt",
    "DicomWeb" : { "Root" : "/dicom-web/", "Port" : 8042, "Servers" : { "Deep" : 1 }, "Flat" : "text" }
  })");

  const HostConfiguration configuration(bridge);
  EXPECT_EQ(1u, host.CountCalls(KestrumService_GetConfiguration));
  EXPECT_EQ("", configuration.GetPath());
  EXPECT_EQ("DicomWeb", configuration.QualifiedKey("DicomWeb"));
  EXPECT_TRUE(configuration.IsSection("DicomWeb"));
  EXPECT_FALSE(configuration.IsSection("HttpsCACertificates"));
  EXPECT_FALSE(configuration.IsSection("Missing"));
  EXPECT_EQ("/etc/ssl/certs/ca-certificates.crt", configuration.LookupStringOption("HttpsCACertificates").value_or(""));

  const HostConfiguration dicomWeb = configuration.ReadSection("DicomWeb");
  EXPECT_EQ("DicomWeb", dicomWeb.GetPath());
  EXPECT_EQ("/dicom-web/", dicomWeb.LookupStringOption("Root").value_or(""));
  EXPECT_EQ(Kestrum::ErrorCode_BadFileFormat, ErrorCodeOf([&] { dicomWeb.LookupStringOption("Port"); }));

  EXPECT_EQ("DicomWeb.Servers.Deep", dicomWeb.ReadSection("Servers").QualifiedKey("Deep"));
  EXPECT_EQ(Kestrum::ErrorCode_BadFileFormat, ErrorCodeOf([&] { dicomWeb.ReadSection("Flat"); }));

  const HostConfiguration missing = configuration.ReadSection("Missing");
  EXPECT_EQ("Missing", missing.GetPath());
  EXPECT_TRUE(missing.GetJson().isObject());
  EXPECT_EQ(0u, missing.GetJson().size());
  EXPECT_FALSE(missing.LookupStringOption("Root"));

  EXPECT_EQ((std::vector<std::string>{
              "The configuration option \"DicomWeb.Port\" is not a string as expected",
              "The configuration section \"DicomWeb.Flat\" is not an associative array as expected" }),
            host.Errors());
}


class HostHttpClientTest : public QuelbyCloud::Testing::FakeHostTest
{
protected:
  HostHttpClient client{bridge};
  HostHttpClient::HttpHeaders answerHeaders;

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
  client.Execute(answerHeaders);

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
  EXPECT_EQ("created", client.Execute(answerHeaders));

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
  EXPECT_EQ((HostHttpClient::HttpHeaders{ { "Content-Type", "text/plain" }, { "X-Id", "7" } }), answerHeaders);
}

TEST_F(HostHttpClientTest, EmptyCertificateFileNullsAllThreeAndEmptyCredentialsAreNull)
{
  host.OnHttp("https://x").Answer(200, "");
  client.SetUrl("https://x");
  client.SetCertificate("", "/key.pem", "key password");
  client.SetCredentials("", "");
  EXPECT_EQ("", client.Execute(answerHeaders));

  const FakeHost::HttpRequest request = OnlyRequest();
  EXPECT_FALSE(request.certificateFile.has_value());
  EXPECT_FALSE(request.certificateKeyFile.has_value());
  EXPECT_FALSE(request.certificateKeyPassword.has_value());
  EXPECT_FALSE(request.username.has_value());
  EXPECT_FALSE(request.password.has_value());
}

TEST_F(HostHttpClientTest, SwapBodyHandsTheBytesOver)
{
  host.OnHttp("https://x").Answer(200, "");
  std::string body(100000, 'q');
  client.SetUrl("https://x");
  client.SwapBody(body);
  EXPECT_TRUE(body.empty());
  client.Execute(answerHeaders);
  EXPECT_EQ(std::string(100000, 'q'), OnlyRequest().body);
}

TEST_F(HostHttpClientTest, BadAnswerHeadersThrowAndBothBuffersAreGivenBack)
{
  client.SetUrl("https://x");

  host.OnHttp("https://x").Answer(200, "body", R"({"A":"1","B":2})");
  EXPECT_EQ(Kestrum::ErrorCode_InternalError, ErrorCodeOf([&] { client.Execute(answerHeaders); }));
  EXPECT_EQ(0u, FakeHost::LiveAllocations());

  host.OnHttp("https://x").Answer(200, "body", R"(["A"])");
  EXPECT_EQ(Kestrum::ErrorCode_InternalError, ErrorCodeOf([&] { client.Execute(answerHeaders); }));
  EXPECT_EQ(0u, FakeHost::LiveAllocations());

  host.OnHttp("https://x").Answer(200, "body", "not json");
  EXPECT_EQ(Kestrum::ErrorCode_BadFileFormat, ErrorCodeOf([&] { client.Execute(answerHeaders); }));
  EXPECT_EQ(0u, FakeHost::LiveAllocations());
  EXPECT_EQ(std::vector<std::string>{ "Cannot convert some memory buffer to JSON" }, host.Errors());
}

TEST_F(HostHttpClientTest, FailingServiceIsThrownWithItsCode)
{
  client.SetUrl("https://unreachable");   // not scripted: the host fails with a protocol error
  EXPECT_EQ(Kestrum::ErrorCode_NetworkProtocol, ErrorCodeOf([&] { client.Execute(answerHeaders); }));
  host.OnHttp("https://unreachable").Fail(Kestrum::ErrorCode_Timeout);
  EXPECT_EQ(Kestrum::ErrorCode_Timeout, ErrorCodeOf([&] { client.Execute(answerHeaders); }));
  EXPECT_TRUE(host.Logs().empty());
}

TEST_F(HostHttpClientTest, JsonAnswer)
{
  host.OnHttp("https://x/ok").Answer(200, R"({"Status":"Success"})")
      .OnHttp("https://x/html").Answer(502, "<html>Bad gateway</html>");
  client.SetUrl("https://x/ok");
  EXPECT_EQ("Success", client.ExecuteJson(answerHeaders)["Status"].asString());

  client.SetUrl("https://x/html");
  EXPECT_EQ(Kestrum::ErrorCode_BadFileFormat, ErrorCodeOf([&] { client.ExecuteJson(answerHeaders); }));
  EXPECT_EQ(502, client.GetHttpStatus());
  EXPECT_EQ(std::vector<std::string>{ "Cannot convert HTTP answer body to JSON" }, host.Errors());
}
