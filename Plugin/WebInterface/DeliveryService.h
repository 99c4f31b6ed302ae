#pragma once

#include "../Synchronization/DeliveryLedger.h"
#include "../Synchronization/PluginState.h"
#include "../Synchronization/SynchronizationThreads.h"

#include <json/value.h>

namespace QuelbyCloud
{
  /** How delivery goes, for the page: health, errors, retries, refused instances, progress and rate. */
  class DeliveryService
  {
  private:
    const PluginState& state_;
    DeliveryLedger& ledger_;
    const SynchronizationThreads& threads_;

  public:
    DeliveryService(const PluginState& state, DeliveryLedger& ledger, const SynchronizationThreads& threads) :
      state_(state), ledger_(ledger), threads_(threads)
    {
    }

    /** The delivery status; never a credential. */
    Json::Value GetDelivery() const;

    /** The failed instances are owed again, and sent at once. */
    void RetryFailed();
  };
}
