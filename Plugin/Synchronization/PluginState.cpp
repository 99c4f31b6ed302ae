#include "PluginState.h"

#include "../HostBridge/GlobalProperties.h"

#include <KestrumException.h>
#include <Logging.h>
#include <Toolbox.h>

#include <json/reader.h>
#include <json/writer.h>

namespace QuelbyCloud
{
  static const char* const KEY_SYNCHRONIZATION_UUID = "SynchronizationUuid";
  static const char* const KEY_AUTOMATED_ROUTING = "AutomatedRouting";
  static const char* const KEY_AUTOMATED_DELETION = "AutomatedDeletion";
  static const char* const KEY_ACTIVE_SERVER = "ActiveServer";


  PluginState::PluginState() :
    automatedRouting_(true),
    automatedDeletion_(false),
    loaded_(false)
  {
    RenewSynchronizationUuid();
  }


  PluginState& PluginState::GetInstance()
  {
    // Thread-safe initialisation of a function-local static.
    static PluginState instance;
    return instance;
  }


  void PluginState::Load()
  {
    // Only a load that went through counts: after a failure the next one tries again.
    loaded_ = false;
    LoadStored();
    loaded_ = true;
  }


  void PluginState::LoadIfNeeded()
  {
    if (!loaded_)
    {
      Load();
    }
  }


  void PluginState::LoadStored()
  {
    // 1. Defaults. The stored server's declaration is kept in the host: it is
    //    declared again below when it is still stored.
    activeServer_.reset();
    automatedRouting_ = true;
    automatedDeletion_ = false;
    RenewSynchronizationUuid();

    // 2. Read the stored text.
    std::string stored;
    if (!ReadGlobalProperty(stored, GLOBAL_PROPERTY, ""))
    {
      return;
    }

    // 3. Anything but a JSON object leaves the defaults.
    if (stored.empty())
    {
      return;
    }

    // Text that is not UTF-8 is no JSON, and jsoncpp would write it back altered.
    if (!Kestrum::Toolbox::IsValidUtf8(stored.data(), stored.data() + stored.size()))
    {
      return;
    }

    Json::Value state;
    try
    {
      Json::Reader reader;
      if (!reader.parse(stored, state, true) ||
          state.type() != Json::objectValue)
      {
        return;
      }
    }
    catch (const Json::Exception&)
    {
      return;   // nested beyond jsoncpp's depth limit: as unparsable as any other bad text
    }

    // 4. The stored generation stays in force across restarts.
    if (state.isMember(KEY_SYNCHRONIZATION_UUID))
    {
      synchronizationUuid_ = Kestrum::SerializationToolbox::ReadRequiredString(state, KEY_SYNCHRONIZATION_UUID);
    }

    // 5. The two options.
    if (state.isMember(KEY_AUTOMATED_ROUTING))
    {
      automatedRouting_ = Kestrum::SerializationToolbox::ReadRequiredBoolean(state, KEY_AUTOMATED_ROUTING);
    }

    if (state.isMember(KEY_AUTOMATED_DELETION))
    {
      automatedDeletion_ = Kestrum::SerializationToolbox::ReadRequiredBoolean(state, KEY_AUTOMATED_DELETION);
    }

    // 6. The stored server is declared again, but without starting a new
    //    generation: otherwise every restart would make every instance
    //    eligible for sending once more.
    if (state.isMember(KEY_ACTIVE_SERVER))
    {
      std::unique_ptr<ServerConfiguration> server(
        new ServerConfiguration(ServerConfiguration::FromJson(state[KEY_ACTIVE_SERVER])));
      activeServer_ = std::move(server);
      activeServer_->RegisterInExplorer();
    }
  }


  void PluginState::ToJson(Json::Value& target) const
  {
    target = Json::objectValue;
    target[KEY_SYNCHRONIZATION_UUID] = synchronizationUuid_;
    target[KEY_AUTOMATED_ROUTING] = automatedRouting_;
    target[KEY_AUTOMATED_DELETION] = automatedDeletion_;

    if (activeServer_ != nullptr)
    {
      Json::Value server;
      activeServer_->ToJson(server);
      target[KEY_ACTIVE_SERVER] = server;
    }
  }


  void PluginState::Save() const
  {
    Json::Value state;
    ToJson(state);

    Json::StyledWriter writer;
    if (!StoreGlobalProperty(GLOBAL_PROPERTY, writer.write(state)))
    {
      // Callers carry on, but the user must be able to see that nothing was stored.
      LOG(ERROR) << "Quelby Cloud plugin: Cannot store the state of the plugin in the Kestrum database, "
                 << "the changes will be lost at the next restart";
    }
  }


  void PluginState::SetActiveServer(const ServerConfiguration& configuration)
  {
    if (activeServer_ != nullptr)
    {
      activeServer_->UnregisterFromExplorer();
    }

    activeServer_.reset(new ServerConfiguration(configuration));
    activeServer_->RegisterInExplorer();

    // Connecting, even to the same server again, starts a new generation.
    RenewSynchronizationUuid();
  }


  void PluginState::ClearActiveServer()
  {
    if (activeServer_ != nullptr)
    {
      activeServer_->UnregisterFromExplorer();
    }

    activeServer_.reset();
    RenewSynchronizationUuid();
  }


  const ServerConfiguration& PluginState::GetActiveServer() const
  {
    if (activeServer_ == nullptr)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_BadSequenceOfCalls);
    }

    return *activeServer_;
  }


  void PluginState::RenewSynchronizationUuid()
  {
    synchronizationUuid_ = Kestrum::Toolbox::GenerateUuid();
  }
}
