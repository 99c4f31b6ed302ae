#pragma once

#include "../Destinations/ServerConfiguration.h"
#include "../HostBridge/HostBridge.h"

#include <json/value.h>
#include <mutex>
#include <optional>
#include <string>

namespace QuelbyCloud
{
  /**
   * The user's choices (the active server, the two options) and the current
   * synchronization UUID, stored as one JSON document in a global property of
   * the host. Every operation locks the state itself. The stored document is
   * read once, by the first operation that needs it: the host's start, or a
   * change requested before it. Operations that change the state store it.
   */
  class PluginState
  {
  public:
    static constexpr int32_t GLOBAL_PROPERTY = 5467;

    /** A copy of the state, for readers that work outside the lock. */
    struct Snapshot
    {
      std::optional<ServerConfiguration> activeServer;
      std::string synchronizationUuid;
      bool automatedRouting;
      bool automatedDeletion;
    };

    /** The options of a request; an absent one stays as it is. */
    struct Options
    {
      std::optional<bool> automatedRouting;
      std::optional<bool> automatedDeletion;
    };

  private:
    const HostBridge& host_;
    mutable std::mutex mutex_;
    std::optional<ServerConfiguration> activeServer_;
    std::string synchronizationUuid_;
    bool automatedRouting_ = true;
    bool automatedDeletion_ = false;
    bool loaded_ = false;

    // Each called with the mutex held.
    void LoadIfNeeded();
    void Install(const Json::Value& stored);
    void Save() const;
    void RenewUuid();
    Json::Value Serialize() const;

  public:
    /** The defaults and a fresh UUID; nothing is read from the host yet. */
    explicit PluginState(const HostBridge& host);

    PluginState(const PluginState&) = delete;
    PluginState& operator=(const PluginState&) = delete;

    /** The state as it is in memory: never reads the stored state, never changes anything. */
    Snapshot GetSnapshot() const;

    bool IsAutomatedRouting() const;

    /** What the host's start needs: the stored state, unless a request read it already. */
    void LoadStored();

    /** Replaces the active server, declares it in the explorer, starts a new generation, stores. */
    void Connect(const ServerConfiguration& server);

    /** Withdraws and drops the active server, starts a new generation, stores. */
    void Disconnect();

    /** Sets the options given, stores. */
    void SetOptions(const Options& options);

    /** Starts a new generation without storing it: every instance becomes eligible again. */
    void RenewSynchronizationUuid();

    /** The stored form of the state, as the next change will store it. */
    Json::Value ToJson() const;
  };
}
