// The persisted state of the plug-in: what a restart of the host restores.

#include "SynchronizationTestSupport.h"

#include <KestrumException.h>

#include <json/reader.h>

using namespace QuelbyCloud;
using namespace QuelbyCloud::Testing;

namespace
{
  class SynchronizationStateTest : public FakeHostTest
  {
  protected:
    PluginState& state = PluginState::GetInstance();

    void SetUp() override
    {
      FakeHostTest::SetUp();
      ResetSynchronizationState(host);
    }

    // Loads what the host stores, under the state's lock as the plug-in does.
    void Load()
    {
      std::lock_guard<std::mutex> lock(state.GetMutex());
      state.Load();
    }

    void ExpectDefaults()
    {
      EXPECT_FALSE(state.HasActiveServer());
      EXPECT_TRUE(state.IsAutomatedRouting());
      EXPECT_FALSE(state.IsAutomatedDeletion());
      EXPECT_EQ(36u, state.GetSynchronizationUuid().size());
    }

    static ServerConfiguration MakeServer()
    {
      ServerConfiguration server;
      server.SetModalityName("vexa");
      server.SetUrl("https://portal.vexa.example/");
      server.SetServerType(ServerType_Vexa);
      server.SetProtocolType(ProtocolType_Native);   // declares nothing in the explorer
      server.SetHttpHeader("Authorization", "Bearer secret");
      server.SetPublicParameter("URL", "https://portal.vexa.example");
      return server;
    }

    static Json::Value Parse(const std::string& text)
    {
      Json::Value value;
      Json::Reader reader;
      EXPECT_TRUE(reader.parse(text, value)) << text;
      return value;
    }
  };
}


TEST_F(SynchronizationStateTest, UnusableStoredTextsLeaveTheDefaultsSilently)
{
  const std::vector<std::pair<bool, std::string>> stored = {
    { false, "" },                 // never stored
    { true, "" },                  // empty
    { true, "{ not json" },
    { true, "[1, 2, 3]" },
    { true, "\"a text\"" }
  };

  for (const auto& item : stored)
  {
    host.Reset();
    if (item.first)
    {
      host.SetGlobalProperty(PluginState::GLOBAL_PROPERTY, item.second);
    }

    const std::string before = state.GetSynchronizationUuid();
    Load();

    SCOPED_TRACE(item.second);
    ExpectDefaults();
    EXPECT_NE(before, state.GetSynchronizationUuid()) << "a load starts from a fresh generation";
    EXPECT_TRUE(host.Errors().empty());
    EXPECT_TRUE(host.Warnings().empty());
  }
}


TEST_F(SynchronizationStateTest, FailingPropertyReadLeavesTheDefaults)
{
  host.SetGlobalProperty(PluginState::GLOBAL_PROPERTY, "{\"AutomatedDeletion\": true}")
      .FailGlobalPropertyRead(PluginState::GLOBAL_PROPERTY, 11);
  Load();
  ExpectDefaults();
}


TEST_F(SynchronizationStateTest, MembersOfTheWrongTypeAreRejectedWithTheirName)
{
  struct Case { std::string json; std::string details; };
  const std::vector<Case> cases = {
    { "{\"AutomatedRouting\": \"false\"}", "Boolean value expected in field: AutomatedRouting" },
    { "{\"AutomatedDeletion\": 1}", "Boolean value expected in field: AutomatedDeletion" },
    { "{\"SynchronizationUuid\": 42}", "String value expected in field: SynchronizationUuid" },
    { "{\"ActiveServer\": []}", "String value expected in field: ModalityName" }
  };

  for (const Case& c : cases)
  {
    host.Reset();
    host.SetGlobalProperty(PluginState::GLOBAL_PROPERTY, c.json);
    SCOPED_TRACE(c.json);

    try
    {
      Load();
      ADD_FAILURE() << "Load accepted " << c.json;
    }
    catch (const Kestrum::KestrumException& e)
    {
      EXPECT_EQ(Kestrum::ErrorCode_BadFileFormat, e.GetErrorCode());
      EXPECT_EQ(c.details, e.GetDetails());
    }

    EXPECT_FALSE(state.HasActiveServer());
  }
}


TEST_F(SynchronizationStateTest, FieldsReadBeforeABadMemberStayAsRead)
{
  // Members are read in a fixed order: the UUID, then the options.
  host.SetGlobalProperty(PluginState::GLOBAL_PROPERTY,
                         "{\"SynchronizationUuid\": \"kept\", \"AutomatedRouting\": false, \"AutomatedDeletion\": \"yes\"}");
  EXPECT_THROW(Load(), Kestrum::KestrumException);
  EXPECT_EQ("kept", state.GetSynchronizationUuid());
  EXPECT_FALSE(state.IsAutomatedRouting());
  EXPECT_FALSE(state.IsAutomatedDeletion());
}


TEST_F(SynchronizationStateTest, RestartKeepsTheStoredServerOptionsAndGeneration)
{
  std::string savedUuid;
  {
    std::lock_guard<std::mutex> lock(state.GetMutex());
    state.SetActiveServer(MakeServer());
    state.SetAutomatedRouting(false);
    state.SetAutomatedDeletion(true);
    savedUuid = state.GetSynchronizationUuid();
    state.Save();
  }

  // What a restarted process does: fresh defaults, then Load.
  {
    std::lock_guard<std::mutex> lock(state.GetMutex());
    state.ClearActiveServer();
    state.SetAutomatedRouting(true);
    state.SetAutomatedDeletion(false);
  }
  Load();

  ASSERT_TRUE(state.HasActiveServer());
  EXPECT_EQ(MakeServer(), state.GetActiveServer());
  EXPECT_FALSE(state.IsAutomatedRouting());
  EXPECT_TRUE(state.IsAutomatedDeletion());
  EXPECT_EQ(savedUuid, state.GetSynchronizationUuid())
    << "a restart must not make every instance eligible for sending again";
}


TEST_F(SynchronizationStateTest, StoredPeerIsDeclaredAgainInTheExplorer)
{
  Json::Value server;
  ServerConfiguration peer;
  peer.SetModalityName("kestrum-cloud");
  peer.SetUrl("https://cloud.kestrum.example");
  peer.ToJson(server);

  Json::Value stored;
  stored["ActiveServer"] = server;
  stored["SynchronizationUuid"] = "11111111-2222-3333-4444-555555555555";
  host.SetGlobalProperty(PluginState::GLOBAL_PROPERTY, stored.toStyledString())
      .OnRestPut("/peers/kestrum-cloud").Answer("{}");

  Load();

  auto puts = host.RestCalls("PUT");
  ASSERT_EQ(1u, puts.size());
  EXPECT_EQ("/peers/kestrum-cloud", puts[0].uri);
  EXPECT_TRUE(host.RestCalls("DELETE").empty()) << "the stored declaration is overwritten, never withdrawn";
  EXPECT_EQ("11111111-2222-3333-4444-555555555555", state.GetSynchronizationUuid());
}


TEST_F(SynchronizationStateTest, SavedTextParsesBackToTheSameState)
{
  {
    std::lock_guard<std::mutex> lock(state.GetMutex());
    state.SetActiveServer(MakeServer());
    state.SetAutomatedDeletion(true);
    state.Save();
  }

  auto stored = host.GetGlobalProperty(PluginState::GLOBAL_PROPERTY);
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ('\n', stored->back());
  EXPECT_NE(std::string::npos, stored->find("\n   \"AutomatedDeletion\" : true")) << "styled, three-space indent";

  Json::Value json = Parse(*stored);
  EXPECT_EQ(state.GetSynchronizationUuid(), json["SynchronizationUuid"].asString());
  EXPECT_TRUE(json["AutomatedRouting"].asBool());
  EXPECT_TRUE(json["AutomatedDeletion"].asBool());
  EXPECT_EQ(MakeServer(), ServerConfiguration::FromJson(json["ActiveServer"]));

  // Without a server, no "ActiveServer" member at all.
  {
    std::lock_guard<std::mutex> lock(state.GetMutex());
    state.ClearActiveServer();
    state.Save();
  }
  EXPECT_FALSE(Parse(*host.GetGlobalProperty(PluginState::GLOBAL_PROPERTY)).isMember("ActiveServer"));
}


TEST_F(SynchronizationStateTest, RefusedSaveIsLoggedAndChangesNothingInMemory)
{
  host.FailGlobalPropertyWrite(PluginState::GLOBAL_PROPERTY, 11);
  {
    std::lock_guard<std::mutex> lock(state.GetMutex());
    state.SetAutomatedRouting(false);
    EXPECT_NO_THROW(state.Save());
  }

  EXPECT_FALSE(host.GetGlobalProperty(PluginState::GLOBAL_PROPERTY).has_value());
  ASSERT_EQ(1u, host.Errors().size());
  EXPECT_NE(std::string::npos, host.Errors()[0].find("Cannot store the state"));
  EXPECT_FALSE(state.IsAutomatedRouting());
}


TEST_F(SynchronizationStateTest, EveryConnectionStartsANewGeneration)
{
  std::lock_guard<std::mutex> lock(state.GetMutex());
  EXPECT_THROW(state.GetActiveServer(), Kestrum::KestrumException);

  state.SetActiveServer(MakeServer());
  const std::string first = state.GetSynchronizationUuid();
  state.SetActiveServer(MakeServer());
  const std::string second = state.GetSynchronizationUuid();
  state.ClearActiveServer();

  EXPECT_NE(first, second);
  EXPECT_NE(second, state.GetSynchronizationUuid());
  EXPECT_FALSE(state.HasActiveServer());
}
