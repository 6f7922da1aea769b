#pragma once
// One connection of the load test to the DDE bridge, driven without waiting:
// transactions are queued and kept in flight up to a window, so that setting
// up a quarter of a million loops measures the server rather than a round
// trip per loop; answers come back with the tag they were sent with. Advise
// frames, the bulk of what arrives, are read in place without building a
// message, so the clients' own cost stays small beside the server's on a
// shared core. Non-blocking; everything runs on the caller's thread.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/posix/localdde/DdeBridge.h"

// Below the server's limit of answers queued for one client.
const std::size_t BRIDGE_LINK_WINDOW = 64;

// One advise frame as it lies in the read buffer: valid until the next read.
struct AdviseView {
  std::uint32_t conv = 0;
  const char* item = nullptr;
  std::size_t itemLength = 0;
  const char* data = nullptr;
  std::size_t dataLength = 0;
};

class BridgeLink {
 public:
  BridgeLink() = default;
  ~BridgeLink();
  BridgeLink(const BridgeLink&) = delete;
  BridgeLink& operator=(const BridgeLink&) = delete;

  bool open(const std::string& path);
  void close();
  int fd() const { return m_fd; }
  const std::string& error() const { return m_error; }

  // Queues a transaction (its xid is set here); `tag` comes back with the answer.
  void send(DdeBridgeMessage m, int tag);
  // Unanswered and not yet sent transactions.
  std::size_t outstanding() const { return m_inFlight.size() + m_queue.size(); }
  bool wantsWrite() const { return m_written < m_out.size() || (!m_queue.empty() && m_inFlight.size() < BRIDGE_LINK_WINDOW); }
  // Sends what the window allows; false once the connection has failed.
  bool write();
  // Reads what has arrived: each advise frame to `onAdvise(const AdviseView&)`,
  // each answer to `onAnswer(int tag, const DdeBridgeMessage&)`, terminations
  // to `onAnswer(-1, message)`. False once the connection has failed or closed.
  template <typename OnAdvise, typename OnAnswer>
  bool read(OnAdvise onAdvise, OnAnswer onAnswer);

 private:
  static const std::size_t READ_CHUNK = 256 * 1024;
  // Appends what one recv() returns; `got` 0 when nothing was waiting.
  bool fill(std::size_t& got);
  bool fail(const std::string& why);

  int m_fd = -1;
  std::uint32_t m_nextXid = 0;
  std::deque<std::pair<DdeBridgeMessage, int>> m_queue;
  std::unordered_map<std::uint32_t, int> m_inFlight;  // xid -> tag
  std::string m_out;
  std::size_t m_written = 0;
  std::vector<char> m_in;  // READ_CHUNK past the largest partial frame
  std::size_t m_used = 0;
  std::string m_error;
};

namespace bridgelink {
inline std::uint32_t u32(const char* p) {
  const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
  return static_cast<std::uint32_t>(u[0]) | (static_cast<std::uint32_t>(u[1]) << 8) |
         (static_cast<std::uint32_t>(u[2]) << 16) | (static_cast<std::uint32_t>(u[3]) << 24);
}
// Reads kind, conv, item, loop format, data format and data of an advise
// body; false when a length runs past the end.
bool viewAdvise(const char* body, std::size_t size, AdviseView& out);
}  // namespace bridgelink

template <typename OnAdvise, typename OnAnswer>
bool BridgeLink::read(OnAdvise onAdvise, OnAnswer onAnswer) {
  if (m_fd < 0) return false;
  for (int round = 0; round < 4; ++round) {
    std::size_t got = 0;
    if (!fill(got)) return false;
    std::size_t consumed = 0;
    std::size_t avail = m_used;
    while (avail >= 4) {
      const char* p = m_in.data() + consumed;
      std::uint32_t size = bridgelink::u32(p);
      if (size == 0 || size > DDE_BRIDGE_MAX_MESSAGE) return fail("bad message size " + std::to_string(size));
      if (avail - 4 < size) break;
      const char* body = p + 4;
      if (static_cast<std::uint8_t>(body[0]) == DDE_BRIDGE_ADVISE) {
        AdviseView v;
        if (!bridgelink::viewAdvise(body, size, v)) return fail("malformed advise frame");
        onAdvise(v);
      } else {
        DdeBridgeMessage m;
        std::string why;
        if (!ddeBridgeDecode(body, size, m, why)) return fail("malformed answer: " + why);
        if (m.kind == DDE_BRIDGE_TERMINATED) {
          onAnswer(-1, m);
        } else {
          auto it = m_inFlight.find(m.xid);
          if (it == m_inFlight.end()) return fail("answer to unknown transaction " + std::to_string(m.xid));
          int tag = it->second;
          m_inFlight.erase(it);
          onAnswer(tag, m);
        }
      }
      consumed += 4 + size;
      avail = m_used - consumed;
    }
    if (consumed > 0 && avail > 0) std::memmove(&m_in[0], &m_in[consumed], avail);
    m_used = avail;
    if (got < READ_CHUNK) break;
  }
  return write();
}
