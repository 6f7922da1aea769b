#include "platform/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

bool socketResolve(const char* host, std::uint32_t& address, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  int rc = ::getaddrinfo(host, nullptr, &hints, &result);
  if (rc != 0 || !result) {
    error = rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc);
    return false;
  }
  address = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(result);
  return true;
}

int socketOpenStream() { return ::socket(AF_INET, SOCK_STREAM, 0); }

bool socketSetNonBlocking(int fd, bool nonBlocking) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0) return false;
  flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return ::fcntl(fd, F_SETFL, flags) == 0;
}

bool socketConnect(int fd, std::uint32_t address, int port, int timeoutMs) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<std::uint16_t>(port));
  sa.sin_addr.s_addr = address;
  if (!socketSetNonBlocking(fd, true)) return false;
  int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  if (rc != 0 && errno != EINPROGRESS) return false;
  if (rc != 0) {
    pollfd p{fd, POLLOUT, 0};
    int ready;
    do ready = ::poll(&p, 1, timeoutMs);
    while (ready < 0 && errno == EINTR);
    if (ready == 0) {
      errno = ETIMEDOUT;
      return false;
    }
    if (ready < 0) return false;
    int soError = 0;
    socklen_t len = sizeof soError;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) return false;
    if (soError != 0) {
      errno = soError;
      return false;
    }
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return socketSetNonBlocking(fd, false);
}

int socketSend(int fd, const char* data, int length) {
  return static_cast<int>(::send(fd, data, static_cast<std::size_t>(length), MSG_NOSIGNAL));
}

int socketRecv(int fd, char* data, int length) {
  return static_cast<int>(::recv(fd, data, static_cast<std::size_t>(length), 0));
}

void socketClose(int fd) {
  if (fd >= 0) ::close(fd);
}

int socketLastError() { return errno; }

bool socketErrorIsWouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

bool socketErrorIsInterrupted(int error) { return error == EINTR; }

std::string socketErrorText(int error) { return std::strerror(error); }

const char* socketErrorName(int error) {
  switch (error) {
    case EINVAL: return "EINVAL";
    case EINPROGRESS: return "EINPROGRESS";
    case ENOTSOCK: return "ENOTSOCK";
    case ENETDOWN: return "ENETDOWN";
    case EBADF: return "EBADF";
    case ECONNREFUSED: return "ECONNREFUSED";
    case ECONNRESET: return "ECONNRESET";
    case ETIMEDOUT: return "ETIMEDOUT";
    case EAGAIN: return "EAGAIN";
    default: return "unknown";
  }
}

int socketListen(const char* host, int port, int* boundPort) {
  std::uint32_t address = 0;
  std::string error;
  if (!socketResolve(host, address, error)) return -1;
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<std::uint16_t>(port));
  sa.sin_addr.s_addr = address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 64) != 0) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  if (boundPort) {
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    *boundPort = ntohs(sa.sin_port);
  }
  return fd;
}

int socketAccept(int listenFd) {
  int fd;
  do fd = ::accept(listenFd, nullptr, nullptr);
  while (fd < 0 && errno == EINTR);
  if (fd >= 0) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  return fd;
}

bool socketSetBufferSizes(int fd, int sendBytes, int recvBytes) {
  bool ok = true;
  if (sendBytes > 0) ok &= ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBytes, sizeof sendBytes) == 0;
  if (recvBytes > 0) ok &= ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &recvBytes, sizeof recvBytes) == 0;
  return ok;
}
