// The delivery ledger: what is owed to the destination, the back-off between
// attempts, the failed list, and what survives a restart.

#include "FakeHostTest.h"

#include <Synchronization/DeliveryLedger.h>

#include <chrono>

using namespace QuelbyCloud;
using Clock = DeliveryLedger::Clock;
using std::chrono::seconds;

namespace
{
  class DeliveryLedgerTest : public Testing::FakeHostTest
  {
  protected:
    DeliveryLedger ledger{bridge};
    const Clock::time_point start = Clock::now();

    static DeliveryReport Report(std::set<std::string> confirmed, std::map<std::string, std::string> refused = {},
                                 const std::string& failure = "")
    {
      DeliveryReport report;
      report.confirmed = confirmed;
      report.refused = refused;
      report.failure = failure;
      return report;
    }

    static std::vector<DeliveryLedger::Attempted> Batch(std::initializer_list<const char*> ids)
    {
      std::vector<DeliveryLedger::Attempted> batch;
      for (const char* id : ids)
      {
        batch.push_back({ id, std::string("uid-") + id, 1000000 });
      }
      return batch;
    }
  };
}


TEST(DeliveryBackoff, DoublesFromOneSecondUpToFiveMinutesWithTheJitterApplied)
{
  EXPECT_EQ(seconds(1), DeliveryLedger::ComputeBackoff(1, 1.0));
  EXPECT_EQ(seconds(2), DeliveryLedger::ComputeBackoff(2, 1.0));
  EXPECT_EQ(seconds(256), DeliveryLedger::ComputeBackoff(9, 1.0));
  EXPECT_EQ(seconds(300), DeliveryLedger::ComputeBackoff(10, 1.0));
  EXPECT_EQ(seconds(300), DeliveryLedger::ComputeBackoff(1000, 1.2)) << "the cap holds with the jitter";
  EXPECT_EQ(std::chrono::milliseconds(3200), DeliveryLedger::ComputeBackoff(3, 0.8));
}


TEST_F(DeliveryLedgerTest, UnconfirmedInstancesAreOwedAndRetriedAfterAGrowingBackoffUntilConfirmed)
{
  EXPECT_EQ(DeliveryLedger::Step::Send, ledger.GetStep(start));

  ledger.RecordAttempt(Batch({ "a", "b" }), Report({ "uid-a" }, {}, "HTTP 503 from the destination"), start);
  EXPECT_EQ(std::vector<std::string>{ "b" }, ledger.GetOwed());
  EXPECT_EQ(DeliveryLedger::Step::Wait, ledger.GetStep(start));
  EXPECT_EQ(DeliveryLedger::Step::Retry, ledger.GetStep(start + seconds(2)));

  DeliveryLedger::Snapshot snapshot = ledger.GetSnapshot(start);
  EXPECT_EQ(1u, snapshot.deliveredInstances);
  EXPECT_EQ(1000000u, snapshot.deliveredBytes);
  EXPECT_DOUBLE_EQ(0.1, snapshot.rateMBps);   // 1 MB over the last 10 s
  ASSERT_TRUE(snapshot.nextRetrySeconds);
  EXPECT_GE(*snapshot.nextRetrySeconds, 0.8);
  EXPECT_LE(*snapshot.nextRetrySeconds, 1.2);
  ASSERT_TRUE(snapshot.lastError);
  EXPECT_EQ("HTTP 503 from the destination", snapshot.lastError->text);

  // New instances wait behind the owed one; the next failure waits longer.
  ledger.Owe("c");
  ledger.RecordAttempt(Batch({ "b", "c" }), Report({}, {}, "no answer within 60 s"), start + seconds(2));
  EXPECT_EQ((std::vector<std::string>{ "b", "c" }), ledger.GetOwed());
  EXPECT_EQ(DeliveryLedger::Step::Wait, ledger.GetStep(start + seconds(3)));
  EXPECT_GE(*ledger.GetSnapshot(start + seconds(2)).nextRetrySeconds, 1.6);

  // The first confirmed attempt ends the back-off: the rest goes at once.
  ledger.Owe("d");
  ledger.RecordAttempt(Batch({ "b", "c" }), Report({ "uid-b", "uid-c" }), start + seconds(5));
  EXPECT_EQ(std::vector<std::string>{ "d" }, ledger.GetOwed());
  EXPECT_EQ(DeliveryLedger::Step::Retry, ledger.GetStep(start + seconds(5)));
  EXPECT_FALSE(ledger.GetSnapshot(start + seconds(5)).nextRetrySeconds);
  EXPECT_EQ(0.0, ledger.GetSnapshot(start + seconds(20)).rateMBps) << "the rate covers the last 10 s only";
}


TEST_F(DeliveryLedgerTest, RefusedForGoodThreeTimesGoesOnTheFailedListUntilRetried)
{
  const auto refused = Report({ "uid-b" }, { { "uid-a", "HTTP 400 from the destination" } });
  for (int attempt = 1; attempt <= 3; attempt++)
  {
    EXPECT_EQ(attempt == 1 ? 0u : 1u, ledger.GetOwed().size());
    ledger.RecordAttempt(Batch({ "a", "b" }), refused, start);
    EXPECT_FALSE(ledger.GetSnapshot(start).nextRetrySeconds) << "a refusal is no outage: no back-off";
    EXPECT_EQ(attempt < 3 ? DeliveryLedger::Step::Wait : DeliveryLedger::Step::Send, ledger.GetStep(start))
      << "the next try waits a moment";
  }

  DeliveryLedger::Snapshot snapshot = ledger.GetSnapshot(start);
  EXPECT_TRUE(ledger.GetOwed().empty());
  ASSERT_EQ(1u, snapshot.failedCount);
  EXPECT_EQ("a", snapshot.failed[0].id);
  EXPECT_EQ("uid-a", snapshot.failed[0].sopInstanceUid);
  EXPECT_EQ("HTTP 400 from the destination", snapshot.failed[0].reason);

  ledger.RetryFailed();
  EXPECT_EQ(std::vector<std::string>{ "a" }, ledger.GetOwed());
  EXPECT_EQ(0u, ledger.GetSnapshot(start).failedCount);
  EXPECT_EQ(DeliveryLedger::Step::Retry, ledger.GetStep(start));
}


TEST_F(DeliveryLedgerTest, WhatIsOwedSurvivesARestartAndIsTriedAtOnce)
{
  ledger.RecordAttempt(Batch({ "a", "b" }), Report({}, {}, "connection refused"), start);
  ledger.RecordAttempt(Batch({ "c" }), Report({}, { { "uid-c", "refused" } }), start);
  ledger.RecordAttempt(Batch({ "c" }), Report({}, { { "uid-c", "refused" } }), start);
  ledger.RecordAttempt(Batch({ "c" }), Report({}, { { "uid-c", "refused" } }), start);
  ledger.StoreIfChanged();
  const size_t writes = host.GlobalPropertyAccesses().size();
  ledger.StoreIfChanged();
  EXPECT_EQ(writes, host.GlobalPropertyAccesses().size()) << "nothing changed, nothing stored";

  DeliveryLedger restarted(bridge);
  restarted.LoadStored();
  EXPECT_EQ((std::vector<std::string>{ "a", "b" }), restarted.GetOwed());
  EXPECT_EQ(DeliveryLedger::Step::Retry, restarted.GetStep(Clock::now()));
  ASSERT_EQ(1u, restarted.GetSnapshot(start).failedCount);
  EXPECT_EQ("c", restarted.GetSnapshot(start).failed[0].id);

  // Disconnect and clear-pending forget everything; connect only the failed list.
  restarted.Restart();
  EXPECT_EQ(0u, restarted.GetSnapshot(start).failedCount);
  EXPECT_EQ(2u, restarted.GetOwed().size());
  restarted.Clear();
  restarted.StoreIfChanged();
  DeliveryLedger again(bridge);
  again.LoadStored();
  EXPECT_TRUE(again.GetOwed().empty());
  EXPECT_EQ(DeliveryLedger::Step::Send, again.GetStep(Clock::now()));
}


TEST_F(DeliveryLedgerTest, AStoredListThatCannotBeReadIsSkippedWithAWarning)
{
  host.SetGlobalProperty(DeliveryLedger::GLOBAL_PROPERTY,
                         "{\"Owed\": [{\"ID\": \"a\"}, 7, {\"ID\": 8}], \"Failed\": [{\"ID\": \"x\"}]}");
  ledger.LoadStored();
  EXPECT_EQ(std::vector<std::string>{ "a" }, ledger.GetOwed()) << "the readable items are still owed";
  EXPECT_EQ(0u, ledger.GetSnapshot(start).failedCount);

  host.SetGlobalProperty(DeliveryLedger::GLOBAL_PROPERTY, "not json");
  DeliveryLedger other(bridge);
  other.LoadStored();
  EXPECT_TRUE(other.GetOwed().empty());
  EXPECT_EQ(1u, host.Warnings().size());
}
