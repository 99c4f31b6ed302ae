// The persisted state of the plug-in: what a restart of the host restores,
// and what a state that cannot be read leaves in force.

#include "SynchronizationTestSupport.h"

#include <KestrumException.h>
#include <Toolbox.h>

using namespace QuelbyCloud;
using namespace QuelbyCloud::Testing;

namespace
{
  // A stored Kestrum peer: declared in the host's explorer whenever it is read.
  std::string StoredPeerState()
  {
    ServerConfiguration peer;
    peer.SetModalityName("kestrum-cloud");
    peer.SetUrl("https://cloud.kestrum.example");

    Json::Value stored;
    stored["ActiveServer"] = peer.ToJson();
    stored["SynchronizationUuid"] = "11111111-2222-3333-4444-555555555555";
    stored["AutomatedRouting"] = false;
    return stored.toStyledString();
  }

  class SynchronizationStateTest : public FakeHostTest
  {
  protected:
    PluginState state{bridge};

    static void ExpectDefaults(const PluginState& checked)
    {
      const PluginState::Snapshot snapshot = checked.GetSnapshot();
      EXPECT_FALSE(snapshot.activeServer);
      EXPECT_TRUE(snapshot.automatedRouting);
      EXPECT_FALSE(snapshot.automatedDeletion);
      EXPECT_EQ(36u, snapshot.synchronizationUuid.size());
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

    Json::Value StoredDocument() const
    {
      const std::optional<std::string> stored = host.GetGlobalProperty(PluginState::GLOBAL_PROPERTY);
      const std::optional<Json::Value> document = stored ? Kestrum::Toolbox::ReadJsonObject(*stored) : std::nullopt;
      EXPECT_TRUE(document) << stored.value_or("(nothing stored)");
      return document.value_or(Json::Value());
    }
  };

  class StoredStateStatusTest : public PluginTest
  {
  };
}


TEST_F(SynchronizationStateTest, NothingStoredLeavesTheDefaultsSilently)
{
  for (const bool stored : { false, true })
  {
    host.Reset();
    if (stored)
    {
      host.SetGlobalProperty(PluginState::GLOBAL_PROPERTY, "");
    }

    PluginState fresh(bridge);
    fresh.LoadStored();

    SCOPED_TRACE(stored);
    ExpectDefaults(fresh);
    EXPECT_TRUE(host.Logs().empty());
  }
}


TEST_F(SynchronizationStateTest, UnreadableStateIsReadOnceAndLeavesEveryDefaultWithoutBlockingChanges)
{
  const std::vector<std::string> unreadable = {
    "{ not json",
    "[1, 2, 3]",
    "\"a text\"",
    "{\"AutomatedRouting\": \"false\"}",
    "{\"AutomatedDeletion\": 1}",
    "{\"SynchronizationUuid\": 42}",
    "{\"ActiveServer\": []}",
    // What was read before the bad member is not kept either.
    "{\"SynchronizationUuid\": \"kept\", \"AutomatedRouting\": false, \"AutomatedDeletion\": \"yes\"}",
    "{\"SynchronizationUuid\": \"kept\", \"AutomatedDeletion\": true, \"ActiveServer\": {\"ModalityName\": \"x\", "
    "\"Url\": \"http://x\", \"Compress\": true, \"ServerType\": \"Unknown\", \"ProtocolType\": \"Native\"}}"
  };

  for (const std::string& text : unreadable)
  {
    SCOPED_TRACE(text);
    host.Reset();
    host.SetGlobalProperty(PluginState::GLOBAL_PROPERTY, text);

    PluginState fresh(bridge);
    fresh.LoadStored();
    ExpectDefaults(fresh);
    EXPECT_NE("kept", fresh.GetSnapshot().synchronizationUuid);

    fresh.SetOptions({ false, std::nullopt });
    fresh.RenewSynchronizationUuid();
    fresh.Disconnect();
    fresh.Connect(MakeServer());

    EXPECT_EQ(1u, host.CountGlobalPropertyReads(PluginState::GLOBAL_PROPERTY));
    EXPECT_EQ(std::vector<std::string>{ UNREADABLE_STATE_WARNING }, host.Warnings());
    const Json::Value stored = StoredDocument();
    EXPECT_EQ(fresh.ToJson(), stored);
    EXPECT_FALSE(stored["AutomatedRouting"].asBool());
    EXPECT_EQ(MakeServer(), ServerConfiguration::FromJson(stored["ActiveServer"]));
  }
}


TEST_F(SynchronizationStateTest, FailingPropertyReadLeavesTheDefaults)
{
  host.SetGlobalProperty(PluginState::GLOBAL_PROPERTY, "{\"AutomatedDeletion\": true}")
      .FailGlobalPropertyRead(PluginState::GLOBAL_PROPERTY, 11);
  state.LoadStored();
  ExpectDefaults(state);
  EXPECT_TRUE(host.HasWarning(UNREADABLE_STATE_WARNING));
}


TEST_F(SynchronizationStateTest, RestartKeepsTheStoredServerOptionsAndGeneration)
{
  state.Connect(MakeServer());
  state.SetOptions({ false, true });
  const std::string savedUuid = state.GetSnapshot().synchronizationUuid;

  // What a restarted plug-in does: fresh defaults, then the stored state.
  PluginState restarted(bridge);
  restarted.LoadStored();

  const PluginState::Snapshot snapshot = restarted.GetSnapshot();
  ASSERT_TRUE(snapshot.activeServer);
  EXPECT_EQ(MakeServer(), *snapshot.activeServer);
  EXPECT_FALSE(snapshot.automatedRouting);
  EXPECT_TRUE(snapshot.automatedDeletion);
  EXPECT_EQ(savedUuid, snapshot.synchronizationUuid)
    << "a restart must not make every instance eligible for sending again";
}


TEST_F(SynchronizationStateTest, StoredPeerIsDeclaredAgainInTheExplorer)
{
  host.SetGlobalProperty(PluginState::GLOBAL_PROPERTY, StoredPeerState())
      .OnRestPut("/peers/kestrum-cloud").Answer("{}");

  state.LoadStored();

  auto puts = host.RestCalls("PUT");
  ASSERT_EQ(1u, puts.size());
  EXPECT_EQ("/peers/kestrum-cloud", puts[0].uri);
  EXPECT_TRUE(host.RestCalls("DELETE").empty()) << "the stored declaration is overwritten, never withdrawn";
  EXPECT_EQ("11111111-2222-3333-4444-555555555555", state.GetSnapshot().synchronizationUuid);
}


TEST_F(SynchronizationStateTest, SavedTextParsesBackToTheSameState)
{
  state.Connect(MakeServer());
  state.SetOptions({ std::nullopt, true });

  auto stored = host.GetGlobalProperty(PluginState::GLOBAL_PROPERTY);
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ('\n', stored->back());
  EXPECT_NE(std::string::npos, stored->find("\n   \"AutomatedDeletion\" : true")) << "styled, three-space indent";

  Json::Value json = StoredDocument();
  EXPECT_EQ(state.GetSnapshot().synchronizationUuid, json["SynchronizationUuid"].asString());
  EXPECT_TRUE(json["AutomatedRouting"].asBool());
  EXPECT_TRUE(json["AutomatedDeletion"].asBool());
  EXPECT_EQ(MakeServer(), ServerConfiguration::FromJson(json["ActiveServer"]));
  EXPECT_EQ(state.ToJson(), json);

  // Without a server, no "ActiveServer" member at all.
  state.Disconnect();
  EXPECT_FALSE(StoredDocument().isMember("ActiveServer"));
}


TEST_F(SynchronizationStateTest, RefusedSaveIsLoggedAndTheChangeStaysInMemory)
{
  host.FailGlobalPropertyWrite(PluginState::GLOBAL_PROPERTY, 11);
  EXPECT_NO_THROW(state.SetOptions({ false, std::nullopt }));

  EXPECT_FALSE(host.GetGlobalProperty(PluginState::GLOBAL_PROPERTY).has_value());
  ASSERT_EQ(1u, host.Errors().size());
  EXPECT_NE(std::string::npos, host.Errors()[0].find("Cannot store the state"));
  EXPECT_FALSE(state.IsAutomatedRouting());
}


TEST_F(SynchronizationStateTest, EveryConnectionStartsANewGeneration)
{
  state.Connect(MakeServer());
  const std::string first = state.GetSnapshot().synchronizationUuid;
  state.Connect(MakeServer());
  const std::string second = state.GetSnapshot().synchronizationUuid;
  state.Disconnect();

  EXPECT_NE(first, second);
  EXPECT_NE(second, state.GetSnapshot().synchronizationUuid);
  EXPECT_FALSE(state.GetSnapshot().activeServer);
}


TEST_F(StoredStateStatusTest, StatusNeverReadsNorChangesAnUnreadableState)
{
  host.SetGlobalProperty(PluginState::GLOBAL_PROPERTY, "{\"AutomatedRouting\": \"yes\"}")
      .FailGlobalPropertyWrite(PluginState::GLOBAL_PROPERTY, 11);   // the unreadable text stays stored
  HostStarted();
  Plugin().GetState().SetOptions({ false, true });
  const std::string uuid = Plugin().GetState().GetSnapshot().synchronizationUuid;
  const size_t reads = host.CountGlobalPropertyReads(PluginState::GLOBAL_PROPERTY);
  const size_t logs = host.Logs().size();

  for (int i = 0; i < 3; i++)
  {
    EXPECT_EQ(200, host.CallRoute("GET", "/plugins/quelby-cloud/api/status").status);
  }

  EXPECT_EQ(1u, reads);
  EXPECT_EQ(reads, host.CountGlobalPropertyReads(PluginState::GLOBAL_PROPERTY));
  EXPECT_EQ(logs, host.Logs().size());
  const PluginState::Snapshot snapshot = Plugin().GetState().GetSnapshot();
  EXPECT_EQ(uuid, snapshot.synchronizationUuid);
  EXPECT_FALSE(snapshot.automatedRouting);
  EXPECT_TRUE(snapshot.automatedDeletion);
}


TEST_F(StoredStateStatusTest, StatusBeforeTheStartShowsTheDefaultsWithoutReadingOrDeclaring)
{
  host.SetGlobalProperty(PluginState::GLOBAL_PROPERTY, StoredPeerState())
      .OnRestPutPrefix("/peers/").Answer("{}");

  const FakeHost::RouteAnswer answer = host.CallRoute("GET", "/plugins/quelby-cloud/api/status");
  ASSERT_EQ(200, answer.status);
  EXPECT_EQ(0u, host.CountGlobalPropertyReads(PluginState::GLOBAL_PROPERTY));
  EXPECT_TRUE(host.RestCalls().empty()) << "the stored server was declared in the explorer";

  const std::optional<Json::Value> status = Kestrum::Toolbox::ReadJsonObject(answer.body);
  ASSERT_TRUE(status);
  EXPECT_FALSE(status->isMember("ActiveServer"));
  EXPECT_TRUE((*status)["AutomatedRouting"].asBool());
}
