#pragma once
// The client side of the POSIX DDE bridge: one socket to one service, on
// which it holds conversations, makes requests, starts and stops advise
// loops and collects their data. Calls wait for their answer at most the
// timeout. While waiting the client runs its idle function, if one is set,
// instead of sleeping: a server in the same thread runs its loop there.
// Advise data and terminations that arrive meanwhile are kept for
// nextAdvise(). Single-threaded; not copyable.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/posix/localdde/DdeBridge.h"

// Failed: no answer (no such service, a lost connection or a timeout).
enum class DdeReply { Ok, Refused, Failed };

struct DdeAdvise {
  std::uint32_t conv = 0;
  std::string item;
  DdeBridgeFormat format;      // the loop's
  DdeBridgeFormat dataFormat;  // the data's
  std::string data;
};

class DdeClient {
 public:
  DdeClient() = default;
  ~DdeClient();
  DdeClient(const DdeClient&) = delete;
  DdeClient& operator=(const DdeClient&) = delete;

  // Connects to the socket of `service` in the bridge directory.
  bool open(const std::string& service);
  bool openPath(const std::string& path);
  bool isOpen() const { return m_fd >= 0; }
  void close();
  int fd() const { return m_fd; }
  const std::string& lastError() const { return m_error; }

  void setIdle(std::function<void()> idle) { m_idle = std::move(idle); }
  void setTimeoutMs(int ms) { m_timeoutMs = ms; }

  DdeReply connect(const std::string& service, const std::string& topic, std::uint32_t& conv);
  // An empty service or topic matches any; the server answers with pairs.
  DdeReply wildConnect(const std::string& service, const std::string& topic, std::vector<DdeBridgePair>& pairs);
  DdeReply request(std::uint32_t conv, const std::string& item, const DdeBridgeFormat& format,
                   DdeBridgeFormat& dataFormat, std::string& data);
  DdeReply adviseStart(std::uint32_t conv, const std::string& item, const DdeBridgeFormat& format);
  DdeReply adviseStop(std::uint32_t conv, const std::string& item, const DdeBridgeFormat& format);
  DdeReply poke(std::uint32_t conv, const std::string& item, const DdeBridgeFormat& format, const std::string& data);
  DdeReply execute(std::uint32_t conv, const std::string& command);
  bool terminate(std::uint32_t conv);

  // The next advise data, waiting at most `waitMs` (0: only what has come).
  bool nextAdvise(DdeAdvise& out, int waitMs);
  std::size_t advisesQueued() const { return m_advises.size(); }
  // Conversations the server has ended.
  bool terminated(std::uint32_t conv) const { return m_terminated.count(conv) != 0; }
  // Reads what has arrived, waiting at most `waitMs` for the first byte.
  // False once the connection is gone.
  bool pump(int waitMs);

 private:
  bool send(const DdeBridgeMessage& m);
  bool await(std::uint32_t xid, DdeBridgeMessage& answer);
  DdeReply transact(DdeBridgeMessage& m, DdeBridgeMessage& answer);
  void fail(const std::string& why);

  int m_fd = -1;
  int m_timeoutMs = 5000;
  std::uint32_t m_nextXid = 0;
  std::function<void()> m_idle;
  DdeBridgeReader m_reader;
  std::map<std::uint32_t, DdeBridgeMessage> m_answers;
  std::deque<DdeAdvise> m_advises;
  std::set<std::uint32_t> m_terminated;
  std::string m_error;
};

// One printable line for a value the server sent in `format`.
std::string formatValue(const DdeBridgeFormat& format, const std::string& data);
