#pragma once

#include "../HostBridge/HostBridge.h"
#include "../Synchronization/PendingInstance.h"
#include "../Synchronization/PluginState.h"
#include "../Synchronization/SynchronizationStatistics.h"

#include <json/value.h>
#include <string>

namespace QuelbyCloud
{
  /** What the page shows of the plug-in: the active server, the options, the counters. Changes nothing. */
  class StatusService
  {
  private:
    const HostBridge& host_;
    const PluginState& state_;
    PendingQueue& pending_;
    const SynchronizationStatistics& statistics_;

    bool HasReadableCertificates() const;

  public:
    StatusService(const HostBridge& host, const PluginState& state, PendingQueue& pending,
                  const SynchronizationStatistics& statistics) :
      host_(host), state_(state), pending_(pending), statistics_(statistics)
    {
    }

    Json::Value GetStatus() const;
  };


  /** "TransferedSizeMB": bytes in MiB with one decimal. */
  std::string FormatMegabytes(uint64_t bytes);
}
