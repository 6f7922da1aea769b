#pragma once
// A program a test or the load test runs beside itself: started with its own
// environment additions, a short text on standard input and its output in a
// file or on pipes; watched for an early end; stopped by a signal with a
// bounded wait. The child is killed if this process dies first, so no run
// outlives the test. The destructor kills and reaps whatever is still
// running. Linux only: CPU time and memory are read from /proc.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // `argv[0]` is the program's path; `env` holds NAME=VALUE pairs added to
  // ours; standard output and error both go to `outPath`, or with no path
  // each to a pipe that running() empties into out() and err(). False, with
  // the reason in `error()`, when it cannot be started.
  bool start(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& input,
             const std::string& outPath);
  pid_t pid() const { return m_pid; }
  // False once it has ended; `howEnded()` then says how ("exit 0", "signal 11").
  bool running();
  const std::string& howEnded() const { return m_ended; }
  // The exit status once it has ended by itself, else -1.
  int exitCode() const { return m_exitCode; }
  const std::string& out() const { return m_out; }
  const std::string& err() const { return m_err; }
  // Sends `signal` and waits at most `waitMs` for the end; SIGKILL after that.
  void stop(int signal, int waitMs);
  const std::string& error() const { return m_error; }

  // utime + stime in seconds, from /proc/<pid>/stat; negative when unreadable.
  double cpuSeconds() const;
  // A "Vm..." line of /proc/<pid>/status in kB (VmRSS, VmHWM); negative when unreadable.
  long memoryKb(const char* field) const;

 private:
  void readPipes();

  pid_t m_pid = -1;
  bool m_reaped = false;
  int m_exitCode = -1;
  int m_outPipe = -1, m_errPipe = -1;
  std::string m_out, m_err;
  std::string m_ended;
  std::string m_error;
};

// Waits until `done` holds, at most `ms`, looking every 10 ms.
template <typename F>
bool waitUntil(F done, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}
