#include "bench/e2e/LoopbackPing.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

// Receive timeouts keep a lost peer from hanging the run.
void boundWaits(int fd) {
  timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool sendAll(int fd, const char* data, std::size_t n) {
  while (n > 0) {
    ssize_t w = ::send(fd, data, n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    data += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

bool recvAll(int fd, char* data, std::size_t n) {
  while (n > 0) {
    ssize_t r = ::recv(fd, data, n, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    data += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

// `a` pings, `b` echoes; the first tenth of the trips warms both up and is not kept.
PingResult run(int a, int b, std::size_t bytes, int trips) {
  PingResult result;
  boundWaits(a);
  boundWaits(b);
  int warmup = trips / 10;
  std::thread echo([b, bytes, trips, warmup] {
    std::vector<char> buf(bytes);
    for (int i = 0; i < trips + warmup; ++i)
      if (!recvAll(b, buf.data(), bytes) || !sendAll(b, buf.data(), bytes)) return;
  });
  std::vector<char> msg(bytes, 'x');
  result.roundTripsUs.reserve(static_cast<std::size_t>(trips));
  result.ok = true;
  for (int i = 0; i < trips + warmup; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    if (!sendAll(a, msg.data(), bytes) || !recvAll(a, msg.data(), bytes)) {
      result.ok = false;
      result.error = std::string("round trip failed: ") + std::strerror(errno);
      break;
    }
    auto t1 = std::chrono::steady_clock::now();
    if (i >= warmup) result.roundTripsUs.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
  }
  ::shutdown(a, SHUT_RDWR);
  echo.join();
  std::sort(result.roundTripsUs.begin(), result.roundTripsUs.end());
  return result;
}

}  // namespace

PingResult pingPongTcp(std::size_t bytes, int trips) {
  PingResult failed;
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = 0;  // an ephemeral port: 7000 belongs to the feed
  socklen_t len = sizeof sa;
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(listener, 1) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    failed.error = std::string("loopback listen: ") + std::strerror(errno);
    if (listener >= 0) ::close(listener);
    return failed;
  }
  int a = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (a < 0 || ::connect(a, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    failed.error = std::string("loopback connect: ") + std::strerror(errno);
    if (a >= 0) ::close(a);
    ::close(listener);
    return failed;
  }
  int b = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  ::close(listener);
  if (b < 0) {
    failed.error = std::string("loopback accept: ") + std::strerror(errno);
    ::close(a);
    return failed;
  }
  int one = 1;
  ::setsockopt(a, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ::setsockopt(b, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  PingResult r = run(a, b, bytes, trips);
  ::close(a);
  ::close(b);
  return r;
}

PingResult pingPongUnix(std::size_t bytes, int trips) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    PingResult failed;
    failed.error = std::string("socketpair: ") + std::strerror(errno);
    return failed;
  }
  PingResult r = run(fds[0], fds[1], bytes, trips);
  ::close(fds[0]);
  ::close(fds[1]);
  return r;
}
