// Sockets on Winsock 2.2, started once before the first socket call. SOCKET
// values are kernel handles that fit an int, which is what the callers hold.

#include "platform/Socket.h"

#include <cstdio>

#include "platform/win32/Win32.h"
#include "support/Log.h"

namespace {

SOCKET asSocket(int fd) { return static_cast<SOCKET>(static_cast<unsigned>(fd)); }

int asFd(SOCKET s) { return s == INVALID_SOCKET ? -1 : static_cast<int>(s); }

bool startWinsock() {
  static bool started = false;
  if (started) return true;
  WSADATA data;
  int rc = ::WSAStartup(0x0202, &data);
  if (rc != 0) {
    LOG_ERR("WSAStartup failed - " << socketErrorText(rc));
    return false;
  }
  started = true;
  return true;
}

}  // namespace

bool socketResolve(const char* host, std::uint32_t& address, std::string& error) {
  if (!startWinsock()) {
    error = socketErrorText(WSANOTINITIALISED);
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  int rc = ::getaddrinfo(host, nullptr, &hints, &result);
  if (rc != 0 || !result) {
    error = socketErrorText(rc != 0 ? rc : WSAHOST_NOT_FOUND);
    return false;
  }
  address = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(result);
  return true;
}

int socketOpenStream() {
  if (!startWinsock()) return -1;
  return asFd(::socket(AF_INET, SOCK_STREAM, 0));
}

bool socketSetNonBlocking(int fd, bool nonBlocking) {
  u_long mode = nonBlocking ? 1 : 0;
  return ::ioctlsocket(asSocket(fd), FIONBIO, &mode) == 0;
}

bool socketConnect(int fd, std::uint32_t address, int port, int timeoutMs) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<u_short>(port));
  sa.sin_addr.s_addr = address;
  SOCKET s = asSocket(fd);
  if (!socketSetNonBlocking(fd, true)) return false;
  if (::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    if (::WSAGetLastError() != WSAEWOULDBLOCK) return false;
    fd_set writeSet, errorSet;
    FD_ZERO(&writeSet);
    FD_ZERO(&errorSet);
    FD_SET(s, &writeSet);
    FD_SET(s, &errorSet);
    timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    int ready = ::select(0, nullptr, &writeSet, &errorSet, timeoutMs < 0 ? nullptr : &timeout);
    if (ready == 0) {
      ::WSASetLastError(WSAETIMEDOUT);
      return false;
    }
    if (ready < 0) return false;
    if (FD_ISSET(s, &errorSet)) {
      int soError = 0;
      int len = sizeof soError;
      ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len);
      ::WSASetLastError(soError != 0 ? soError : WSAECONNREFUSED);
      return false;
    }
  }
  BOOL one = TRUE;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  return socketSetNonBlocking(fd, false);
}

int socketSend(int fd, const char* data, int length) { return ::send(asSocket(fd), data, length, 0); }

int socketRecv(int fd, char* data, int length) { return ::recv(asSocket(fd), data, length, 0); }

void socketClose(int fd) {
  if (fd >= 0) ::closesocket(asSocket(fd));
}

int socketLastError() { return ::WSAGetLastError(); }

bool socketErrorIsWouldBlock(int error) { return error == WSAEWOULDBLOCK; }

bool socketErrorIsInterrupted(int error) { return error == WSAEINTR; }

namespace {

// What the system says of the errors a feed connection meets, for systems
// whose message tables lack the Winsock texts (Wine's do).
const char* winsockErrorText(int error) {
  switch (error) {
    case WSAEINTR: return "A blocking operation was interrupted";
    case WSAEACCES: return "Permission denied";
    case WSAEINVAL: return "An invalid argument was supplied";
    case WSAEWOULDBLOCK: return "The operation would block";
    case WSAEINPROGRESS: return "A blocking operation is in progress";
    case WSAENOTSOCK: return "The descriptor is not a socket";
    case WSAEADDRINUSE: return "The address is already in use";
    case WSAEADDRNOTAVAIL: return "The requested address is not valid here";
    case WSAENETDOWN: return "The network is down";
    case WSAENETUNREACH: return "The network cannot be reached";
    case WSAECONNABORTED: return "The connection was aborted by this computer";
    case WSAECONNRESET: return "The connection was reset by the remote host";
    case WSAENOBUFS: return "No buffer space is available";
    case WSAENOTCONN: return "The socket is not connected";
    case WSAETIMEDOUT: return "The connection attempt timed out";
    case WSAECONNREFUSED: return "The connection was refused";
    case WSAEHOSTUNREACH: return "The host cannot be reached";
    case WSASYSNOTREADY: return "The network subsystem is not ready";
    case WSANOTINITIALISED: return "Windows Sockets is not started";
    case WSAHOST_NOT_FOUND: return "No such host is known";
    case WSATRY_AGAIN: return "The host name could not be resolved now; try again";
    case WSANO_DATA: return "The host name has no address";
    default: return nullptr;
  }
}

}  // namespace

// The system's text and the number, as the POSIX build gives strerror's text.
std::string socketErrorText(int error) {
  char text[512];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' || text[n - 1] == '.')) --n;
  std::string out;
  if (n > 0)
    out.assign(text, n);
  else if (const char* known = winsockErrorText(error))
    out = known;
  else
    return "error " + std::to_string(error);
  return out + " (error " + std::to_string(error) + ")";
}

const char* socketErrorName(int error) {
  switch (error) {
    case WSAEINVAL: return "WSAEINVAL";
    case WSAEINPROGRESS: return "WSAEINPROGRESS";
    case WSAENOTSOCK: return "WSAENOTSOCK";
    case WSAENETDOWN: return "WSAENETDOWN";
    case WSANOTINITIALISED: return "WSANOTINITIALISED";
    default: return "unknown";
  }
}

int socketListen(const char* host, int port, int* boundPort) {
  std::uint32_t address = 0;
  std::string error;
  if (!socketResolve(host, address, error)) return -1;
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) return -1;
  BOOL one = TRUE;
  ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<u_short>(port));
  sa.sin_addr.s_addr = address;
  if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(s, 64) != 0) {
    int saved = ::WSAGetLastError();
    ::closesocket(s);
    ::WSASetLastError(saved);
    return -1;
  }
  if (boundPort) {
    int len = sizeof sa;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
    *boundPort = ntohs(sa.sin_port);
  }
  return asFd(s);
}

int socketAccept(int listenFd) {
  SOCKET s = ::accept(asSocket(listenFd), nullptr, nullptr);
  if (s != INVALID_SOCKET) {
    BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  }
  return asFd(s);
}

bool socketSetBufferSizes(int fd, int sendBytes, int recvBytes) {
  bool ok = true;
  SOCKET s = asSocket(fd);
  if (sendBytes > 0)
    ok &= ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&sendBytes), sizeof sendBytes) == 0;
  if (recvBytes > 0)
    ok &= ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&recvBytes), sizeof recvBytes) == 0;
  return ok;
}
