#include "bench/e2e/BridgeLink.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace bridgelink {

bool viewAdvise(const char* body, std::size_t size, AdviseView& out) {
  std::size_t pos = 1;  // the kind
  auto need = [&](std::size_t n) { return size - pos >= n; };
  if (!need(5)) return false;
  out.conv = u32(body + pos);
  pos += 4;
  std::size_t n = static_cast<unsigned char>(body[pos++]);
  if (!need(n)) return false;
  out.item = body + pos;
  out.itemLength = n;
  pos += n;
  for (int format = 0; format < 2; ++format) {  // the loop's, then the data's: u32 code, str name
    if (!need(5)) return false;
    pos += 4;
    n = static_cast<unsigned char>(body[pos++]);
    if (!need(n)) return false;
    pos += n;
  }
  if (!need(4)) return false;
  std::size_t length = u32(body + pos);
  pos += 4;
  if (!need(length) || size - pos != length) return false;
  out.data = body + pos;
  out.dataLength = length;
  return true;
}

}  // namespace bridgelink

BridgeLink::~BridgeLink() { close(); }

bool BridgeLink::fail(const std::string& why) {
  if (m_error.empty()) m_error = why;
  close();
  return false;
}

bool BridgeLink::open(const std::string& path) {
  close();
  sockaddr_un sa{};
  if (path.size() >= sizeof sa.sun_path) return fail("socket path too long: " + path);
  sa.sun_family = AF_UNIX;
  std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
  m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_fd < 0) return fail(std::string("socket: ") + std::strerror(errno));
  // A full listen backlog answers EAGAIN for a while; the server is another process.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (::connect(m_fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    if ((errno != EAGAIN && errno != EINTR) || std::chrono::steady_clock::now() > deadline)
      return fail("no service at " + path + ": " + std::strerror(errno));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL, 0) | O_NONBLOCK);
  m_in.assign(READ_CHUNK + DDE_BRIDGE_MAX_MESSAGE + 4, 0);
  m_used = 0;
  return true;
}

void BridgeLink::close() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

void BridgeLink::send(DdeBridgeMessage m, int tag) {
  m.xid = ++m_nextXid;
  m_queue.emplace_back(std::move(m), tag);
}

bool BridgeLink::write() {
  if (m_fd < 0) return false;
  while (!m_queue.empty() && m_inFlight.size() < BRIDGE_LINK_WINDOW) {
    const DdeBridgeMessage& m = m_queue.front().first;
    if (!ddeBridgeEncode(m, m_out)) return fail("cannot encode a transaction");
    m_inFlight[m.xid] = m_queue.front().second;
    m_queue.pop_front();
  }
  while (m_written < m_out.size()) {
    ssize_t n = ::send(m_fd, m_out.data() + m_written, m_out.size() - m_written, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      m_written += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    return fail(std::string("write: ") + std::strerror(errno));
  }
  if (m_written == m_out.size()) {
    m_out.clear();
    m_written = 0;
  }
  return true;
}

bool BridgeLink::fill(std::size_t& got) {
  got = 0;
  for (;;) {
    ssize_t n = ::recv(m_fd, &m_in[m_used], READ_CHUNK, MSG_DONTWAIT);
    if (n > 0) {
      got = static_cast<std::size_t>(n);
      break;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    return fail(n == 0 ? std::string("closed by the server") : std::string("read: ") + std::strerror(errno));
  }
  m_used += got;
  return true;
}
