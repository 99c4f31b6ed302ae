#pragma once

#include "Destinations/DestinationRegistry.h"
#include "HostBridge/HostBridge.h"
#include "Synchronization/DeliveryLedger.h"
#include "Synchronization/PendingInstance.h"
#include "Synchronization/PluginState.h"
#include "Synchronization/SynchronizationStatistics.h"
#include "Synchronization/SynchronizationThreads.h"
#include "WebInterface/ConnectionService.h"
#include "WebInterface/DeliveryService.h"
#include "WebInterface/RestRoutes.h"
#include "WebInterface/StatusService.h"

#include <Logging.h>

#include <array>
#include <memory>
#include <string>
#include <tuple>

namespace QuelbyCloud
{
  /** The callbacks that the host will call: one per route of REST_ROUTES, in order, and the change callback. */
  struct HostCallbacks
  {
    std::array<KestrumRestCallback, std::tuple_size<decltype(REST_ROUTES)>::value> routes;
    KestrumOnChangeCallback onChange;
  };


  /**
   * The plug-in: built by the initialize entry point, destroyed by finalize,
   * it owns everything that lives between the two. Members are built in the
   * order below and destroyed in reverse, so the threads are stopped before
   * anything they use goes away.
   *
   * Locks, outermost first: the threads mutex (held by every start and stop
   * of the synchronization threads, including the waits for them to end),
   * the plug-in state's mutex, the delivery ledger's, the pending queue's
   * (innermost; the ledger's and the queue's are held only inside their own
   * operations). The destinations registry is filled here, before
   * any route exists, and is only read afterwards: it needs no lock. No lock
   * is held while a connection test or a batch talks to a remote server,
   * except that a stop waits for the batch in progress.
   */
  class QuelbyCloudPlugin
  {
  private:
    // Lines of the framework's log reach the host for as long as the plug-in lives.
    class LogBinding
    {
    private:
      Kestrum::Logging::ILogSink& sink_;

    public:
      explicit LogBinding(Kestrum::Logging::ILogSink& sink) : sink_(sink) { Kestrum::Logging::SetSink(&sink_); }
      ~LogBinding() { Kestrum::Logging::ResetSink(&sink_); }
    };

    HostBridge host_;
    LogBinding logBinding_;
    DestinationRegistry destinations_;
    PluginState state_;
    PendingQueue pending_;
    SynchronizationStatistics statistics_;
    DeliveryLedger ledger_;
    SynchronizationThreads threads_;
    ConnectionService connection_;
    StatusService status_;
    DeliveryService delivery_;

    void SetProperty(const char* pluginName, KestrumProperty property, const std::string& value) const;

  public:
    /** Binds the host's context (NullPointer when null) and fills the destinations registry; no host call yet. */
    explicit QuelbyCloudPlugin(KestrumPluginContext* context);

    QuelbyCloudPlugin(const QuelbyCloudPlugin&) = delete;
    QuelbyCloudPlugin& operator=(const QuelbyCloudPlugin&) = delete;

    /**
     * Announces the plug-in (description, root page, explorer extension) and
     * registers its routes, all without the host's global lock, and its
     * change callback. It neither reads the stored state nor starts a thread:
     * both wait for the host to report that it has started.
     */
    void RegisterWithHost(const char* pluginName, const HostCallbacks& callbacks) const;

    /** One request of the route at this index of REST_ROUTES. */
    KestrumErrorCode ServeRequest(size_t route, KestrumRestOutput* output, const KestrumHttpRequest* request);

    /** The host's change callback: queues new instances, follows the host's start and stop. Always 0. */
    KestrumErrorCode OnChange(int32_t changeType, int32_t resourceType, const char* resourceId);

    const HostBridge& GetHost() const { return host_; }
    const DestinationRegistry& GetDestinations() const { return destinations_; }
    PluginState& GetState() { return state_; }
    PendingQueue& GetPending() { return pending_; }
    const SynchronizationStatistics& GetStatistics() const { return statistics_; }
    DeliveryLedger& GetLedger() { return ledger_; }
    SynchronizationThreads& GetThreads() { return threads_; }
    ConnectionService& GetConnection() { return connection_; }
    const StatusService& GetStatus() const { return status_; }
    DeliveryService& GetDelivery() { return delivery_; }
  };


  /** The plug-in between the initialize and finalize entry points; null outside. */
  std::shared_ptr<QuelbyCloudPlugin> GetRunningPlugin();
}
