#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <iomanip>
#include <sstream>

#include "support/Log.h"

namespace {

// 1 March 2024 09:05:07 UTC.
std::time_t fixedClock() { return 1709283907; }

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC0", 1);
    tzset();
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

}  // namespace
