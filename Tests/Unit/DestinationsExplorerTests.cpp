// Declaring the active server in the host's explorer: the host calls made and the lines logged.

#include <Destinations/ExplorerRegistration.h>
#include <Destinations/ServerConfiguration.h>

#include <FakeHostTest.h>
#include <KestrumException.h>
#include <Toolbox.h>

using namespace QuelbyCloud;
using QuelbyCloud::Testing::FakeHost;
using QuelbyCloud::Testing::FakeHostTest;

namespace
{
  const char* const CANNOT_ADD = "Quelby Cloud plugin: Cannot add the modality for use in Kestrum Explorer";
  const char* const CANNOT_REMOVE = "Quelby Cloud plugin: Cannot unregister the modality out of Kestrum Explorer";

  class ExplorerTest : public FakeHostTest
  {
  protected:
    static ServerConfiguration Portal()
    {
      ServerConfiguration server;
      server.SetModalityName("vexa");
      server.SetUrl("https://demo.vexa.example/");
      server.SetServerType(ServerType_Vexa);
      server.SetProtocolType(ProtocolType_DicomWeb);
      server.SetHttpHeader("Authorization", "Api-Key tok");
      return server;
    }

    static ServerConfiguration Managed()
    {
      ServerConfiguration server;
      server.SetModalityName("kestrum-cloud");
      server.SetUrl("https://cloud.kestrum.example/");
      server.SetHttpHeader("Authorization", "Basic dTpw");
      return server;
    }

    void DicomWebPluginLoaded(const std::string& root = "/dicom-web")
    {
      host.OnRestGet("/plugins").Answer("[\"other\", 3, \"dicom-web\"]")
          .OnRestGet(root + "/servers").Answer("[]");
    }

    // "METHOD uri withPlugins" for every REST call, in order.
    std::vector<std::string> Sequence() const
    {
      std::vector<std::string> result;
      for (const FakeHost::RestCall& call : host.RestCalls())
      {
        result.push_back(call.method + " " + call.uri + (call.withPlugins ? " +" : " -"));
      }
      return result;
    }

    static Json::Value Parse(const std::string& text)
    {
      const std::optional<Json::Value> value = Kestrum::Toolbox::ReadJson(text);
      EXPECT_TRUE(value) << text;
      return value.value_or(Json::Value());
    }
  };
}


TEST_F(ExplorerTest, ManagedServerIsDeclaredAsAPeer)
{
  host.OnRestPut("/peers/kestrum-cloud").Answer("");

  RegisterInExplorer(bridge, Managed());

  EXPECT_EQ(std::vector<std::string>({ "GET /peers/kestrum-cloud -", "PUT /peers/kestrum-cloud -" }), Sequence());
  const Json::Value body = Parse(host.RestCalls("PUT")[0].body);
  EXPECT_EQ(2u, body.size());
  EXPECT_EQ("https://cloud.kestrum.example", body["Url"].asString());
  EXPECT_EQ("Basic dTpw", body["HttpHeaders"]["Authorization"].asString());
  EXPECT_TRUE(host.Warnings().empty());
  EXPECT_TRUE(host.Errors().empty());
}


TEST_F(ExplorerTest, ExistingPeerIsOverwrittenAfterAWarning)
{
  host.OnRestGet("/peers/kestrum-cloud").Answer("{}")
      .OnRestPut("/peers/kestrum-cloud").Answer("");

  RegisterInExplorer(bridge, Managed());

  EXPECT_EQ(std::vector<std::string>({ "Quelby Cloud plugin: Kestrum peer modality \"kestrum-cloud\" was already defined, overwriting it" }),
            host.Warnings());
  EXPECT_EQ(1u, host.RestCalls("PUT").size());
}


TEST_F(ExplorerTest, RefusedPeerPutIsLogged)
{
  RegisterInExplorer(bridge, Managed());   // nothing scripted: the PUT finds no resource
  EXPECT_EQ(std::vector<std::string>({ CANNOT_ADD }), host.Errors());
}


TEST_F(ExplorerTest, PeerIsWithdrawnByDelete)
{
  host.OnRestDelete("/peers/kestrum-cloud").Answer("");
  UnregisterFromExplorer(bridge, Managed());
  EXPECT_EQ(std::vector<std::string>({ "DELETE /peers/kestrum-cloud -" }), Sequence());
  EXPECT_TRUE(host.Errors().empty());

  host.Reset();
  UnregisterFromExplorer(bridge, Managed());
  EXPECT_EQ(std::vector<std::string>({ CANNOT_REMOVE }), host.Errors());
}


TEST_F(ExplorerTest, PortalIsDeclaredToThePresentDicomWebPlugin)
{
  DicomWebPluginLoaded();
  host.OnRestGet("/dicom-web/servers/vexa").Answer("{}")
      .OnRestPut("/dicom-web/servers/vexa").Answer("");

  RegisterInExplorer(bridge, Portal());

  EXPECT_EQ(std::vector<std::string>({ "GET /plugins -", "GET /dicom-web/servers +",
                                       "GET /dicom-web/servers/vexa +", "PUT /dicom-web/servers/vexa +" }),
            Sequence());
  const Json::Value body = Parse(host.RestCalls("PUT")[0].body);
  EXPECT_EQ("https://demo.vexa.example/api/dicom-web", body["Url"].asString());
  EXPECT_EQ("Api-Key tok", body["HttpHeaders"]["Authorization"].asString());
  EXPECT_EQ(std::vector<std::string>({ "Quelby Cloud plugin: DICOMweb modality \"vexa\" was already defined, overwriting it" }),
            host.Warnings());
  EXPECT_TRUE(host.Errors().empty());

  host.Reset();
  DicomWebPluginLoaded();
  host.OnRestDelete("/dicom-web/servers/vexa").Answer("");
  UnregisterFromExplorer(bridge, Portal());
  EXPECT_EQ(std::vector<std::string>({ "GET /plugins -", "GET /dicom-web/servers +", "DELETE /dicom-web/servers/vexa +" }),
            Sequence());
  EXPECT_TRUE(host.Errors().empty());
}


TEST_F(ExplorerTest, PortalWithoutDicomWebPluginDeclaresNothing)
{
  for (const char* plugins : { "[\"other\"]", "{\"dicom-web\": 1}", "[[\"dicom-web\"]]" })
  {
    host.Reset();
    host.OnRestGet("/plugins").Answer(plugins);

    RegisterInExplorer(bridge, Portal());
    UnregisterFromExplorer(bridge, Portal());

    EXPECT_EQ(std::vector<std::string>({ "GET /plugins -", "GET /plugins -" }), Sequence()) << plugins;
    EXPECT_EQ(std::vector<std::string>({ CANNOT_ADD, CANNOT_REMOVE }), host.Errors()) << plugins;
  }
}


TEST_F(ExplorerTest, DicomWebRootComesFromTheHostConfiguration)
{
  struct Case { const char* configuration; const char* root; };
  for (const Case& c : { Case{ "{}", "/dicom-web" },
                         Case{ "{\"DicomWeb\": {}}", "/dicom-web" },
                         Case{ "{\"DicomWeb\": 5}", "/dicom-web" },
                         Case{ "{\"DicomWeb\": {\"Root\": \"dicom-web/\"}}", "/dicom-web" },
                         Case{ "{\"DicomWeb\": {\"Root\": \"/web//\"}}", "/web" },
                         Case{ "{\"DicomWeb\": {\"Root\": \"/\"}}", "/" } })
  {
    host.Reset();
    host.SetConfiguration(c.configuration);
    DicomWebPluginLoaded(c.root);

    EXPECT_EQ(c.root, FindDicomWebRoot(bridge).value_or("none")) << c.configuration;
  }

  // "/" as root asks for "//servers".
  host.Reset();
  host.SetConfiguration("{\"DicomWeb\": {\"Root\": \"/\"}}");
  host.OnRestGet("/plugins").Answer("[\"dicom-web\"]");
  FindDicomWebRoot(bridge);
  EXPECT_EQ("//servers", host.RestCalls("GET").back().uri);
}


TEST_F(ExplorerTest, DicomWebRootMustAnswerAnArray)
{
  host.OnRestGet("/plugins").Answer("[\"dicom-web\"]")
      .OnRestGet("/dicom-web/servers").Answer("{}");
  EXPECT_FALSE(FindDicomWebRoot(bridge));

  host.Reset();
  host.OnRestGet("/plugins").Answer("[\"dicom-web\"]");   // servers list missing
  EXPECT_FALSE(FindDicomWebRoot(bridge));
}


TEST_F(ExplorerTest, HostFailuresAndBadOptionsAreRaised)
{
  host.OnRestGet("/plugins").Answer("[\"dicom-web\"]");
  host.SetConfiguration("{\"DicomWeb\": {\"Root\": 3}}");
  try
  {
    FindDicomWebRoot(bridge);
    FAIL();
  }
  catch (const Kestrum::KestrumException& e)
  {
    EXPECT_EQ(Kestrum::ErrorCode_BadFileFormat, e.GetErrorCode());
  }

  host.Reset();
  host.OnRestGet("/peers/kestrum-cloud").Fail(Kestrum::ErrorCode_NotEnoughMemory);
  try
  {
    RegisterInExplorer(bridge, Managed());
    FAIL();
  }
  catch (const Kestrum::KestrumException& e)
  {
    EXPECT_EQ(Kestrum::ErrorCode_NotEnoughMemory, e.GetErrorCode());
  }
  EXPECT_TRUE(host.RestCalls("PUT").empty());
}


TEST_F(ExplorerTest, NativePortalMakesNoHostCall)
{
  ServerConfiguration server = Portal();
  server.SetProtocolType(ProtocolType_Native);
  RegisterInExplorer(bridge, server);
  UnregisterFromExplorer(bridge, server);
  server.SetProtocolType(static_cast<ProtocolType>(9));
  RegisterInExplorer(bridge, server);
  UnregisterFromExplorer(bridge, server);
  EXPECT_TRUE(host.Calls().empty());
}


TEST_F(ExplorerTest, UnsafeModalityNamesNeverReachAHostUri)
{
  for (const char* name : { "..", ".", "a/b", "../system", "a?b", "a b", "a%2Fb", "a#", "é", "" })
  {
    for (ProtocolType protocol : { ProtocolType_Native, ProtocolType_DicomWeb })
    {
      host.Reset();
      DicomWebPluginLoaded();

      Json::Value stored = Managed().ToJson();
      stored["ModalityName"] = name;
      stored["ProtocolType"] = (protocol == ProtocolType_Native ? "Native" : "DicomWeb");
      const ServerConfiguration server = ServerConfiguration::FromJson(stored);

      RegisterInExplorer(bridge, server);
      UnregisterFromExplorer(bridge, server);

      EXPECT_TRUE(host.RestCalls().empty()) << name;
      EXPECT_EQ(std::vector<std::string>({ CANNOT_ADD, CANNOT_REMOVE }), host.Errors()) << name;
    }
  }

  for (const char* name : { "vexa", "kestrum-cloud", "dummy", "A.b_c-9", "..." })
  {
    EXPECT_TRUE(IsSafeModalityName(name)) << name;
  }
}
