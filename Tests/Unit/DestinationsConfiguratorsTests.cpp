// Destination kinds: what the user types becomes a server record or a sentence.

#include <Destinations/DestinationConfigurators.h>
#include <Destinations/DestinationKinds.h>
#include <Destinations/DestinationRegistry.h>

#include <FakeHostTest.h>
#include <KestrumException.h>

using namespace QuelbyCloud;
using QuelbyCloud::Testing::FakeHostTest;

namespace
{
  class DestinationsTest : public FakeHostTest
  {
  protected:
    // The sentence of a refusal, "" on success: a result holds a server or a sentence, never both.
    static std::string Error(const IDestinationConfigurator& configurator, const DestinationParameters& parameters)
    {
      const ConfigurationResult result = configurator.Configure(parameters);
      EXPECT_EQ(result.server.has_value(), result.error.empty());
      return result.error;
    }

    static std::string VexaError(const std::string& url, const std::string& apiKey = "Api-Key abc")
    {
      return Error(VexaConfigurator(ProtocolType_DicomWeb), { { "Url", url }, { "api-key", apiKey } });
    }

    static std::string ManagedError(const std::string& url)
    {
      return Error(KestrumCloudConfigurator(), { { "Url", url }, { "username", "u" }, { "password", "p" } });
    }
  };

  const std::string BAD_PORTAL_URL = "The URL to your instance of Vexa is not well formed";
  const std::string BAD_MANAGED_URL = "The URL to your managed Kestrum server is not well formed";

  class ListingConfigurator : public IDestinationConfigurator
  {
  private:
    std::string key_;
    bool* destroyed_;

  public:
    ListingConfigurator(const std::string& key, bool* destroyed) : key_(key), destroyed_(destroyed) {}
    ~ListingConfigurator() override { *destroyed_ = true; }

    std::string GetDescription() const override { return "listing"; }
    bool IsPrimary() const override { return false; }
    std::vector<DestinationParameter> ListParameters() const override
    {
      return { { "a", "A", ParameterType_Text, "" }, { key_, "B", ParameterType_Text, "" } };
    }
    ConfigurationResult Configure(const DestinationParameters&) const override { return {}; }
  };
}


TEST_F(DestinationsTest, PortalAcceptsHttpsAddressesOfItsTwoDomains)
{
  for (const char* url : { "https://demo.vexa.example", "https://demo.vexa.example/", "https://a-b.c.vexa.example",
                           "https://demo.quelby.example", "https://demo.quelby.example/", "https://.vexa.example" })
  {
    EXPECT_EQ("", VexaError(url)) << url;
  }
}


TEST_F(DestinationsTest, PortalRefusesOtherShapes)
{
  for (const char* url : { "https://demo.vexa.example/x", "https://demo.vexa.example:8443",
                           "https://demo.vexa.example:8443/", "HTTPS://demo.vexa.example", "http://demo.vexa.example",
                           "https://vexa.example", "https://demo.vexaXexample", "https://demo.vexa.example.evil.test",
                           "https://demo.other.example", "", "https://demo.vexa.example//" })
  {
    EXPECT_EQ(BAD_PORTAL_URL, VexaError(url)) << url;
  }
}


TEST_F(DestinationsTest, PortalRefusesUrlsThatReachAnotherHost)
{
  // Each of these ends with the portal's domain but libcurl would connect to attacker.test.
  for (const char* url : { "https://attacker.test?x.vexa.example", "https://attacker.test#x.vexa.example",
                           "https://attacker.test/#.vexa.example", "https://user@attacker.test?.vexa.example",
                           "https://x.vexa.example@attacker.test?.vexa.example", "https://attacker.test\\.vexa.example",
                           "https://attacker.test?x.quelby.example", "https://attacker.test x.vexa.example",
                           "https://attacker.test%2F.vexa.example", "https://attacker.test\n.vexa.example" })
  {
    EXPECT_EQ(BAD_PORTAL_URL, VexaError(url)) << url;
  }
}


TEST_F(DestinationsTest, PortalChecksPresenceThenUrlThenApiKey)
{
  const VexaConfigurator vexa(ProtocolType_DicomWeb);
  EXPECT_EQ("No URL was provided", Error(vexa, {}));
  EXPECT_EQ("No API key was provided", Error(vexa, { { "Url", "https://a.vexa.example" } }));
  EXPECT_EQ(BAD_PORTAL_URL, Error(vexa, { { "Url", "bad" }, { "api-key", "bad" } }));

  EXPECT_EQ("The API key is not well formed", VexaError("https://a.vexa.example", "api-key abc"));
  EXPECT_EQ("The API key is not well formed", VexaError("https://a.vexa.example", "Api-Keyabc"));
  EXPECT_EQ("The API key is not well formed", VexaError("https://a.vexa.example", "Api-Key"));
  EXPECT_EQ("", VexaError("https://a.vexa.example", "Api-Key "));
}


TEST_F(DestinationsTest, PortalFillsTheRecord)
{
  for (ProtocolType protocol : { ProtocolType_DicomWeb, ProtocolType_Native })
  {
    const ConfigurationResult result = VexaConfigurator(protocol).Configure(
      { { "id", "vexa" }, { "Url", "https://demo.vexa.example/" }, { "api-key", "Api-Key tok" }, { "ignored", "x" } });
    ASSERT_TRUE(result.server) << result.error;
    const ServerConfiguration& target = *result.server;
    EXPECT_EQ("vexa", target.GetModalityName());
    EXPECT_EQ("https://demo.vexa.example", target.GetUrl());
    EXPECT_EQ(ServerType_Vexa, target.GetServerType());
    EXPECT_EQ(protocol, target.GetProtocolType());
    EXPECT_EQ((ServerConfiguration::StringMap{ { "Authorization", "Api-Key tok" } }), target.GetHttpHeaders());
    EXPECT_EQ((ServerConfiguration::StringMap{ { "URL", "https://demo.vexa.example/" } }), target.GetPublicParameters());
    EXPECT_EQ("https://demo.vexa.example/api/dicom-web", target.GetDicomWebBaseUrl());
  }

  EXPECT_THROW(VexaConfigurator(static_cast<ProtocolType>(2)), Kestrum::KestrumException);
}


TEST_F(DestinationsTest, ManagedServerUrlMustLieUnderTheCloudHost)
{
  for (const char* url : { "https://cloud.kestrum.example/", "https://cloud.kestrum.example/any/path?x=1" })
  {
    EXPECT_EQ("", ManagedError(url)) << url;
  }

  for (const char* url : { "https://cloud.kestrum.example", "https://cloud.kestrum.example:443/",
                           "http://cloud.kestrum.example/", "HTTPS://cloud.kestrum.example/",
                           "https://other.kestrum.example/", "https://cloudXkestrum.example/",
                           "https://cloud.kestrumXexample/", "https://x.cloud.kestrum.example/",
                           "https://cloud.kestrum.example@attacker.test/" })
  {
    EXPECT_EQ(BAD_MANAGED_URL, ManagedError(url)) << url;
  }
}


TEST_F(DestinationsTest, ManagedServerChecksPresenceInOrder)
{
  const KestrumCloudConfigurator managed;
  EXPECT_EQ("No URL was provided", Error(managed, { { "username", "u" }, { "password", "p" } }));
  EXPECT_EQ("No username was provided", Error(managed, { { "Url", "x" }, { "password", "p" } }));
  EXPECT_EQ("No password was provided", Error(managed, { { "Url", "x" }, { "username", "u" } }));
}


TEST_F(DestinationsTest, ManagedServerCarriesBasicCredentials)
{
  struct Case { const char* user; const char* password; const char* header; };
  for (const Case& c : { Case{ "Aladdin", "open sesame", "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==" },
                         Case{ "a:b", "", "Basic YTpiOg==" },
                         Case{ "", "", "Basic Og==" },
                         Case{ " u ", "p w ", "Basic IHUgOnAgdyA=" } })
  {
    const ConfigurationResult result = KestrumCloudConfigurator().Configure(
      { { "Url", "https://cloud.kestrum.example//" }, { "username", c.user }, { "password", c.password } });
    ASSERT_TRUE(result.server) << result.error;
    const ServerConfiguration& target = *result.server;
    EXPECT_EQ((ServerConfiguration::StringMap{ { "Authorization", c.header } }), target.GetHttpHeaders());
    EXPECT_EQ("kestrum-cloud", target.GetModalityName());
    EXPECT_EQ("https://cloud.kestrum.example", target.GetUrl());
    EXPECT_EQ("https://cloud.kestrum.example//", target.GetPublicParameters().at("URL"));
    EXPECT_EQ(ServerType_Kestrum, target.GetServerType());
    EXPECT_EQ(ProtocolType_Native, target.GetProtocolType());
    EXPECT_TRUE(target.IsCompress());
  }
}


TEST_F(DestinationsTest, KindsAreRegisteredInOrderWithTheirDescriptions)
{
  DestinationRegistry registry;
  RegisterDestinationKinds(registry);
  EXPECT_EQ(std::vector<std::string>({ "vexa", "kestrum-cloud", "corvad", "ai", "pharma" }), registry.ListIdentifiers());

  EXPECT_EQ("Vexa Web publication portal by Quelby", registry.Lookup("vexa").GetDescription());
  EXPECT_EQ("Managed Kestrum server by Quelby", registry.Lookup("kestrum-cloud").GetDescription());
  EXPECT_EQ("Corvad / Halminet by Quelby (soon)", registry.Lookup("corvad").GetDescription());
  EXPECT_EQ("My AI partner (without anonymization) (soon)", registry.Lookup("ai").GetDescription());
  EXPECT_EQ("My clinical study with some pharmaceutical firm (soon)", registry.Lookup("pharma").GetDescription());
  EXPECT_TRUE(registry.Lookup("corvad").IsPrimary());
  EXPECT_FALSE(registry.Lookup("ai").IsPrimary());
  EXPECT_FALSE(registry.Lookup("pharma").IsPrimary());

  std::vector<DestinationParameter> parameters = registry.Lookup("kestrum-cloud").ListParameters();
  ASSERT_EQ(3u, parameters.size());
  EXPECT_EQ("Url", parameters[0].key);
  EXPECT_EQ("username", parameters[1].key);
  EXPECT_EQ(ParameterType_Text, parameters[1].type);
  EXPECT_EQ("password", parameters[2].key);
  EXPECT_EQ(ParameterType_Password, parameters[2].type);

  parameters = registry.Lookup("pharma").ListParameters();
  ASSERT_EQ(1u, parameters.size());
  EXPECT_EQ("Username", parameters[0].key);

  parameters = registry.Lookup("vexa").ListParameters();
  ASSERT_EQ(2u, parameters.size());
  EXPECT_EQ("api-key", parameters[1].key);
  EXPECT_EQ(ParameterType_Text, parameters[1].type);
  EXPECT_EQ("Your API key, must start with \"Api-Key\"", parameters[1].placeholder);
}


TEST_F(DestinationsTest, RegistryRefusesDuplicatesNullsAndTheIdKey)
{
  DestinationRegistry registry;
  bool firstDestroyed = false;
  bool secondDestroyed = false;
  bool idDestroyed = false;

  registry.Register("vexa", std::unique_ptr<IDestinationConfigurator>(new ListingConfigurator("b", &firstDestroyed)));

  try
  {
    registry.Register("vexa", std::unique_ptr<IDestinationConfigurator>(new ListingConfigurator("b", &secondDestroyed)));
    FAIL();
  }
  catch (const Kestrum::KestrumException& e)
  {
    EXPECT_EQ(Kestrum::ErrorCode_ParameterOutOfRange, e.GetErrorCode());
    EXPECT_STREQ("Cannot add twice the same destination: vexa", e.GetDetails());
  }
  EXPECT_TRUE(secondDestroyed);
  EXPECT_FALSE(firstDestroyed);
  EXPECT_EQ("listing", registry.Lookup("vexa").GetDescription());

  try
  {
    registry.Register("other", std::unique_ptr<IDestinationConfigurator>(new ListingConfigurator("id", &idDestroyed)));
    FAIL();
  }
  catch (const Kestrum::KestrumException& e)
  {
    EXPECT_EQ(Kestrum::ErrorCode_ParameterOutOfRange, e.GetErrorCode());
    EXPECT_STREQ("The \"id\" key cannot be used to name a parameter", e.GetDetails());
  }
  EXPECT_TRUE(idDestroyed);

  try
  {
    registry.Register("null", std::unique_ptr<IDestinationConfigurator>());
    FAIL();
  }
  catch (const Kestrum::KestrumException& e)
  {
    EXPECT_EQ(Kestrum::ErrorCode_NullPointer, e.GetErrorCode());
  }

  EXPECT_EQ(std::vector<std::string>({ "vexa" }), registry.ListIdentifiers());
  EXPECT_TRUE(host.HasError("Parameter out of range: Cannot add twice the same destination: vexa"));
}


TEST_F(DestinationsTest, RegistryConfiguresThroughTheKindNamedById)
{
  DestinationRegistry registry;
  registry.Register("corvad", std::make_unique<DummyConfigurator>("Corvad / Halminet by Quelby", true));
  registry.Register("vexa", std::make_unique<VexaConfigurator>(ProtocolType_DicomWeb));

  const ConfigurationResult dummy = registry.Configure({ { "id", "corvad" } });
  ASSERT_TRUE(dummy.server);
  ServerConfiguration expected;
  expected.SetModalityName("dummy");
  expected.SetPublicParameter("Description", "Corvad / Halminet by Quelby (soon)");
  EXPECT_TRUE(expected == *dummy.server);

  const ConfigurationResult refused = registry.Configure({ { "id", "vexa" }, { "Url", "http://a.vexa.example" },
                                                           { "api-key", "Api-Key x" } });
  EXPECT_FALSE(refused.server);
  EXPECT_EQ(BAD_PORTAL_URL, refused.error);

  try
  {
    registry.Configure({ { "Url", "x" } });
    FAIL();
  }
  catch (const Kestrum::KestrumException& e)
  {
    EXPECT_EQ(Kestrum::ErrorCode_NetworkProtocol, e.GetErrorCode());
    EXPECT_STREQ("The \"id\" field is missing", e.GetDetails());
  }

  try
  {
    registry.Configure({ { "id", "nowhere" } });
    FAIL();
  }
  catch (const Kestrum::KestrumException& e)
  {
    EXPECT_EQ(Kestrum::ErrorCode_ParameterOutOfRange, e.GetErrorCode());
    EXPECT_STREQ("Unknown destination: nowhere", e.GetDetails());
  }
}
