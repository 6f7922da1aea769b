#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <iomanip>
#include <sstream>
#include <string>

#include "support/Log.h"
#include "tests/TestSupport.h"

namespace {

// 1 March 2024 09:05:07 UTC, moved on by the tests of LogLimit windows.
std::time_t clockNow = 1709283907;
std::time_t fixedClock() { return clockNow; }

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clockNow = 1709283907;
    setLogClock(fixedClock);
    setLogStreams(&out);
    oldLevel = getLogLevel();
  }
  void TearDown() override {
    setLogClock(nullptr);
    setLogStreams(nullptr);
    setDebugStream(nullptr);
    setLogLevel(oldLevel);
  }
  TimeZoneGuard utc{"UTC0"};
  std::ostringstream out;
  int oldLevel = 2;
};

int evaluations = 0;
const char* counted() {
  ++evaluations;
  return "x";
}

TEST_F(LogTest, LineHasStampPaddedLocationLevelAndText) {
  log(3, "TavroDDE", "connect", 143) << "connected on port 7000\n";
  EXPECT_EQ(out.str(),
            "01/03/2024 09:05:07.TavroDDE:143:connect ----------------------------- | INF - "
            "connected on port 7000\n");
}

TEST_F(LogTest, MacroNamesSourceFileWithoutDirectoryOrExtension) {
  setLogLevel(4);
  LOG_DBG("value " << 42);
  const std::string line = out.str();
  EXPECT_EQ(line.substr(0, 20), "01/03/2024 09:05:07.");
  EXPECT_EQ(line.substr(20, 8), "LogTest:");
  EXPECT_NE(line.find(" | DBG - value 42\n"), std::string::npos);
  EXPECT_EQ(line.find(" | "), 70u);  // 20 stamp + 50 location
}

TEST_F(LogTest, LocationOfFiftyGetsNoDashesAndLongerIsNotCut) {
  // "F:1:" + function + " " == 50 characters with a 45-character function name.
  const std::string fn45(45, 'f');
  log(1, "F", fn45.c_str(), 1) << "t\n";
  EXPECT_EQ(out.str(), "01/03/2024 09:05:07.F:1:" + fn45 + "  | ERR - t\n");
  out.str("");
  const std::string fn46(46, 'g');
  log(2, "F", fn46.c_str(), 1) << "t\n";
  EXPECT_EQ(out.str(), "01/03/2024 09:05:07.F:1:" + fn46 + "  | WRN - t\n");
  EXPECT_EQ(out.str().find(" | "), 20u + 51u);
}

TEST_F(LogTest, SuppressedStatementDoesNotEvaluateItsMessage) {
  setLogLevel(3);
  evaluations = 0;
  LOG_DBG(counted());
  EXPECT_EQ(evaluations, 0);
  EXPECT_EQ(out.str(), "");
  LOG_INF(counted());
  EXPECT_EQ(evaluations, 1);
  EXPECT_NE(out.str().find(" | INF - x\n"), std::string::npos);
}

TEST_F(LogTest, LevelStaysInZeroToFive) {
  setLogLevel(3);
  setLogLevel(6);
  EXPECT_EQ(getLogLevel(), 3);
  setLogLevel(-1);
  EXPECT_EQ(getLogLevel(), 3);
  setLogLevel(0);
  LOG_ERR("silent");
  EXPECT_EQ(out.str(), "");
  setLogLevel(5);
  LOG_ERR("a");
  LOG_WRN("b");
  LOG_INF("c");
  LOG_DBG("d");
  EXPECT_NE(out.str().find("ERR - a"), std::string::npos);
  EXPECT_NE(out.str().find("DBG - d"), std::string::npos);
}

TEST_F(LogTest, DebugStreamTakesOnlyDebugLines) {
  setLogLevel(4);
  std::ostringstream debug;
  setDebugStream(&debug);
  LOG_DBG("to debug");
  LOG_INF("to standard");
  EXPECT_NE(debug.str().find("DBG - to debug"), std::string::npos);
  EXPECT_EQ(debug.str().find("to standard"), std::string::npos);
  EXPECT_NE(out.str().find("INF - to standard"), std::string::npos);
}

TEST_F(LogTest, StampUsesTwoDigitFields) {
  log(3, "S", "f", 1) << "\n";
  EXPECT_EQ(out.str().substr(0, 20), "01/03/2024 09:05:07.");
  // The stream's fill character is restored after the padded location.
  out << std::setw(3) << 7;
  EXPECT_EQ(out.str().substr(out.str().size() - 3), "7  ");
}

int countOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

void badLine(int i) { LOG_ERR_CAPPED("bad line " << i); }
void otherBadLine() { LOG_WRN_CAPPED("other trouble"); }

TEST_F(LogTest, CappedStatementWritesFirstLinesThenOneSummaryPerWindow) {
  setLogLevel(3);
  for (int i = 0; i < 1000; ++i) badLine(i);
  otherBadLine();  // a statement of its own keeps its own count
  EXPECT_EQ(countOf(out.str(), "bad line "), static_cast<int>(LOG_LIMIT_LINES));
  EXPECT_NE(out.str().find("ERR - bad line 0\n"), std::string::npos);
  EXPECT_EQ(countOf(out.str(), "other trouble"), 1);
  EXPECT_EQ(countOf(out.str(), "more like this"), 0);  // the window is not over yet

  out.str("");
  clockNow += LOG_LIMIT_WINDOW;  // the next line ends the window: summary first, at the statement's place
  badLine(1000);
  const std::string text = out.str();
  std::size_t summary = text.find(" | ERR - ... " + std::to_string(1000 - LOG_LIMIT_LINES) + " more like this\n");
  ASSERT_NE(summary, std::string::npos) << text;
  EXPECT_NE(text.substr(0, summary).find(":badLine "), std::string::npos);
  EXPECT_GT(text.find("bad line 1000"), summary);
  EXPECT_EQ(countOf(text, "\n"), 2);
}

TEST_F(LogTest, LimitOfOneInputIsFlushedAtItsEnd) {
  setLogLevel(3);
  evaluations = 0;
  LogLimit limit(2);
  for (int i = 0; i < 50; ++i) LOG_WRN_LIMITED(limit, counted());
  TAVRO_LOG_LIMITED(limit, 4, counted());  // below the level: neither counted nor evaluated
  EXPECT_EQ(evaluations, 2);  // held-back lines are not formatted either
  EXPECT_EQ(limit.heldBack(), 48u);
  limit.flush();
  EXPECT_EQ(countOf(out.str(), "\n"), 3);
  EXPECT_NE(out.str().find(" | WRN - ... 48 more like this\n"), std::string::npos);
  limit.flush();  // nothing held back: nothing written, and the next input starts afresh
  LOG_WRN_LIMITED(limit, "next input");
  EXPECT_EQ(countOf(out.str(), "\n"), 4);
  EXPECT_EQ(countOf(out.str(), "more like this"), 1);
}

void refused(const std::string& rid) { LOG_INF_CAPPED_BY(rid, "status 7 (" << rid << ")"); }

TEST_F(LogTest, EveryKeysFirstLineInAWindowIsWrittenWhateverTheCount) {
  setLogLevel(3);
  for (int i = 0; i < 12; ++i) refused("L1^LSE^X" + std::to_string(i));
  for (int i = 0; i < 100; ++i) refused("L1^LSE^X0");  // a repeat waits its turn
  for (int i = 0; i < 12; ++i) EXPECT_NE(out.str().find("(L1^LSE^X" + std::to_string(i) + ")\n"), std::string::npos);
  EXPECT_EQ(countOf(out.str(), "\n"), 12);
  flushLogLimits();
  EXPECT_NE(out.str().find(" | INF - ... 100 more like this\n"), std::string::npos);
  refused("L1^LSE^X0");  // a new window: named again
  EXPECT_EQ(countOf(out.str(), "(L1^LSE^X0)"), 2);
}

// The one-second tick used to end every window, so five lines a second got through.
TEST_F(LogTest, PeriodicExpiryWritesTheSummaryOnlyOnceTheWindowIsOver) {
  setLogLevel(3);
  for (int i = 0; i < 3 * LOG_LIMIT_WINDOW; ++i) {
    badLine(i);
    if (i % 2) ++clockNow;  // two lines a second, expired every second
    expireLogLimits();
  }
  EXPECT_EQ(countOf(out.str(), "bad line "), static_cast<int>(LOG_LIMIT_LINES) * 2);
  EXPECT_EQ(countOf(out.str(), "more like this"), 1);
  EXPECT_NE(out.str().find("ERR - ... " + std::to_string(2 * LOG_LIMIT_WINDOW - LOG_LIMIT_LINES) + " more like this\n"),
            std::string::npos);
}

}  // namespace
