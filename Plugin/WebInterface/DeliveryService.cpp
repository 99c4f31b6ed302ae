#include "DeliveryService.h"

namespace QuelbyCloud
{
  namespace
  {
    Json::Value DescribeError(const DeliveryLedger::Error& error)
    {
      Json::Value value = Json::objectValue;
      value["Time"] = error.time;
      value["Text"] = error.text;
      return value;
    }

    // The first that applies: no server, refused instances, a retry ahead, all well.
    const char* GetHealth(bool connected, const DeliveryLedger::Snapshot& ledger)
    {
      if (!connected)
      {
        return "disconnected";
      }
      if (!ledger.failed.empty())
      {
        return "attention";
      }
      if (ledger.nextRetrySeconds)
      {
        return "retrying";
      }
      return "ok";
    }
  }


  Json::Value DeliveryService::GetDelivery() const
  {
    const bool connected = state_.GetSnapshot().activeServer.has_value();
    const DeliveryLedger::Snapshot ledger = ledger_.GetSnapshot(DeliveryLedger::Clock::now());
    const SynchronizationThreads::Activity activity = threads_.GetActivity();

    Json::Value answer = Json::objectValue;
    answer["Connected"] = connected;
    answer["Health"] = GetHealth(connected, ledger);
    answer["Activity"] = activity.scanning ? "scanning" : (activity.sending ? "sending" : "idle");

    if (ledger.lastError)
    {
      answer["LastError"] = DescribeError(*ledger.lastError);
    }
    if (ledger.lastTestError)
    {
      answer["LastTestError"] = DescribeError(*ledger.lastTestError);
    }
    if (ledger.nextRetrySeconds)
    {
      answer["NextRetrySeconds"] = *ledger.nextRetrySeconds;
    }
    answer["RetryInstances"] = static_cast<Json::UInt64>(ledger.owedCount);

    answer["Failed"] = Json::arrayValue;
    for (const DeliveryLedger::FailedInstance& instance : ledger.failed)
    {
      Json::Value item = Json::objectValue;
      item["ID"] = instance.id;
      item["SOPInstanceUID"] = instance.sopInstanceUid;
      item["Reason"] = instance.reason;
      answer["Failed"].append(item);
    }
    answer["FailedCount"] = static_cast<Json::UInt64>(ledger.failedCount);

    if (activity.scanning)
    {
      Json::Value replay = Json::objectValue;
      replay["Scanned"] = static_cast<Json::UInt64>(activity.scanned);
      replay["Last"] = static_cast<Json::UInt64>(activity.lastOfHistory);
      answer["Replay"] = replay;
    }

    answer["DeliveredInstances"] = static_cast<Json::UInt64>(ledger.deliveredInstances);
    answer["DeliveredBytes"] = static_cast<Json::UInt64>(ledger.deliveredBytes);
    answer["RateMBps"] = ledger.rateMBps;
    return answer;
  }


  void DeliveryService::RetryFailed()
  {
    ledger_.RetryFailed();
    ledger_.StoreIfChanged();
  }
}
