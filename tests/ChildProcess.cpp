#include "tests/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

ChildProcess::~ChildProcess() {
  if (m_pid > 0 && !m_reaped) {
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
  }
  if (m_outPipe >= 0) ::close(m_outPipe);
  if (m_errPipe >= 0) ::close(m_errPipe);
}

bool ChildProcess::start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         const std::string& input, const std::string& outPath) {
  // Everything the child needs is built before the fork: after it only
  // async-signal-safe calls are made.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> envStrings(env);
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const std::string& mine : env) replaced = replaced || mine.compare(0, name.size() + 1, name + "=") == 0;
    if (!replaced) envStrings.push_back(entry);
  }
  std::vector<char*> envp;
  for (const std::string& e : envStrings) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  // Our ends of the pipes are [0] of `out` and `err`, [1] of `in`.
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  auto closeAll = [&] {
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
      if (fd >= 0) ::close(fd);
  };
  if (!outPath.empty()) {
    out[1] = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out[1] < 0) {
      m_error = "cannot write " + outPath + ": " + std::strerror(errno);
      return false;
    }
  }
  if (::pipe2(in, O_CLOEXEC) != 0 || (outPath.empty() && (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0))) {
    m_error = std::string("pipe: ") + std::strerror(errno);
    closeAll();
    return false;
  }
  pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid < 0) {
    m_error = std::string("fork: ") + std::strerror(errno);
    closeAll();
    return false;
  }
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1] >= 0 ? err[1] : out[1], 2);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  if (err[1] >= 0) ::close(err[1]);
  m_outPipe = out[0];
  m_errPipe = err[0];
  for (int fd : {m_outPipe, m_errPipe})
    if (fd >= 0) ::fcntl(fd, F_SETFL, O_NONBLOCK);
  std::size_t done = 0;
  while (done < input.size()) {
    ssize_t n = ::write(in[1], input.data() + done, input.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(in[1]);
  m_pid = pid;
  m_reaped = false;
  m_exitCode = -1;
  m_ended.clear();
  return true;
}

void ChildProcess::readPipes() {
  char buf[4096];
  ssize_t n;
  while (m_outPipe >= 0 && (n = ::read(m_outPipe, buf, sizeof buf)) > 0) m_out.append(buf, static_cast<std::size_t>(n));
  while (m_errPipe >= 0 && (n = ::read(m_errPipe, buf, sizeof buf)) > 0) m_err.append(buf, static_cast<std::size_t>(n));
}

bool ChildProcess::running() {
  readPipes();
  if (m_pid <= 0 || m_reaped) return false;
  int status = 0;
  pid_t r = ::waitpid(m_pid, &status, WNOHANG);
  if (r == 0) return true;
  m_reaped = true;
  // What it wrote last is in the pipes by now.
  readPipes();
  if (r < 0) {
    m_ended = "lost";
  } else if (WIFEXITED(status)) {
    m_exitCode = WEXITSTATUS(status);
    m_ended = "exit " + std::to_string(m_exitCode);
  } else if (WIFSIGNALED(status)) {
    m_ended = "signal " + std::to_string(WTERMSIG(status));
  } else {
    m_ended = "ended";
  }
  return false;
}

void ChildProcess::stop(int signal, int waitMs) {
  if (!running()) return;
  ::kill(m_pid, signal);
  if (waitUntil([this] { return !running(); }, waitMs)) return;
  ::kill(m_pid, SIGKILL);
  waitUntil([this] { return !running(); }, 2000);
}

double ChildProcess::cpuSeconds() const {
  if (m_pid <= 0 || m_reaped) return -1;
  std::ifstream in("/proc/" + std::to_string(m_pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The command name is in parentheses and may hold blanks: fields are counted after the last ')'.
  std::string::size_type close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 1));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
    if (i == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
  }
  long ticks = ::sysconf(_SC_CLK_TCK);
  return ticks > 0 ? static_cast<double>(utime + stime) / static_cast<double>(ticks) : -1;
}

long ChildProcess::memoryKb(const char* field) const {
  if (m_pid <= 0 || m_reaped) return -1;
  std::ifstream in("/proc/" + std::to_string(m_pid) + "/status");
  std::string line, prefix = std::string(field) + ":";
  while (std::getline(in, line))
    if (line.compare(0, prefix.size(), prefix) == 0) return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
  return -1;
}
