#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Socket.h"
#include "tests/SimHarness.h"

namespace {

using Clock = std::chrono::steady_clock;

class FeedSimProgramTest : public ::testing::Test {
 protected:
  LogCapture log{3};
};

// feedsim as a child process with its stdout on a pipe.
class Program {
 public:
  explicit Program(std::vector<std::string> args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(FEEDSIM_EXECUTABLE));
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int out[2];
    if (::pipe(out) != 0) return;
    m_pid = ::fork();
    if (m_pid == 0) {
      // Only the summary and log on stdout matter here; usage errors stay out of the test output.
      int null = ::open("/dev/null", O_WRONLY);
      ::dup2(out[1], 1);
      if (null >= 0) ::dup2(null, 2);
      ::close(out[0]);
      ::close(out[1]);
      ::execv(FEEDSIM_EXECUTABLE, argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    m_out = out[0];
  }
  ~Program() {
    if (m_pid > 0 && !m_reaped) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
    if (m_out >= 0) ::close(m_out);
  }
  // The next line of output, waiting at most `timeoutMs`.
  bool readLine(std::string& line, int timeoutMs = 5000) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      std::string::size_type nl = m_text.find('\n', m_pos);
      if (nl != std::string::npos) {
        line = m_text.substr(m_pos, nl - m_pos);
        m_pos = nl + 1;
        return true;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0 || !readMore(static_cast<int>(left))) return false;
    }
  }
  // Everything up to the end of output, then the exit code (-1 on a timeout or a signal).
  int finish(std::string& rest, int timeoutMs = 5000) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0 || !readMore(static_cast<int>(left))) break;
    }
    rest = m_text.substr(m_pos);
    int status = 0;
    for (;;) {
      pid_t r = ::waitpid(m_pid, &status, WNOHANG);
      if (r == m_pid) break;
      if (Clock::now() >= end) return -1;
      ::usleep(10000);
    }
    m_reaped = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void signal(int sig) { ::kill(m_pid, sig); }
  bool started() const { return m_pid > 0 && m_out >= 0; }

 private:
  bool readMore(int timeoutMs) {
    if (!waitReadable(m_out, timeoutMs)) return false;
    char buf[4096];
    ssize_t n = ::read(m_out, buf, sizeof buf);
    if (n <= 0) return false;
    m_text.append(buf, static_cast<std::size_t>(n));
    return true;
  }
  pid_t m_pid = -1;
  int m_out = -1;
  bool m_reaped = false;
  std::string m_text;
  std::size_t m_pos = 0;
};

int portOf(const std::string& line) {
  std::string::size_type colon = line.rfind(':');
  return colon == std::string::npos ? 0 : std::atoi(line.c_str() + colon + 1);
}

// A blocking raw client of a feedsim in another process.
class RemoteClient {
 public:
  explicit RemoteClient(int port) {
    std::uint32_t address = 0;
    std::string error;
    socketResolve("127.0.0.1", address, error);
    m_fd = socketOpenStream();
    if (!socketConnect(m_fd, address, port, 2000)) {
      socketClose(m_fd);
      m_fd = -1;
    }
  }
  ~RemoteClient() { socketClose(m_fd); }
  bool ok() const { return m_fd >= 0; }
  void send(const std::string& b) { socketSend(m_fd, b.data(), static_cast<int>(b.size())); }
  std::string receive(std::size_t n, int timeoutMs = 3000) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_in.size() < n) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0 || !waitReadable(m_fd, static_cast<int>(left))) break;
      char buf[4096];
      int got = socketRecv(m_fd, buf, sizeof buf);
      if (got <= 0) break;
      m_in.append(buf, static_cast<std::size_t>(got));
    }
    std::string out = m_in.substr(0, n);
    m_in.erase(0, out.size());
    return out;
  }
  void close() {
    socketClose(m_fd);
    m_fd = -1;
  }

 private:
  int m_fd = -1;
  std::string m_in;
};

TEST_F(FeedSimProgramTest, ProgramPrintsItsPortFirstAndTheSummaryOnSigterm) {
  Program p({"--port", "0", "-v", "--ping-interval", "0"});
  ASSERT_TRUE(p.started());
  std::string line;
  ASSERT_TRUE(p.readLine(line));
  ASSERT_EQ(line.compare(0, 23, "listening on 127.0.0.1:"), 0) << line;
  int port = portOf(line);
  ASSERT_GT(port, 0);
  {
    RemoteClient c(port);
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(c.receive(16), frame(QELMSG_NAME, "feedsim"));
    std::string login = frame(QELMSG_SNAPSHOT, "AUTH^demo^demo");
    c.send(frame(QELMSG_NAME, "default") + login + frame(QELMSG_PING, ""));
    EXPECT_EQ(c.receive(9 + 14 + DEMO_MARKETS.size()), frame(QELMSG_IMAGE, "AUTH^demo^demo", DEMO_MARKETS));
    EXPECT_EQ(c.receive(9), frame(QELMSG_PING_ACK, ""));
  }
  p.signal(SIGTERM);
  std::string rest;
  EXPECT_EQ(p.finish(rest), 0);
  EXPECT_NE(rest.find("#1 in  SNAPSHOT AUTH^demo^***"), std::string::npos) << rest;
  EXPECT_NE(rest.find("frames received: OPEN=0 CLOSE=0 SNAPSHOT=1 PING=1 PING_ACK=0 NAME=1\n"), std::string::npos)
      << rest;
  EXPECT_NE(rest.find("protocol violations: 0\n"), std::string::npos) << rest;
}

TEST_F(FeedSimProgramTest, ProgramFailsOnViolationWhenAskedAndStopsWhenIdle) {
  Program p({"--port", "0", "--exit-when-idle", "--fail-on-violation", "--ping-interval", "0"});
  std::string line;
  ASSERT_TRUE(p.readLine(line));
  {
    RemoteClient c(portOf(line));
    ASSERT_TRUE(c.ok());
    c.receive(16);
    c.send(frame(QELMSG_OPEN, "L1^LSE^VOD"));  // before any login
    c.send(frame(QELMSG_PING, ""));
    EXPECT_EQ(c.receive(9), frame(QELMSG_PING_ACK, ""));
  }
  std::string rest;
  EXPECT_EQ(p.finish(rest), 3);
  EXPECT_NE(rest.find("protocol violations: 1\n"), std::string::npos) << rest;
  EXPECT_NE(rest.find("request before login: 1"), std::string::npos) << rest;
}

TEST_F(FeedSimProgramTest, ProgramStopsByItselfAfterItsTime) {
  Program p({"--port", "0", "--exit-after-seconds", "0.3"});
  std::string line;
  ASSERT_TRUE(p.readLine(line));
  std::string rest;
  EXPECT_EQ(p.finish(rest, 3000), 0);
  EXPECT_NE(rest.find("clients: 0\n"), std::string::npos) << rest;
}

TEST_F(FeedSimProgramTest, ProgramHelpAndBadCommandLine) {
  Program help({"--help"});
  std::string rest;
  EXPECT_EQ(help.finish(rest), 0);
  EXPECT_NE(rest.find("--drop-after-frames N"), std::string::npos);
  Program bad({"--port", "nope"});
  EXPECT_EQ(bad.finish(rest), 2);
  Program data({"--print-data"});
  EXPECT_EQ(data.finish(rest), 0);
  EXPECT_EQ(rest, SimData::builtinText());
}

}  // namespace
