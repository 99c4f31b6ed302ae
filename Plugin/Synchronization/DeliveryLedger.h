#pragma once

#include "../HostBridge/HostBridge.h"
#include "../TransferClients/DeliveryReport.h"

#include <json/value.h>

#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace QuelbyCloud
{
  /**
   * What the plug-in owes the destination and how delivery goes: the
   * instances owed a retry (attempted and not confirmed, or waiting behind
   * them while the destination fails), the instances refused for good, the
   * back-off between attempts, the last errors and what was confirmed.
   * The owed and refused instances are stored in a global property of their
   * own, so that a restart during an outage still heals. Locks itself.
   */
  class DeliveryLedger
  {
  public:
    using Clock = std::chrono::steady_clock;

    static constexpr int32_t GLOBAL_PROPERTY = 5468;

    /** Attempts at an instance that the destination refuses for good, before it goes on the failed list. */
    static constexpr unsigned int MAX_REFUSALS = 3;

    /** The longest wait between two attempts. */
    static constexpr std::chrono::seconds MAX_BACKOFF{300};

    /** One instance of an attempted batch. */
    struct Attempted
    {
      std::string id;
      std::string sopInstanceUid;
      uint64_t bytes;
    };

    struct FailedInstance
    {
      std::string id;
      std::string sopInstanceUid;
      std::string reason;
    };

    struct Error
    {
      std::string time;   // ISO 8601, UTC
      std::string text;
    };

    /** A copy of the whole ledger, for the delivery route. */
    struct Snapshot
    {
      size_t owedCount;
      std::optional<double> nextRetrySeconds;   // only while an attempt is scheduled
      std::vector<FailedInstance> failed;       // newest first, the first 100
      size_t failedCount;                       // the whole list's length
      std::optional<Error> lastError;
      std::optional<Error> lastTestError;
      uint64_t deliveredInstances;
      uint64_t deliveredBytes;
      double rateMBps;                          // over the last RATE_WINDOW
    };

    /** What the synchronization thread should do next. */
    enum class Step
    {
      Send,    // sending goes on normally
      Retry,   // an attempt at the owed instances is due
      Wait     // the destination is failing: new instances wait with the owed ones
    };

  private:
    struct Owed
    {
      unsigned int refusals = 0;
    };

    const HostBridge& host_;
    mutable std::mutex mutex_;

    std::vector<std::string> owedOrder_;        // first owed, first retried
    std::map<std::string, Owed> owed_;
    std::deque<FailedInstance> failed_;         // newest first
    unsigned int consecutiveFailures_ = 0;
    std::optional<Clock::time_point> nextAttempt_;
    std::optional<Error> lastError_;
    std::optional<Error> lastTestError_;
    uint64_t deliveredInstances_ = 0;
    uint64_t deliveredBytes_ = 0;
    std::deque<std::pair<Clock::time_point, uint64_t>> recent_;   // confirmed bytes, for the rate
    bool dirty_ = false;
    bool loaded_ = false;
    std::mt19937 random_;

    // Each called with the mutex held.
    void AddOwed(const std::string& id);
    void RemoveOwed(const std::string& id);
    void ScheduleNextAttempt(Clock::time_point now);
    void ForgetRecent(Clock::time_point now);
    Json::Value Serialize() const;

  public:
    explicit DeliveryLedger(const HostBridge& host);

    DeliveryLedger(const DeliveryLedger&) = delete;
    DeliveryLedger& operator=(const DeliveryLedger&) = delete;

    /** Reads what a previous run still owed (once); the first attempt is due at once. */
    void LoadStored();

    /** Stores the owed and failed instances if they changed since the last time. */
    void StoreIfChanged();

    Step GetStep(Clock::time_point now) const;

    /** How long the thread may wait before the next attempt is due. */
    Clock::duration GetTimeToNextAttempt(Clock::time_point now) const;

    /** An instance joins the owed ones (after those already there). */
    void Owe(const std::string& id);

    /** The owed instances, first owed first. */
    std::vector<std::string> GetOwed() const;

    /** An owed instance that has nothing left to send (gone, or already stamped). */
    void Forget(const std::string& id);

    /**
     * The outcome of one attempt: confirmed instances are settled, those
     * refused for good count one refusal more (and go on the failed list at
     * the last), the others are owed. The back-off grows when some were
     * neither confirmed nor refused, and goes back to its start otherwise.
     */
    void RecordAttempt(const std::vector<Attempted>& instances, const DeliveryReport& report, Clock::time_point now);

    /** An attempt that ended in an exception: nothing was confirmed. */
    void RecordFailure(const std::vector<Attempted>& instances, const std::string& cause, Clock::time_point now);

    /** Clear-pending and disconnect: nothing is owed or failed any more. */
    void Clear();

    /** Connect: the failed list is emptied and the owed instances are sent at once to the new destination. */
    void Restart();

    /** "Retry failed": the failed instances are owed again, and sent at once. */
    void RetryFailed();

    void RecordTestResult(const std::optional<std::string>& failure);

    Snapshot GetSnapshot(Clock::time_point now);

    /** The wait before attempt number n after a failure: 1 s doubling, at most MAX_BACKOFF, with jitter. */
    static Clock::duration ComputeBackoff(unsigned int consecutiveFailures, double jitter);
  };
}
