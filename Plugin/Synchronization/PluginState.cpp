#include "PluginState.h"

#include "../Destinations/ExplorerRegistration.h"
#include "../HostBridge/GlobalProperties.h"

#include <KestrumException.h>
#include <Logging.h>
#include <Toolbox.h>

#include <json/writer.h>

namespace QuelbyCloud
{
  namespace
  {
    const char* const KEY_SYNCHRONIZATION_UUID = "SynchronizationUuid";
    const char* const KEY_AUTOMATED_ROUTING = "AutomatedRouting";
    const char* const KEY_AUTOMATED_DELETION = "AutomatedDeletion";
    const char* const KEY_ACTIVE_SERVER = "ActiveServer";
  }


  PluginState::PluginState(const HostBridge& host) :
    host_(host)
  {
    RenewUuid();
  }


  void PluginState::RenewUuid()
  {
    synchronizationUuid_ = Kestrum::Toolbox::GenerateUuid();
  }


  void PluginState::LoadIfNeeded()
  {
    if (loaded_)
    {
      return;
    }

    // Read once, whatever comes of it: a state that cannot be read must not
    // block every later change, nor be read again by each one.
    loaded_ = true;

    const std::optional<std::string> stored = ReadGlobalProperty(host_, GLOBAL_PROPERTY);
    if (stored && stored->empty())
    {
      return;   // never stored: the defaults
    }

    const std::optional<Json::Value> document = stored ? Kestrum::Toolbox::ReadJsonObject(*stored) : std::nullopt;
    try
    {
      if (!document)
      {
        throw Kestrum::KestrumException(Kestrum::ErrorCode_BadFileFormat);
      }
      Install(*document);
    }
    catch (const Kestrum::KestrumException&)
    {
      LOG(WARNING) << "Quelby Cloud plugin: The stored state of the plugin cannot be read, "
                   << "the defaults are used until the next change is stored";
      return;
    }

    // Declared again at every start: the host may have lost what it kept.
    if (activeServer_)
    {
      RegisterInExplorer(host_, *activeServer_);
    }
  }


  void PluginState::Install(const Json::Value& stored)
  {
    using namespace Kestrum::SerializationToolbox;

    // Every member is read before anything is installed: a bad one leaves the defaults.
    std::optional<std::string> uuid;
    std::optional<bool> routing, deletion;
    std::optional<ServerConfiguration> server;

    if (stored.isMember(KEY_SYNCHRONIZATION_UUID))
    {
      uuid = ReadRequiredString(stored, KEY_SYNCHRONIZATION_UUID);
    }
    if (stored.isMember(KEY_AUTOMATED_ROUTING))
    {
      routing = ReadRequiredBoolean(stored, KEY_AUTOMATED_ROUTING);
    }
    if (stored.isMember(KEY_AUTOMATED_DELETION))
    {
      deletion = ReadRequiredBoolean(stored, KEY_AUTOMATED_DELETION);
    }
    if (stored.isMember(KEY_ACTIVE_SERVER))
    {
      server = ServerConfiguration::FromJson(stored[KEY_ACTIVE_SERVER]);
    }

    // The stored generation stays in force across restarts: otherwise every
    // restart would make every instance eligible for sending once more.
    synchronizationUuid_ = uuid.value_or(synchronizationUuid_);
    automatedRouting_ = routing.value_or(automatedRouting_);
    automatedDeletion_ = deletion.value_or(automatedDeletion_);
    activeServer_ = std::move(server);
  }


  void PluginState::Save() const
  {
    if (!StoreGlobalProperty(host_, GLOBAL_PROPERTY, Json::StyledWriter().write(Serialize())))
    {
      // Callers carry on, but the user must be able to see that nothing was stored.
      LOG(ERROR) << "Quelby Cloud plugin: Cannot store the state of the plugin in the Kestrum database, "
                 << "the changes will be lost at the next restart";
    }
  }


  Json::Value PluginState::ToJson() const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return Serialize();
  }


  Json::Value PluginState::Serialize() const
  {
    Json::Value target = Json::objectValue;
    target[KEY_SYNCHRONIZATION_UUID] = synchronizationUuid_;
    target[KEY_AUTOMATED_ROUTING] = automatedRouting_;
    target[KEY_AUTOMATED_DELETION] = automatedDeletion_;
    if (activeServer_)
    {
      target[KEY_ACTIVE_SERVER] = activeServer_->ToJson();
    }
    return target;
  }


  PluginState::Snapshot PluginState::GetSnapshot() const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return { activeServer_, synchronizationUuid_, automatedRouting_, automatedDeletion_ };
  }


  bool PluginState::IsAutomatedRouting() const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return automatedRouting_;
  }


  void PluginState::LoadStored()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    LoadIfNeeded();
  }


  void PluginState::Connect(const ServerConfiguration& server)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    LoadIfNeeded();   // never store the defaults over a state not read yet

    if (activeServer_)
    {
      UnregisterFromExplorer(host_, *activeServer_);
    }
    activeServer_ = server;
    RegisterInExplorer(host_, *activeServer_);

    // Connecting, even to the same server again, starts a new generation.
    RenewUuid();
    Save();
  }


  void PluginState::Disconnect()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    LoadIfNeeded();

    if (activeServer_)
    {
      UnregisterFromExplorer(host_, *activeServer_);
    }
    activeServer_.reset();
    RenewUuid();
    Save();
  }


  void PluginState::SetOptions(const Options& options)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    LoadIfNeeded();

    automatedRouting_ = options.automatedRouting.value_or(automatedRouting_);
    automatedDeletion_ = options.automatedDeletion.value_or(automatedDeletion_);
    Save();
  }


  void PluginState::RenewSynchronizationUuid()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    LoadIfNeeded();   // a later first read would bring the stored generation back
    RenewUuid();
  }
}
