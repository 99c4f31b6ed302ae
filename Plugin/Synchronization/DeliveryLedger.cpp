#include "DeliveryLedger.h"

#include "../HostBridge/GlobalProperties.h"

#include <KestrumException.h>
#include <Logging.h>
#include <Toolbox.h>

#include <json/writer.h>

#include <algorithm>
#include <ctime>

namespace QuelbyCloud
{
  namespace
  {
    const auto RATE_WINDOW = std::chrono::seconds(10);
    const auto REFUSAL_RETRY_DELAY = std::chrono::seconds(1);
    const size_t MAX_FAILED_SHOWN = 100;

    std::string NowIso8601()
    {
      const std::time_t now = std::time(nullptr);
      std::tm utc;
      gmtime_r(&now, &utc);
      char text[32];
      std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
      return text;
    }

    bool IsString(const Json::Value& value, const char* member)
    {
      return value.isObject() && value[member].isString();
    }
  }


  DeliveryLedger::DeliveryLedger(const HostBridge& host) :
    host_(host),
    random_(std::random_device()())
  {
  }


  DeliveryLedger::Clock::duration DeliveryLedger::ComputeBackoff(unsigned int consecutiveFailures, double jitter)
  {
    // 1 s, 2 s, 4 s... The jitter (a factor near 1) keeps several plug-ins
    // that failed together from coming back together.
    const unsigned int doublings = std::min(consecutiveFailures > 0 ? consecutiveFailures - 1 : 0u, 16u);
    const auto base = std::min<Clock::duration>(std::chrono::seconds(1) * (1u << doublings), MAX_BACKOFF);
    const auto jittered = std::chrono::duration_cast<Clock::duration>(base * jitter);
    return std::min<Clock::duration>(jittered, MAX_BACKOFF);
  }


  void DeliveryLedger::AddOwed(const std::string& id)
  {
    if (owed_.emplace(id, Owed()).second)
    {
      owedOrder_.push_back(id);
      dirty_ = true;
    }
  }


  void DeliveryLedger::RemoveOwed(const std::string& id)
  {
    if (owed_.erase(id) != 0)
    {
      owedOrder_.erase(std::find(owedOrder_.begin(), owedOrder_.end(), id));
      dirty_ = true;
    }
  }


  void DeliveryLedger::ScheduleNextAttempt(Clock::time_point now)
  {
    std::uniform_real_distribution<double> jitter(0.8, 1.2);
    nextAttempt_ = now + ComputeBackoff(consecutiveFailures_, jitter(random_));
  }


  void DeliveryLedger::ForgetRecent(Clock::time_point now)
  {
    while (!recent_.empty() && recent_.front().first < now - RATE_WINDOW)
    {
      recent_.pop_front();
    }
  }


  Json::Value DeliveryLedger::Serialize() const
  {
    Json::Value document = Json::objectValue;
    document["Owed"] = Json::arrayValue;
    for (const std::string& id : owedOrder_)
    {
      Json::Value item = Json::objectValue;
      item["ID"] = id;
      item["Refusals"] = owed_.at(id).refusals;
      document["Owed"].append(item);
    }

    document["Failed"] = Json::arrayValue;
    for (const FailedInstance& instance : failed_)
    {
      Json::Value item = Json::objectValue;
      item["ID"] = instance.id;
      item["SOPInstanceUID"] = instance.sopInstanceUid;
      item["Reason"] = instance.reason;
      document["Failed"].append(item);
    }
    return document;
  }


  void DeliveryLedger::LoadStored()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (loaded_)
    {
      return;
    }
    loaded_ = true;

    const std::optional<std::string> stored = ReadGlobalProperty(host_, GLOBAL_PROPERTY);
    if (!stored || stored->empty())
    {
      return;
    }

    // What cannot be read is skipped item by item: the rest is still owed.
    const std::optional<Json::Value> document = Kestrum::Toolbox::ReadJsonObject(*stored);
    if (!document)
    {
      LOG(WARNING) << "Quelby Cloud plugin: The instances owed to the destination cannot be read from the "
                   << "Kestrum database, a replay sends them again";
      return;
    }

    if ((*document)["Owed"].isArray())
    {
      for (const Json::Value& item : (*document)["Owed"])
      {
        if (IsString(item, "ID"))
        {
          AddOwed(item["ID"].asString());
          owed_[item["ID"].asString()].refusals = item["Refusals"].isUInt() ? item["Refusals"].asUInt() : 0;
        }
      }
    }

    if ((*document)["Failed"].isArray())
    {
      for (const Json::Value& item : (*document)["Failed"])
      {
        if (IsString(item, "ID") && IsString(item, "SOPInstanceUID") && IsString(item, "Reason"))
        {
          failed_.push_back({ item["ID"].asString(), item["SOPInstanceUID"].asString(), item["Reason"].asString() });
        }
      }
    }

    dirty_ = false;
    if (!owed_.empty())
    {
      // Owed before the restart: try at once.
      nextAttempt_ = Clock::now();
    }
  }


  void DeliveryLedger::StoreIfChanged()
  {
    std::string text;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!dirty_)
      {
        return;
      }
      dirty_ = false;
      text = Kestrum::Toolbox::WriteCompactJson(Serialize());
    }

    if (!StoreGlobalProperty(host_, GLOBAL_PROPERTY, text))
    {
      LOG(ERROR) << "Quelby Cloud plugin: Cannot store the instances owed to the destination in the Kestrum "
                 << "database, a restart would forget them";
    }
  }


  DeliveryLedger::Step DeliveryLedger::GetStep(Clock::time_point now) const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (owed_.empty())
    {
      return Step::Send;
    }
    if (!nextAttempt_ || now >= *nextAttempt_)
    {
      return Step::Retry;
    }
    return Step::Wait;
  }


  DeliveryLedger::Clock::duration DeliveryLedger::GetTimeToNextAttempt(Clock::time_point now) const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return (nextAttempt_ && *nextAttempt_ > now) ? *nextAttempt_ - now : Clock::duration::zero();
  }


  void DeliveryLedger::Owe(const std::string& id)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    AddOwed(id);
  }


  std::vector<std::string> DeliveryLedger::GetOwed() const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return owedOrder_;
  }


  void DeliveryLedger::Forget(const std::string& id)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    RemoveOwed(id);
  }


  void DeliveryLedger::RecordAttempt(const std::vector<Attempted>& instances, const DeliveryReport& report,
                                     Clock::time_point now)
  {
    std::lock_guard<std::mutex> lock(mutex_);

    bool unconfirmed = false;
    std::string refusal;

    for (const Attempted& instance : instances)
    {
      if (report.confirmed.count(instance.sopInstanceUid) != 0)
      {
        RemoveOwed(instance.id);
        deliveredInstances_++;
        deliveredBytes_ += instance.bytes;
        recent_.emplace_back(now, instance.bytes);
        continue;
      }

      AddOwed(instance.id);

      const auto refused = report.refused.find(instance.sopInstanceUid);
      if (refused == report.refused.end())
      {
        unconfirmed = true;
        continue;
      }

      refusal = refused->second;
      if (++owed_[instance.id].refusals >= MAX_REFUSALS)
      {
        RemoveOwed(instance.id);
        failed_.push_front({ instance.id, instance.sopInstanceUid, refused->second });
        LOG(ERROR) << "Quelby Cloud plugin: The destination refused the instance " << instance.id
                   << " " << MAX_REFUSALS << " times, it is put on the failed list: " << refused->second;
      }
      dirty_ = true;
    }

    if (unconfirmed)
    {
      consecutiveFailures_++;
      ScheduleNextAttempt(now);
      lastError_ = Error{ NowIso8601(), report.failure.empty() ? "not confirmed by the destination" : report.failure };
    }
    else if (!refusal.empty())
    {
      // The destination works but refused some: no back-off, yet not at once
      // either, which would spend the three tries on the same moment.
      consecutiveFailures_ = 0;
      nextAttempt_ = now + REFUSAL_RETRY_DELAY;
      lastError_ = Error{ NowIso8601(), refusal };
    }
    else
    {
      // The destination works again: whatever is owed goes at full speed.
      consecutiveFailures_ = 0;
      nextAttempt_.reset();
    }

    ForgetRecent(now);
  }


  void DeliveryLedger::RecordFailure(const std::vector<Attempted>& instances, const std::string& cause,
                                     Clock::time_point now)
  {
    DeliveryReport report;
    report.Fail(cause);
    RecordAttempt(instances, report, now);
  }


  void DeliveryLedger::Clear()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dirty_ = dirty_ || !owed_.empty() || !failed_.empty();
    owed_.clear();
    owedOrder_.clear();
    failed_.clear();
    consecutiveFailures_ = 0;
    nextAttempt_.reset();
    lastError_.reset();
  }


  void DeliveryLedger::Restart()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dirty_ = dirty_ || !failed_.empty();
    failed_.clear();
    consecutiveFailures_ = 0;
    nextAttempt_.reset();
    lastError_.reset();
  }


  void DeliveryLedger::RetryFailed()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = failed_.rbegin(); it != failed_.rend(); ++it)
    {
      AddOwed(it->id);
    }
    dirty_ = dirty_ || !failed_.empty();
    failed_.clear();
    consecutiveFailures_ = 0;
    nextAttempt_.reset();
  }


  void DeliveryLedger::RecordTestResult(const std::optional<std::string>& failure)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failure)
    {
      lastTestError_ = Error{ NowIso8601(), *failure };
    }
    else
    {
      lastTestError_.reset();
    }
  }


  DeliveryLedger::Snapshot DeliveryLedger::GetSnapshot(Clock::time_point now)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ForgetRecent(now);

    Snapshot snapshot;
    snapshot.owedCount = owed_.size();
    if (nextAttempt_ && !owed_.empty() && consecutiveFailures_ > 0)
    {
      snapshot.nextRetrySeconds = std::max(0.0, std::chrono::duration<double>(*nextAttempt_ - now).count());
    }
    snapshot.failed.assign(failed_.begin(), failed_.begin() + std::min(failed_.size(), MAX_FAILED_SHOWN));
    snapshot.failedCount = failed_.size();
    snapshot.lastError = lastError_;
    snapshot.lastTestError = lastTestError_;
    snapshot.deliveredInstances = deliveredInstances_;
    snapshot.deliveredBytes = deliveredBytes_;

    uint64_t recentBytes = 0;
    for (const auto& [time, bytes] : recent_)
    {
      recentBytes += bytes;
    }
    snapshot.rateMBps = static_cast<double>(recentBytes) / 1e6 / std::chrono::duration<double>(RATE_WINDOW).count();
    return snapshot;
  }
}
