#pragma once
// The feed simulator: a strict server for the feed protocol on one
// single-threaded event loop. It accepts any number of clients and serves
// each on its own: name exchange, the login snapshot and its market list,
// level-1 images and random-walk updates, SYM images with language rows,
// ERROR statuses, pings both ways and an optional publish list. Whatever a
// client sends that the protocol does not allow is logged and counted as a
// violation; a frame that cannot be read at all also closes that client.
// Faults for client tests are injected per run from SimOptions; so are the
// aids of load runs: a send-time stamp in every level-1 frame, synthetic
// instruments, and updates spread over their period instead of one burst.
//
// The owner makes the loop, constructs a FeedSim on it, calls start() and
// runs the loop; stop() (or --exit-after-seconds, --exit-when-idle) posts the
// loop's quit. The FeedSim closes every socket it holds when destroyed.

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "net/QelMessage.h"
#include "platform/EventLoop.h"
#include "tools/feedsim/SimData.h"
#include "tools/feedsim/SimOptions.h"
#include "tools/feedsim/SimQuote.h"

struct SimStats {
  unsigned long received[QELMSG_NUM_TYPES] = {};
  unsigned long receivedOther = 0;  // types above 9
  unsigned long sent[QELMSG_NUM_TYPES] = {};
  unsigned long violations = 0;
  std::map<std::string, unsigned long> violationKinds;
  unsigned long clients = 0;  // accepted since start
  unsigned long writeCalls = 0;
  unsigned long bytesWritten = 0;
};

class FeedSim : public EventLoopHandler, public TimerHandler {
 public:
  // Frames a client may send carry no data, so anything longer is not read.
  static const std::uint32_t MAX_CLIENT_FRAME = 65536;
  // A client that lets this much output pile up is not reading; it is closed.
  static const std::size_t MAX_PENDING_OUTPUT = 16u * 1024u * 1024u;

  FeedSim(const SimOptions& options, const SimData& data, EventLoop& loop);
  ~FeedSim() override;
  FeedSim(const FeedSim&) = delete;
  FeedSim& operator=(const FeedSim&) = delete;

  // Listens and starts the timers; false, with a log line, when the address
  // cannot be bound or the synthetic instruments asked for cannot be added.
  bool start();
  void stop();
  int port() const { return m_port; }
  std::size_t clientCount() const;
  const SimStats& stats() const { return m_stats; }
  // The exit report: clients, frames received and sent by type, violations by kind.
  std::string summary() const;
  // 3 when asked to fail on violations and there was one, else 0.
  int exitCode() const;

  void handleSocketEvent(int fd, unsigned events) override;
  void handleTimer(int id) override;

  static const char* typeName(unsigned type);

 private:
  static const unsigned SPREAD_STEP_MS = 1;

  struct Client {
    int id = 0;
    int fd = -1;
    std::string in;
    std::string out;
    std::size_t outPos = 0;
    std::int64_t acceptedMs = 0;  // the loop's time
    std::string peerName = "none";
    const SimAccount* account = nullptr;
    // Open records: RID -> quote key ("" for a SYM record, which never changes).
    std::map<std::string, std::string> open;
    // Opens answered with ERROR: the client may still close them before it hears so.
    std::set<std::string> refused;
    unsigned pingsOutstanding = 0;
    long framesSent = 0;
    // Since when the socket has refused bytes that wait for it (-1: it has
    // not), and the longest such wait so far: how long the client left its
    // feed unread.
    std::int64_t blockedSinceMs = -1;
    std::int64_t longestBlockedMs = 0;
    unsigned publishRow = 0;
    bool stalled = false;
    bool closeAfterFlush = false;
    bool truncatePending = false;
    bool truncatedSent = false;
    bool dead = false;
  };

  void acceptClient();
  void readClient(Client& c);
  void consume(Client& c);
  void handleFrame(Client& c, const char* frame, std::uint32_t length);
  void handleRequest(Client& c, unsigned char type, const std::string& rid);
  void handleLogin(Client& c, unsigned char type, const std::string& rid);
  void handleRecord(Client& c, unsigned char type, const std::string& rid, const std::vector<std::string>& parts);
  void refuse(Client& c, unsigned char type, const std::string& rid);
  void sendImage(Client& c, const std::string& rid, const SimInstrument& instrument, bool level1);
  void sendPublishList(Client& c);
  void sendMalformed(Client& c);
  // One record of one client that an instrument's updates go to.
  struct Target {
    Client* client;
    const std::string* rid;
  };
  // An open instrument and everyone who has it open, in the order updates go out.
  struct Wanted {
    SimQuote* quote;
    std::vector<Target> targets;
  };

  void updateTick();
  void spreadTick();
  std::vector<Wanted>& wanted();
  void stepAndSend(Wanted& w);
  void publishTick();
  void pingTick();
  void housekeeping();

  void violation(Client& c, const std::string& kind, const std::string& detail);
  void queueFrame(Client& c, unsigned char type, const std::string& rid, const std::string& data);
  void queueBytes(Client& c, unsigned char type, const std::string& bytes, const std::string& what);
  void flush(Client& c);
  void updateInterest(Client& c);
  // The socket of `c` takes bytes again: logs its longest wait yet.
  void noteUnblocked(Client& c);
  void closeClient(Client& c, const std::string& reason);
  void reap();
  Client* findClient(int fd);
  std::vector<const SimInstrument*> accountInstruments(const SimAccount& account) const;
  std::string quoteKey(const SimInstrument& instrument) const { return instrument.market + "^" + instrument.code; }

  SimOptions m_options;
  SimData m_data;
  EventLoop& m_loop;
  // Handed out by the loop, given back when the simulator goes.
  const int m_updateTimer, m_pingTimer, m_housekeepingTimer, m_spreadTimer;
  int m_listenFd = -1;
  int m_port = 0;
  int m_nextClientId = 1;
  bool m_anyClient = false;
  std::int64_t m_startedMs = 0;
  std::map<int, std::unique_ptr<Client>> m_clients;  // by client id
  std::map<std::string, std::unique_ptr<SimQuote>> m_quotes;
  // Rebuilt when a record is opened or closed or a client goes, not on every tick.
  std::vector<Wanted> m_wanted;
  bool m_wantedStale = true;
  // --spread: instruments stepped per 1 ms tick come from the time since the
  // last tick, so a late tick catches up instead of losing updates.
  double m_spreadCredit = 0;
  std::size_t m_spreadCursor = 0;
  std::int64_t m_spreadLastMs = 0;
  bool m_syntheticOk = true;
  SimStats m_stats;
};
