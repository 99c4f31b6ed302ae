// Start-up of the plug-in as a host does it, through its entry points.

#include <KestrumException.h>

#include <FakeHost.h>

#include <gtest/gtest.h>

#include <string>

using QuelbyCloud::Testing::FakeHost;

extern "C"
{
  int32_t KestrumPluginInitialize(KestrumPluginContext* context);
  void KestrumPluginFinalize();
  const char* KestrumPluginGetName();
  const char* KestrumPluginGetVersion();
}

namespace
{
  class StartupTest : public ::testing::Test
  {
  protected:
    void TearDown() override
    {
      KestrumPluginFinalize();   // a case that failed half-way leaves nothing running for the next
      EXPECT_EQ(0u, FakeHost::LiveAllocations());
      EXPECT_EQ(0u, FakeHost::BadFrees());
    }

    static size_t Registrations(const FakeHost& host)
    {
      return host.CountCalls(KestrumService_SetPluginProperty) +
        host.CountCalls(KestrumService_RegisterRestCallbackNoLock) +
        host.CountCalls(KestrumService_RegisterOnChangeCallback);
    }
  };
}

TEST_F(StartupTest, NameAndVersionBeforeInitialization)
{
  EXPECT_STREQ("quelby-cloud", KestrumPluginGetName());
  EXPECT_STREQ("0.2", KestrumPluginGetVersion());
  EXPECT_EQ(KestrumPluginGetName(), KestrumPluginGetName());   // static storage
}

TEST_F(StartupTest, SuccessfulStartAnnouncesDescriptionAndRootPage)
{
  FakeHost host("1.4.2");
  ASSERT_EQ(0, KestrumPluginInitialize(host.GetContext()));

  const auto properties = host.PropertySets();
  ASSERT_GE(properties.size(), 2u);
  EXPECT_EQ("quelby-cloud", properties[0].plugin);
  EXPECT_EQ(KestrumProperty_Description, properties[0].property);
  EXPECT_EQ("Synchronization of Kestrum with cloud solutions provided by Quelby.", properties[0].value);
  EXPECT_EQ("quelby-cloud", properties[1].plugin);
  EXPECT_EQ(KestrumProperty_RootUri, properties[1].property);
  EXPECT_EQ("/plugins/quelby-cloud/app/index.html", properties[1].value);

  EXPECT_TRUE(host.Errors().empty());
  EXPECT_EQ(0u, host.CountCalls(KestrumService_GetGlobalProperty));   // the state is read later
  KestrumPluginFinalize();
}

TEST_F(StartupTest, OldHostIsRefusedAndNothingIsRegistered)
{
  FakeHost host("1.4.1");
  EXPECT_EQ(-1, KestrumPluginInitialize(host.GetContext()));

  const auto logs = host.Logs();
  ASSERT_EQ(1u, logs.size());
  EXPECT_EQ(KestrumService_LogError, logs[0].service);
  EXPECT_EQ("Your version of Kestrum (1.4.1) must be above 1.4.2 to run this plugin", logs[0].text);
  EXPECT_EQ(0u, Registrations(host));
}

TEST_F(StartupTest, UnreadableVersionIsRefusedWithTheHostText)
{
  FakeHost host("beta");
  EXPECT_EQ(-1, KestrumPluginInitialize(host.GetContext()));
  EXPECT_EQ(std::vector<std::string>{ "Your version of Kestrum (beta) must be above 1.4.2 to run this plugin" },
            host.Errors());
  EXPECT_EQ(0u, Registrations(host));
}

TEST_F(StartupTest, OverlongVersionTextIsCutNotOverrun)
{
  FakeHost host("0." + std::string(5000, '9'));
  EXPECT_EQ(-1, KestrumPluginInitialize(host.GetContext()));
  const auto errors = host.Errors();
  ASSERT_EQ(1u, errors.size());
  EXPECT_LT(errors[0].size(), 1024u);
  EXPECT_EQ(0u, errors[0].find("Your version of Kestrum (0.999"));
  const std::string end = ") must be above 1.4.2 to run this plugin";
  ASSERT_GT(errors[0].size(), end.size());
  EXPECT_EQ(end, errors[0].substr(errors[0].size() - end.size()));
}

TEST_F(StartupTest, NullContextIsRefused)
{
  EXPECT_EQ(-1, KestrumPluginInitialize(nullptr));
}

TEST_F(StartupTest, SecondInitializationIsRefusedAndLogged)
{
  FakeHost host("mainline");
  ASSERT_EQ(0, KestrumPluginInitialize(host.GetContext()));
  const size_t registrations = Registrations(host);

  FakeHost other("1.5.0");
  EXPECT_EQ(-1, KestrumPluginInitialize(other.GetContext()));
  EXPECT_EQ(registrations, Registrations(host));
  EXPECT_EQ(0u, other.Calls().size());
  EXPECT_TRUE(host.HasError("Exception while initializing the DICOMweb plugin: Bad sequence of calls"));
}

TEST_F(StartupTest, FailingHostServiceEndsInitializationWithItsDescription)
{
  FakeHost host("1.12.0");
  host.FailService(KestrumService_SetPluginProperty, Kestrum::ErrorCode_NotEnoughMemory);
  EXPECT_EQ(-1, KestrumPluginInitialize(host.GetContext()));
  EXPECT_EQ(std::vector<std::string>{
              "Exception while initializing the DICOMweb plugin: The server hosting Kestrum is running out of memory" },
            host.Errors());
  EXPECT_EQ(0u, host.CountCalls(KestrumService_RegisterRestCallbackNoLock));
}

TEST_F(StartupTest, FinalizeWithoutThreadsReturnsAndTheRoutesThenFindNoPlugin)
{
  FakeHost host("1.4.2");
  ASSERT_EQ(0, KestrumPluginInitialize(host.GetContext()));
  EXPECT_EQ(200, host.CallRoute("GET", "/plugins/quelby-cloud/api/status").status);
  KestrumPluginFinalize();
  KestrumPluginFinalize();
  EXPECT_TRUE(host.Errors().empty());
  EXPECT_EQ(Kestrum::ErrorCode_BadSequenceOfCalls,
            host.CallRoute("GET", "/plugins/quelby-cloud/api/status").callbackCode);

  // A plug-in started again starts afresh.
  FakeHost again("1.4.2");
  EXPECT_EQ(0, KestrumPluginInitialize(again.GetContext()));
  EXPECT_EQ(200, again.CallRoute("GET", "/plugins/quelby-cloud/api/status").status);
  KestrumPluginFinalize();
}
