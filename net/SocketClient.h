#pragma once
// One TCP client connection: opened by host name and port, read on demand by
// the owner's event source, written through a queue that absorbs what the
// socket cannot take at once. Errors never close the socket on the spot: they
// set `disconnect_pending`, and the next read event disconnects. Derived
// classes learn of connect, disconnect and readable data through the hooks.

#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <utility>
#include <vector>

// One chunk of the write queue: bytes [out_pos, in_pos) are still to be sent.
class SocketClientWriteBuffer {
 public:
  explicit SocketClientWriteBuffer(int size);
  ~SocketClientWriteBuffer();
  SocketClientWriteBuffer(const SocketClientWriteBuffer&) = delete;
  SocketClientWriteBuffer& operator=(const SocketClientWriteBuffer&) = delete;

  bool add(const char* data, int length);
  // One send of the pending bytes; false only on a hard error (not would-block).
  bool write(int fd);
  bool isEmpty() const { return in_pos == out_pos; }
  int getSize() const { return size; }
  int getPending() const { return in_pos - out_pos; }

 private:
  char* buffer;
  int in_pos;
  int out_pos;
  int size;
};

class SocketClient {
 public:
  static constexpr std::uint32_t MAX_WRITE_BUFFER_LENGTH = 6000;  // chunks, not bytes
  static constexpr std::uint32_t MIN_BUFFER_SIZE = 10240;
  static constexpr int CONNECT_TIMEOUT_MS = 15000;

  SocketClient();
  virtual ~SocketClient();
  SocketClient(const SocketClient&) = delete;
  SocketClient& operator=(const SocketClient&) = delete;

  bool connect(const char* host, int port);
  virtual void disconnect();
  bool isConnected() const { return fd >= 0; }

  int read(char* data, int length);
  void write(const char* data, int length);
  void write(const char* str);
  void clientPrintF(const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
      ;

  void setFD(int fd);
  int getFD() const { return fd; }
  std::pair<std::string, int> getConnectionInfo() const { return m_connectionInfo; }
  void setConnectionInfo(const char* host, int port);
  void setDebug(bool on) { debug = on; }
  bool getDebug() const { return debug; }

  // Event entry points, called by the owner's event source.
  void handleRead(int fd);
  void handleWrite(int fd);

  bool hasQueuedOutput() const { return !write_buffer_list.empty(); }
  std::size_t queuedChunks() const { return write_buffer_list.size(); }
  std::size_t queuedBytes() const;
  std::vector<int> queuedChunkSizes() const;
  bool isDisconnectPending() const { return disconnect_pending; }
  // Told whenever the queue turns non-empty or empty, so the owner can ask for
  // write readiness exactly while output waits.
  void setQueueObserver(std::function<void(bool queued)> observer) { m_queueObserver = std::move(observer); }

 protected:
  virtual void handleDisconnect() {}
  virtual void handleRead() {}
  virtual void handleConnect() {}

  bool disconnect_pending;

 private:
  void bufferWrite(const char* data, unsigned int length);
  void clearWriteBuffer();
  void notifyQueue(bool wasQueued);

  bool debug;
  int fd;
  std::pair<std::string, int> m_connectionInfo;
  std::list<SocketClientWriteBuffer*> write_buffer_list;
  std::function<void(bool)> m_queueObserver;
};
