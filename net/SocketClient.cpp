#include "net/SocketClient.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/Socket.h"
#include "support/Log.h"

SocketClientWriteBuffer::SocketClientWriteBuffer(int size_)
    : buffer(new char[size_ > 0 ? size_ : 1]), in_pos(0), out_pos(0), size(size_ > 0 ? size_ : 1) {}

SocketClientWriteBuffer::~SocketClientWriteBuffer() { delete[] buffer; }

bool SocketClientWriteBuffer::add(const char* data, int length) {
  if (length < 0 || length > size - in_pos) return false;
  std::memcpy(buffer + in_pos, data, static_cast<std::size_t>(length));
  in_pos += length;
  return true;
}

bool SocketClientWriteBuffer::write(int fd) {
  int n = socketSend(fd, buffer + out_pos, in_pos - out_pos);
  if (n >= 0) {
    out_pos += n;
    if (out_pos == in_pos) in_pos = out_pos = 0;
    return true;
  }
  return socketErrorIsWouldBlock(socketLastError()) || socketErrorIsInterrupted(socketLastError());
}

SocketClient::SocketClient()
    : disconnect_pending(false), debug(false), fd(-1), m_connectionInfo("none", 0) {}

SocketClient::~SocketClient() {
  m_queueObserver = nullptr;
  clearWriteBuffer();
  // Virtual dispatch is over here: only our own (empty) hooks run.
  SocketClient::disconnect();
}

bool SocketClient::connect(const char* host, int port) {
  if (isConnected() || disconnect_pending || !host) return false;
  clearWriteBuffer();

  std::uint32_t address = 0;
  std::string error;
  if (!socketResolve(host, address, error)) {
    LOG_ERR("(" << host << ", " << port << " ) - gethostbyname - " << error);
    return false;
  }
  fd = socketOpenStream();
  if (fd < 0) {
    LOG_ERR("( " << host << ", " << port << " ) - socket - " << socketErrorText(socketLastError()));
    fd = -1;
    return false;
  }
  if (!socketConnect(fd, address, port, CONNECT_TIMEOUT_MS)) {
    int err = socketLastError();
    socketClose(fd);
    fd = -1;
    LOG_WRN("(" << host << "," << port << ") - connect - " << socketErrorText(err));
    return false;
  }
  m_connectionInfo = std::make_pair(std::string(host), port);
  handleConnect();
  return true;
}

void SocketClient::disconnect() {
  if (fd != -1) {
    LOG_INF("disconnecting!");
    socketClose(fd);
    fd = -1;
    handleDisconnect();
  }
  m_connectionInfo = std::make_pair(std::string("none"), 0);
  disconnect_pending = false;
}

int SocketClient::read(char* data, int length) { return socketRecv(fd, data, length); }

void SocketClient::write(const char* str) { write(str, static_cast<int>(std::strlen(str))); }

void SocketClient::write(const char* data, int length) {
  if (disconnect_pending) return;
  if (fd == -1) {
    LOG_WRN(static_cast<const void*>(this) << " attempted write when fd=-1");
    return;
  }
  if (length <= 0) return;
  if (write_buffer_list.size() > MAX_WRITE_BUFFER_LENGTH) {
    LOG_WRN("disconnecting due to write buffer max exceeded " << fd);
    disconnect_pending = true;
    return;
  }
  if (!write_buffer_list.empty()) {
    bufferWrite(data, static_cast<unsigned>(length));
    return;
  }
  int n = socketSend(fd, data, length);
  if (n == length) return;
  if (n < 0) {
    int err = socketLastError();
    if (socketErrorIsWouldBlock(err) || socketErrorIsInterrupted(err))
      bufferWrite(data, static_cast<unsigned>(length));
    else
      disconnect_pending = true;
    return;
  }
  bufferWrite(data + n, static_cast<unsigned>(length - n));
}

void SocketClient::clientPrintF(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  // vsnprintf never writes past the buffer; longer output is truncated.
  int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n < 0) return;
  write(text);
}

void SocketClient::setFD(int newFd) {
  clearWriteBuffer();
  if (fd != -1) disconnect();
  fd = newFd;
}

void SocketClient::setConnectionInfo(const char* host, int port) {
  m_connectionInfo = std::make_pair(std::string(host ? host : ""), port);
}

void SocketClient::handleRead(int) {
  if (disconnect_pending)
    disconnect();
  else
    handleRead();
}

void SocketClient::handleWrite(int) {
  if (write_buffer_list.empty() || fd == -1) return;
  SocketClientWriteBuffer* chunk = write_buffer_list.front();
  if (!chunk->write(fd)) {
    disconnect_pending = true;
    return;
  }
  if (chunk->isEmpty()) {
    delete chunk;
    write_buffer_list.pop_front();
    if (write_buffer_list.empty()) notifyQueue(true);
  }
}

std::size_t SocketClient::queuedBytes() const {
  std::size_t total = 0;
  for (const SocketClientWriteBuffer* chunk : write_buffer_list) total += static_cast<std::size_t>(chunk->getPending());
  return total;
}

std::vector<int> SocketClient::queuedChunkSizes() const {
  std::vector<int> sizes;
  for (const SocketClientWriteBuffer* chunk : write_buffer_list) sizes.push_back(chunk->getSize());
  return sizes;
}

void SocketClient::bufferWrite(const char* data, unsigned int length) {
  bool wasQueued = !write_buffer_list.empty();
  if (wasQueued && write_buffer_list.back()->add(data, static_cast<int>(length))) return;
  unsigned capacity = length > MIN_BUFFER_SIZE ? length : MIN_BUFFER_SIZE;
  SocketClientWriteBuffer* chunk = new SocketClientWriteBuffer(static_cast<int>(capacity));
  chunk->add(data, static_cast<int>(length));
  write_buffer_list.push_back(chunk);
  if (!wasQueued) notifyQueue(false);
}

void SocketClient::clearWriteBuffer() {
  bool wasQueued = !write_buffer_list.empty();
  for (SocketClientWriteBuffer* chunk : write_buffer_list) delete chunk;
  write_buffer_list.clear();
  if (wasQueued) notifyQueue(true);
}

void SocketClient::notifyQueue(bool wasQueued) {
  bool queued = !write_buffer_list.empty();
  if (queued != wasQueued && m_queueObserver) m_queueObserver(queued);
}
