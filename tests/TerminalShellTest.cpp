// The POSIX shell's login prompt on a terminal (a pseudo-terminal here).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/EventLoop.h"
#include "platform/Shell.h"

namespace {

// What reached standard error, write by write, with whether the terminal
// echoed input at that moment.
struct PromptLog {
  int tty = -1;
  std::vector<std::pair<std::string, bool>> writes;
};

ssize_t recordWrite(void* cookie, const char* data, std::size_t size) {
  PromptLog* log = static_cast<PromptLog*>(cookie);
  termios t{};
  ::tcgetattr(log->tty, &t);
  log->writes.emplace_back(std::string(data, size), (t.c_lflag & ECHO) != 0);
  return static_cast<ssize_t>(size);
}

TEST(TerminalShellTest, PasswordPromptShowsOnlyOnceEchoIsOffAndTheProcessCannotDump) {
  int master = -1, slave = -1;
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  int savedIn = ::dup(STDIN_FILENO);
  ASSERT_EQ(::dup2(slave, STDIN_FILENO), STDIN_FILENO);
  PromptLog log;
  log.tty = slave;
  cookie_io_functions_t io{nullptr, recordWrite, nullptr, nullptr};
  std::FILE* savedErr = stderr;
  stderr = ::fopencookie(&log, "w", io);
  ::setvbuf(stderr, nullptr, _IONBF, 0);
  ASSERT_EQ(::write(master, "trader\nsecret\n", 14), 14);  // typed at once

  EventLoop loop;
  std::unique_ptr<Shell> shell(createPlatformShell(loop));
  char user[32] = "", pass[32] = "";
  bool ok = shell->loginDialog("Log in", user, pass, sizeof user);
  int dumpable = ::prctl(PR_GET_DUMPABLE);

  std::fclose(stderr);
  stderr = savedErr;
  ::dup2(savedIn, STDIN_FILENO);
  ::close(savedIn);
  ::close(slave);
  ::close(master);
  ::prctl(PR_SET_DUMPABLE, 1);  // the sanitizers' leak check needs it

  ASSERT_TRUE(ok);
  EXPECT_STREQ(user, "trader");
  EXPECT_STREQ(pass, "secret");
  EXPECT_EQ(dumpable, 0);
  bool prompted = false;
  for (const auto& w : log.writes) {
    if (w.first.find("Password: ") == std::string::npos) continue;
    prompted = true;
    EXPECT_FALSE(w.second) << "the prompt showed while the terminal echoed input";
  }
  EXPECT_TRUE(prompted);
}

}  // namespace
