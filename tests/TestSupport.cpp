#include "tests/TestSupport.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/Socket.h"
#include "support/Log.h"

LogCapture::LogCapture(int level) : m_oldLevel(getLogLevel()) {
  setLogStreams(&m_out);
  setLogLevel(level);
}

LogCapture::~LogCapture() {
  setLogStreams(nullptr);
  setLogLevel(m_oldLevel);
}

int LogCapture::count(const std::string& s) const {
  std::string t = text();
  int n = 0;
  for (std::size_t p = t.find(s); p != std::string::npos; p = t.find(s, p + s.size())) ++n;
  return n;
}

TimeZoneGuard::TimeZoneGuard(const char* tz) {
  const char* old = std::getenv("TZ");
  m_had = old != nullptr;
  if (old) m_old = old;
  ::setenv("TZ", tz, 1);
  ::tzset();
}

TimeZoneGuard::~TimeZoneGuard() {
  if (m_had)
    ::setenv("TZ", m_old.c_str(), 1);
  else
    ::unsetenv("TZ");
  ::tzset();
}

TempDir::TempDir() {
  char pattern[] = "/tmp/tavro-test-XXXXXX";
  if (::mkdtemp(pattern)) root = pattern;
  ddeDir = root + "/dde";
  ::setenv("TAVRO_DDE_DIR", ddeDir.c_str(), 1);
}

TempDir::~TempDir() {
  ::unsetenv("TAVRO_DDE_DIR");
  if (!root.empty() && std::system(("rm -rf '" + root + "'").c_str()) != 0) ADD_FAILURE() << "could not remove " << root;
}

LoopbackServer::LoopbackServer() { m_listenFd = socketListen("127.0.0.1", 0, &m_port); }

LoopbackServer::~LoopbackServer() {
  closePeer();
  closeListener();
}

int LoopbackServer::accept(int timeoutMs) {
  if (m_listenFd < 0 || !waitReadable(m_listenFd, timeoutMs)) return -1;
  closePeer();
  m_peerFd = socketAccept(m_listenFd);
  return m_peerFd;
}

bool LoopbackServer::send(const std::string& bytes) { return send(bytes.data(), bytes.size()); }

bool LoopbackServer::send(const char* data, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    if (!waitWritable(m_peerFd, 5000)) return false;
    ssize_t n = ::send(m_peerFd, data + done, length - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string LoopbackServer::receive(std::size_t n, int timeoutMs) {
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char buf[65536];
  while (out.size() < n) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0 || !waitReadable(m_peerFd, static_cast<int>(left))) break;
    std::size_t want = n - out.size() < sizeof buf ? n - out.size() : sizeof buf;
    ssize_t got = ::recv(m_peerFd, buf, want, 0);
    if (got <= 0) break;
    out.append(buf, static_cast<std::size_t>(got));
  }
  return out;
}

std::string LoopbackServer::drain(int timeoutMs) {
  std::string out;
  char buf[65536];
  while (waitReadable(m_peerFd, timeoutMs)) {
    ssize_t got = ::recv(m_peerFd, buf, sizeof buf, 0);
    if (got <= 0) break;
    out.append(buf, static_cast<std::size_t>(got));
  }
  return out;
}

void LoopbackServer::closePeer() {
  if (m_peerFd >= 0) ::close(m_peerFd);
  m_peerFd = -1;
}

void LoopbackServer::closeListener() {
  if (m_listenFd >= 0) ::close(m_listenFd);
  m_listenFd = -1;
}

static bool waitFor(int fd, short events, int timeoutMs) {
  if (fd < 0) return false;
  pollfd p{fd, events, 0};
  return ::poll(&p, 1, timeoutMs) > 0;
}

bool waitReadable(int fd, int timeoutMs) { return waitFor(fd, POLLIN, timeoutMs); }
bool waitWritable(int fd, int timeoutMs) { return waitFor(fd, POLLOUT, timeoutMs); }

bool pollUntil(const std::function<bool()>& done, const std::function<void()>& step, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    step();
  }
  return true;
}

std::string le32(std::uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}

std::string frame(unsigned char type, const std::string& rid, const std::string& data) {
  std::string f = le32(static_cast<std::uint32_t>(9 + rid.size() + data.size()));
  f += static_cast<char>(type);
  f += static_cast<char>(rid.size());
  f += '\0';
  f += rid;
  f += '\0';
  f += data;
  f += 'J';
  return f;
}

std::string hex(const std::string& bytes) {
  std::string out;
  char b[4];
  for (unsigned char c : bytes) {
    std::snprintf(b, sizeof b, "%02X ", c);
    out += b;
  }
  if (!out.empty()) out.pop_back();
  return out;
}
