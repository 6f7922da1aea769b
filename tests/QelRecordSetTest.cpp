#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "feed/QelRecordSet.h"

namespace {

// The transition table, typed out independently of the code under test.
// Columns: open, snapshot, close, image, update, st.ERROR, st.CLOSED, st.STALE, reopen, disconnect.
const char* const kExpected[9][10] = {
    {"OPEN_WAIT", "SNAPSHOT_WAIT", "NO_CHANGE", "ERROR", "ERROR", "ERROR", "ERROR", "ERROR", "NO_CHANGE", "NO_CHANGE"},
    {"NO_CHANGE", "ERROR", "CLOSED", "OPEN", "ERROR", "CLOSED", "ERROR", "ERROR", "ERROR", "ERROR"},
    {"ERROR", "ERROR", "ERROR", "CLOSED", "ERROR", "CLOSED", "ERROR", "ERROR", "ERROR", "ERROR"},
    {"OPEN_SNAPSHOT_WAIT", "OPEN_SNAPSHOT_WAIT", "CLOSED", "ERROR", "NO_CHANGE", "ERROR", "CLOSED", "STALE", "ERROR", "STALE"},
    {"ERROR", "ERROR", "CLOSED", "OPEN", "NO_CHANGE", "CLOSED", "CLOSED", "STALE", "ERROR", "STALE"},
    {"STALE_OPEN_WAIT", "STALE_OPEN_WAIT", "CLOSED", "OPEN", "ERROR", "STALE", "CLOSED", "ERROR", "STALE_OPEN_WAIT", "NO_CHANGE"},
    {"NO_CHANGE", "NO_CHANGE", "CLOSED", "OPEN", "ERROR", "STALE", "CLOSED", "ERROR", "ERROR", "STALE"},
    {"CLOSED", "CLOSED", "CLOSED", "CLOSED", "CLOSED", "CLOSED", "CLOSED", "CLOSED", "CLOSED", "CLOSED"},
    {"CLOSED", "CLOSED", "CLOSED", "CLOSED", "CLOSED", "CLOSED", "CLOSED", "CLOSED", "CLOSED", "CLOSED"},
};

TEST(QelRecordStatusTest, EveryCellOfTheTransitionTable) {
  for (int status = 0; status <= QELSTATUS_MAX; ++status)
    for (int action = 0; action < QELACTION_COUNT; ++action)
      EXPECT_STREQ(QelRecordStatus::statusName(QelRecordStatus(status).getTransitionState(action)),
                   kExpected[status][action])
          << "status " << status << " action " << action;
}

TEST(QelRecordStatusTest, OutOfTableValuesAreErrorsAndInvalid) {
  EXPECT_EQ(QelRecordStatus(9).getTransitionState(0), QELSTATUS_ERROR);
  EXPECT_EQ(QelRecordStatus(-1).getTransitionState(0), QELSTATUS_ERROR);
  EXPECT_EQ(QelRecordStatus(3).getTransitionState(10), QELSTATUS_ERROR);
  EXPECT_STREQ(QelRecordStatus::statusName(9), "INVALID");
  EXPECT_STREQ(QelRecordStatus::statusName(-1), "INVALID");
  EXPECT_STREQ(QelRecordStatus::statusName(4), "OPEN_SNAPSHOT_WAIT");
  std::ostringstream os;
  os << QelRecordStatus(QELSTATUS_OPEN) << QelRecordStatus(12);
  EXPECT_EQ(os.str(), "(OPEN)(INVALID)");
}

TEST(QelRecordSetTest, RecordsArePresentExactlyWhileNotClosed) {
  QelRecordSet set;
  EXPECT_EQ(set.getRecordStatus("L1^LSE^VOD").status, QELSTATUS_CLOSED);
  EXPECT_EQ(set.numRecords(), 0);
  EXPECT_EQ(set.setRecordStatus("L1^LSE^VOD", QELSTATUS_OPEN_WAIT), QELSTATUS_CLOSED);
  EXPECT_EQ(set.numRecords(), 1);
  EXPECT_EQ(set.setRecordStatus("L1^LSE^VOD", QELSTATUS_OPEN), QELSTATUS_OPEN_WAIT);
  EXPECT_EQ(set.getRecordStatus("L1^LSE^VOD").status, QELSTATUS_OPEN);
  EXPECT_EQ(set.setRecordStatus("L1^LSE^VOD", QELSTATUS_CLOSED), QELSTATUS_OPEN);
  EXPECT_EQ(set.numRecords(), 0);
}

TEST(QelRecordSetTest, WalkInKeyOrderWhileClosingRecords) {
  QelRecordSet set;
  set.setRecordStatus("C", QELSTATUS_OPEN);
  set.setRecordStatus("A", QELSTATUS_OPEN);
  set.setRecordStatus("B", QELSTATUS_STALE);
  std::vector<std::string> seen;
  std::string rid;
  set.iterateRecords();
  while (set.nextRecord(rid)) {
    seen.push_back(rid);
    if (rid == "B") {
      EXPECT_EQ(set.getRecordStatus().status, QELSTATUS_STALE);
      EXPECT_EQ(set.setRecordStatus(QELSTATUS_CLOSED), QELSTATUS_STALE);
    } else {
      set.setRecordStatus(QELSTATUS_STALE);
    }
  }
  set.iterateRecordsEnd();
  EXPECT_EQ(seen, std::vector<std::string>({"A", "B", "C"}));
  EXPECT_EQ(set.numRecords(), 2);
  EXPECT_EQ(set.getRecordStatus("A").status, QELSTATUS_STALE);
  EXPECT_EQ(set.getRecordStatus("C").status, QELSTATUS_STALE);
}

TEST(QelRecordSetTest, ClosingTheNextRecordByNameDuringAWalkIsSafe) {
  QelRecordSet set;
  set.setRecordStatus("A", QELSTATUS_OPEN);
  set.setRecordStatus("B", QELSTATUS_OPEN);
  set.setRecordStatus("C", QELSTATUS_OPEN);
  std::vector<std::string> seen;
  std::string rid;
  set.iterateRecords();
  while (set.nextRecord(rid)) {
    seen.push_back(rid);
    if (rid == "A") set.setRecordStatus("B", QELSTATUS_CLOSED);
  }
  set.iterateRecordsEnd();
  EXPECT_EQ(seen, std::vector<std::string>({"A", "C"}));
}

// The per-status counts against a recount, through named sets and walks.
TEST(QelRecordSetTest, StatusCountsFollowEveryStoredStatus) {
  QelRecordSet set;
  std::mt19937 rng(5);
  const char* const rids[] = {"A", "B", "C", "D"};
  for (int step = 0; step < 2000; ++step) {
    int status = static_cast<int>(rng() % 7);  // CLOSED .. STALE_OPEN_WAIT
    if (rng() % 4 == 0) {
      std::string rid;
      set.iterateRecords();
      while (set.nextRecord(rid))
        if (rng() % 2) set.setRecordStatus(status);
      set.iterateRecordsEnd();
    } else {
      const char* rid = rids[rng() % 4];
      // Closing a record that is not there is a broken precondition.
      if (status != QELSTATUS_CLOSED || set.getRecordStatus(rid).status != QELSTATUS_CLOSED)
        set.setRecordStatus(rid, status);
    }
    int expected[QELSTATUS_MAX + 1] = {};
    for (const char* rid : rids) {
      int s = set.getRecordStatus(rid).status;
      if (s != QELSTATUS_CLOSED) ++expected[s];
    }
    for (int s = 1; s <= QELSTATUS_MAX; ++s) ASSERT_EQ(set.countRecords(s), expected[s]) << "step " << step;
  }
  EXPECT_EQ(set.countRecords(-1), 0);
  EXPECT_EQ(set.countRecords(QELSTATUS_MAX + 1), 0);
}

using QelRecordSetDeathTest = ::testing::Test;

TEST(QelRecordSetDeathTest, BrokenPreconditionsStopTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  QelRecordSet set;
  EXPECT_DEATH(set.setRecordStatus("X", QELSTATUS_ERROR), "status != QELSTATUS_ERROR");
  EXPECT_DEATH(set.setRecordStatus("X", QELSTATUS_NO_CHANGE), "status != QELSTATUS_NO_CHANGE");
  EXPECT_DEATH(set.setRecordStatus("X", QELSTATUS_CLOSED), "status != QELSTATUS_CLOSED");
  EXPECT_DEATH(set.getRecordStatus(static_cast<QelRID>(nullptr)), "rid");
  EXPECT_DEATH(set.getRecordStatus(), "iterating");
  set.iterateRecords();
  EXPECT_DEATH(set.iterateRecords(), "!iterating");
  EXPECT_DEATH(set.setRecordStatus(QELSTATUS_OPEN), "last_record != m_records.end()");
  set.iterateRecordsEnd();
}

}  // namespace
