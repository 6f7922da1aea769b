#pragma once
// The few socket operations the program needs of the operating system: IPv4
// TCP by host name, blocking connect with a bounded wait, send/recv that never
// raise signals, and the last error with its text and symbolic name. Also a
// listener and accept for the feed simulator and tests (loopback only there).
// Descriptors are ints; -1 is "none".

#include <cstdint>
#include <string>

// Resolves `host` to an IPv4 address in network byte order.
bool socketResolve(const char* host, std::uint32_t& address, std::string& error);
int socketOpenStream();
// Connects in blocking mode, waiting at most `timeoutMs`; the socket is left blocking.
bool socketConnect(int fd, std::uint32_t address, int port, int timeoutMs);
int socketSend(int fd, const char* data, int length);
int socketRecv(int fd, char* data, int length);
void socketClose(int fd);
bool socketSetNonBlocking(int fd, bool nonBlocking);

int socketLastError();
bool socketErrorIsWouldBlock(int error);
bool socketErrorIsInterrupted(int error);
std::string socketErrorText(int error);
const char* socketErrorName(int error);

// Listens on `host`:`port` (0 picks a free port, stored in `*boundPort`).
int socketListen(const char* host, int port, int* boundPort);
int socketAccept(int listenFd);
bool socketSetBufferSizes(int fd, int sendBytes, int recvBytes);
