#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/ChildProcess.h"
#include "tests/SimHarness.h"

namespace {

// feedsim as a child process, its output on pipes.
class Program : public ChildProcess {
 public:
  explicit Program(std::vector<std::string> args) {
    args.insert(args.begin(), FEEDSIM_EXECUTABLE);
    start(args, {}, "", "");
  }
  // The first line of output, waiting at most 5 s.
  std::string firstLine() {
    waitUntil([this] { return !running() || out().find('\n') != std::string::npos; }, 5000);
    return out().substr(0, out().find('\n'));
  }
  // The exit code once it ended by itself within `timeoutMs`, else -1.
  int finish(int timeoutMs = 5000) {
    waitUntil([this] { return !running(); }, timeoutMs);
    return exitCode();
  }
};

int portOf(const std::string& line) {
  std::string::size_type colon = line.rfind(':');
  return colon == std::string::npos ? 0 : std::atoi(line.c_str() + colon + 1);
}

TEST(FeedSimProgramTest, PrintsItsPortFirstAndTheSummaryOnSigterm) {
  Program p({"--port", "0", "-v", "--ping-interval", "0"});
  std::string line = p.firstLine();
  ASSERT_EQ(line.compare(0, 23, "listening on 127.0.0.1:"), 0) << line;
  int port = portOf(line);
  ASSERT_GT(port, 0);
  {
    RawClient c(port);
    ASSERT_TRUE(c.connected());
    EXPECT_EQ(c.readBytes(16), frame(QELMSG_NAME, "feedsim"));
    std::string login = frame(QELMSG_SNAPSHOT, "AUTH^demo^demo");
    ASSERT_TRUE(c.send(frame(QELMSG_NAME, "default") + login + frame(QELMSG_PING, "")));
    EXPECT_EQ(c.readBytes(9 + 14 + DEMO_MARKETS.size()), frame(QELMSG_IMAGE, "AUTH^demo^demo", DEMO_MARKETS));
    EXPECT_EQ(c.readBytes(9), frame(QELMSG_PING_ACK, ""));
  }
  p.stop(SIGTERM, 5000);
  EXPECT_EQ(p.exitCode(), 0);
  const std::string& rest = p.out();
  EXPECT_NE(rest.find("#1 in  SNAPSHOT AUTH^demo^***"), std::string::npos) << rest;
  EXPECT_NE(rest.find("frames received: OPEN=0 CLOSE=0 SNAPSHOT=1 PING=1 PING_ACK=0 NAME=1\n"), std::string::npos)
      << rest;
  EXPECT_NE(rest.find("protocol violations: 0\n"), std::string::npos) << rest;
}

TEST(FeedSimProgramTest, FailsOnViolationWhenAskedAndStopsWhenIdle) {
  Program p({"--port", "0", "--exit-when-idle", "--fail-on-violation", "--ping-interval", "0"});
  {
    RawClient c(portOf(p.firstLine()));
    ASSERT_TRUE(c.connected());
    c.readBytes(16);
    ASSERT_TRUE(c.send(frame(QELMSG_OPEN, "L1^LSE^VOD") + frame(QELMSG_PING, "")));  // before any login
    EXPECT_EQ(c.readBytes(9), frame(QELMSG_PING_ACK, ""));
  }
  EXPECT_EQ(p.finish(), 3);
  const std::string& rest = p.out();
  EXPECT_NE(rest.find("protocol violations: 1\n"), std::string::npos) << rest;
  EXPECT_NE(rest.find("request before login: 1"), std::string::npos) << rest;
}

TEST(FeedSimProgramTest, StopsByItselfAfterItsTime) {
  Program p({"--port", "0", "--exit-after-seconds", "0.3"});
  EXPECT_EQ(p.finish(3000), 0);
  EXPECT_NE(p.out().find("clients: 0\n"), std::string::npos) << p.out();
}

TEST(FeedSimProgramTest, HelpAndBadCommandLine) {
  Program help({"--help"});
  EXPECT_EQ(help.finish(), 0);
  EXPECT_NE(help.out().find("--drop-after-frames N"), std::string::npos);
  Program bad({"--port", "nope"});
  EXPECT_EQ(bad.finish(), 2);
  Program data({"--print-data"});
  EXPECT_EQ(data.finish(), 0);
  EXPECT_EQ(data.out(), SimData::builtinText());
}

}  // namespace
