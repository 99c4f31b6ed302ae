#pragma once

#include "../Destinations/ServerConfiguration.h"

#include <memory>
#include <mutex>
#include <string>

namespace QuelbyCloud
{
  /**
   * The user's choices (active server, the two options) and the current
   * synchronization UUID, persisted in the host's global property 5467.
   * Every operation but GetInstance expects the caller to hold GetMutex();
   * the record never locks itself.
   */
  class PluginState
  {
  private:
    std::mutex mutex_;
    std::unique_ptr<ServerConfiguration> activeServer_;
    std::string synchronizationUuid_;
    bool automatedRouting_;
    bool automatedDeletion_;
    bool loaded_;

    void LoadStored();

    PluginState();

  public:
    static const int32_t GLOBAL_PROPERTY = 5467;

    PluginState(const PluginState&) = delete;
    PluginState& operator=(const PluginState&) = delete;

    /** The process-wide record, created with the defaults and a fresh UUID on first use. */
    static PluginState& GetInstance();

    std::mutex& GetMutex() { return mutex_; }

    /** Replaces the whole state by the stored one; code 15 on a member of the wrong type. */
    void Load();

    /**
     * Loads the stored state unless a Load already succeeded. The host may
     * serve requests before it announces that it has started: an operation
     * that saves must not write the defaults over the stored state.
     */
    void LoadIfNeeded();

    /** The next LoadIfNeeded reads the stored state again, as in a freshly loaded plug-in. */
    void Forget() { loaded_ = false; }

    /** Writes the whole state to the global property; a refusal is logged, not thrown. */
    void Save() const;

    /** Installs a copy as the active server, declares it in the explorer, starts a new generation. */
    void SetActiveServer(const ServerConfiguration& configuration);

    /** Withdraws and drops the active server, starts a new generation. */
    void ClearActiveServer();

    bool HasActiveServer() const { return activeServer_ != nullptr; }

    /** Code 6 when no server is active. */
    const ServerConfiguration& GetActiveServer() const;

    void RenewSynchronizationUuid();

    const std::string& GetSynchronizationUuid() const { return synchronizationUuid_; }

    bool IsAutomatedRouting() const { return automatedRouting_; }
    void SetAutomatedRouting(bool value) { automatedRouting_ = value; }

    bool IsAutomatedDeletion() const { return automatedDeletion_; }
    void SetAutomatedDeletion(bool value) { automatedDeletion_ = value; }

    /** The persisted JSON form of the state (what Save writes). */
    void ToJson(Json::Value& target) const;
  };
}
