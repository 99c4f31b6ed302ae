// The server record, its JSON form and how each malformed stored form is refused.

#include <Destinations/ServerConfiguration.h>

#include <FakeHostTest.h>
#include <KestrumException.h>
#include <Toolbox.h>

using namespace QuelbyCloud;
using QuelbyCloud::Testing::FakeHostTest;

namespace
{
  class ServerConfigurationTest : public FakeHostTest
  {
  protected:
    static Json::Value Parse(const std::string& text)
    {
      const std::optional<Json::Value> value = Kestrum::Toolbox::ReadJson(text);
      EXPECT_TRUE(value) << text;
      return value.value_or(Json::Value());
    }

    static Json::Value CompleteDocument()
    {
      return Parse(R"({"ModalityName": "vexa", "Url": "https://a.vexa.example",
                       "Compress": false, "HttpHeaders": {"Authorization": "Api-Key k"},
                       "PublicParameters": {"URL": "https://a.vexa.example/"},
                       "ServerType": "Vexa", "ProtocolType": "DicomWeb"})");
    }

    // Reads the document and returns the code and the single error line that the failure logged.
    std::pair<int, std::vector<std::string> > ReadFailure(const Json::Value& document)
    {
      host.Reset();
      try
      {
        ServerConfiguration::FromJson(document);
        ADD_FAILURE() << "the document was accepted";
        return std::make_pair(0, std::vector<std::string>());
      }
      catch (const Kestrum::KestrumException& e)
      {
        return std::make_pair(static_cast<int>(e.GetErrorCode()), host.Errors());
      }
    }
  };
}


TEST_F(ServerConfigurationTest, DefaultRecordWritesTheDocumentedDefaults)
{
  const Json::Value json = ServerConfiguration().ToJson();

  EXPECT_EQ(7u, json.size());
  EXPECT_EQ("server", json["ModalityName"].asString());
  EXPECT_EQ("http://localhost:8042", json["Url"].asString());
  EXPECT_TRUE(json["Compress"].isBool() && json["Compress"].asBool());
  EXPECT_TRUE(json["HttpHeaders"].isObject() && json["HttpHeaders"].empty());
  EXPECT_TRUE(json["PublicParameters"].isObject() && json["PublicParameters"].empty());
  EXPECT_EQ("Kestrum", json["ServerType"].asString());
  EXPECT_EQ("Native", json["ProtocolType"].asString());
}


TEST_F(ServerConfigurationTest, RoundTripKeepsEveryField)
{
  for (ServerType type : { ServerType_Generic, ServerType_Kestrum, ServerType_Vexa })
  {
    for (ProtocolType protocol : { ProtocolType_DicomWeb, ProtocolType_Native })
    {
      ServerConfiguration server;
      server.SetModalityName("kestrum-cloud");
      server.SetUrl("https://cloud.kestrum.example/");
      server.SetServerType(type);
      server.SetProtocolType(protocol);
      server.SetCompress(false);
      server.SetHttpHeader("Authorization", "Basic dTpw");
      server.SetHttpHeader("X-Other", "");
      server.SetPublicParameter("URL", "https://cloud.kestrum.example/");

      const ServerConfiguration read = ServerConfiguration::FromJson(server.ToJson());
      EXPECT_TRUE(read == server);

      // Equality really looks at the fields: a changed header breaks it.
      ServerConfiguration changed = read;
      changed.SetHttpHeader("X-Other", "1");
      EXPECT_TRUE(changed != server);
    }
  }
}


TEST_F(ServerConfigurationTest, SettersNormaliseAndRefuse)
{
  ServerConfiguration server;
  server.SetUrl("https://x.example///");
  EXPECT_EQ("https://x.example", server.GetUrl());
  server.SetUrl("/");
  EXPECT_EQ("", server.GetUrl());

  try
  {
    server.SetModalityName("");
    FAIL();
  }
  catch (const Kestrum::KestrumException& e)
  {
    EXPECT_EQ(Kestrum::ErrorCode_ParameterOutOfRange, e.GetErrorCode());
  }
  EXPECT_EQ("server", server.GetModalityName());
}


TEST_F(ServerConfigurationTest, DicomWebRootDependsOnServerType)
{
  ServerConfiguration server;
  server.SetUrl("https://h.example/base/");
  server.SetServerType(ServerType_Generic);
  EXPECT_EQ("https://h.example/base", server.GetDicomWebBaseUrl());
  server.SetServerType(ServerType_Kestrum);
  EXPECT_EQ("https://h.example/base/dicom-web", server.GetDicomWebBaseUrl());
  server.SetServerType(ServerType_Vexa);
  EXPECT_EQ("https://h.example/base/api/dicom-web", server.GetDicomWebBaseUrl());

  // A stored URL keeps its slash, so the root then has two.
  Json::Value document = CompleteDocument();
  document["Url"] = "https://h.example/";
  document["ServerType"] = "Kestrum";
  EXPECT_EQ("https://h.example//dicom-web", ServerConfiguration::FromJson(document).GetDicomWebBaseUrl());

  server.SetServerType(static_cast<ServerType>(7));
  try
  {
    server.GetDicomWebBaseUrl();
    FAIL();
  }
  catch (const Kestrum::KestrumException& e)
  {
    EXPECT_EQ(Kestrum::ErrorCode_NotImplemented, e.GetErrorCode());
  }
}


TEST_F(ServerConfigurationTest, OutOfRangeEnumerationsCannotBeWritten)
{
  ServerConfiguration badProtocol;
  badProtocol.SetProtocolType(static_cast<ProtocolType>(5));
  ServerConfiguration badType;
  badType.SetServerType(static_cast<ServerType>(7));
  for (const ServerConfiguration& server : { badProtocol, badType })
  {
    try
    {
      server.ToJson();
      ADD_FAILURE() << "written";
    }
    catch (const Kestrum::KestrumException& e)
    {
      EXPECT_EQ(Kestrum::ErrorCode_ParameterOutOfRange, e.GetErrorCode());
    }
  }
}


TEST_F(ServerConfigurationTest, StoredTextsAreTakenAsTheyAre)
{
  Json::Value document = CompleteDocument();
  document["ModalityName"] = "";
  document["Extra"] = 12;
  const ServerConfiguration server = ServerConfiguration::FromJson(document);
  EXPECT_EQ("", server.GetModalityName());
  EXPECT_EQ("https://a.vexa.example", server.GetUrl());
  EXPECT_EQ(ServerType_Vexa, server.GetServerType());
  EXPECT_EQ(ProtocolType_DicomWeb, server.GetProtocolType());
  EXPECT_FALSE(server.IsCompress());
  EXPECT_EQ("Api-Key k", server.GetHttpHeaders().at("Authorization"));
}


TEST_F(ServerConfigurationTest, EachMalformedMemberIsRefusedWithItsDetails)
{
  struct Case
  {
    const char* member;
    Json::Value value;   // null: the member is removed
    const char* logLine; // empty: no details, hence no line
  };

  const Json::Value array(Json::arrayValue);
  Json::Value numericHeader(Json::objectValue);
  numericHeader["Authorization"] = 3;

  const std::vector<Case> cases = {
    { "ModalityName", Json::nullValue, "Bad file format: String value expected in field: ModalityName" },
    { "ModalityName", 4, "Bad file format: String value expected in field: ModalityName" },
    { "Url", Json::nullValue, "Bad file format: String value expected in field: Url" },
    { "Compress", "true", "Bad file format: Boolean value expected in field: Compress" },
    { "Compress", 1, "Bad file format: Boolean value expected in field: Compress" },
    { "HttpHeaders", array, "Bad file format: Associative array of strings to strings expected in field: HttpHeaders" },
    { "HttpHeaders", numericHeader, "Bad file format: Associative array of string to strings expected in field: HttpHeaders" },
    { "PublicParameters", "x", "Bad file format: Associative array of strings to strings expected in field: PublicParameters" },
    { "ServerType", "kestrum", "" },
    { "ServerType", Json::nullValue, "Bad file format: String value expected in field: ServerType" },
    { "ProtocolType", "DICOMweb", "" },
    { "ProtocolType", false, "Bad file format: String value expected in field: ProtocolType" },
  };

  for (const Case& c : cases)
  {
    Json::Value document = CompleteDocument();
    if (c.value.isNull())
    {
      document.removeMember(c.member);
    }
    else
    {
      document[c.member] = c.value;
    }

    const std::pair<int, std::vector<std::string> > failure = ReadFailure(document);
    EXPECT_EQ(Kestrum::ErrorCode_BadFileFormat, failure.first) << c.member;
    if (std::string(c.logLine).empty())
    {
      EXPECT_TRUE(failure.second.empty()) << c.member;
    }
    else
    {
      EXPECT_EQ(std::vector<std::string>({ c.logLine }), failure.second) << c.member;
    }
  }
}


TEST_F(ServerConfigurationTest, MissingProtocolIsReportedBeforeABadServerType)
{
  Json::Value document = CompleteDocument();
  document["ServerType"] = "Unknown";
  document.removeMember("ProtocolType");
  EXPECT_EQ(std::vector<std::string>({ "Bad file format: String value expected in field: ProtocolType" }),
            ReadFailure(document).second);
}


TEST_F(ServerConfigurationTest, DocumentsOfOtherShapesAreRefused)
{
  for (const Json::Value& document : { Json::Value(Json::arrayValue), Json::Value("text"),
                                       Json::Value(Json::nullValue), Json::Value(Json::objectValue) })
  {
    EXPECT_EQ(std::vector<std::string>({ "Bad file format: String value expected in field: ModalityName" }),
              ReadFailure(document).second);
  }
}
