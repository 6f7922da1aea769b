#pragma once
// The server of the local DDE library: each registered service listens on a
// Unix-domain socket (DdeBridge.h) on the event loop that is current when it
// is registered; that loop must outlive DdeUninitialize.
//
// Re-entrancy: the callback may call back into the library from anywhere.
// So nothing is destroyed under a caller: a client that must go is marked
// and closed when the outermost library entry finishes, closed clients and
// ended instances are kept until then, and conversations are looked up again
// after every callback.
//
// DdeServer.cpp: instances, clients, their queues and back-pressure, reading,
// accepting and housekeeping. DdeTransactions.cpp: what a client's messages
// do, and advise data. DdeService.cpp: the listening sockets.

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/EventLoop.h"
#include "platform/ddeml.h"
#include "platform/posix/localdde/DdeBridge.h"
#include "platform/posix/localdde/DdeHandles.h"

namespace localdde {

typedef std::pair<std::uintptr_t, UINT> LoopKey;  // item handle, format

struct AdviseLoop {
  HSZ item = nullptr;
  UINT format = 0;
  // What every ADVISE frame of the loop repeats: the item as the client
  // spelled it and the format as the client asked for it (ddeBridgeAdviseHead).
  std::string head;
  std::uint64_t pendingSeq = 0;
  LoopKey key() const { return LoopKey(reinterpret_cast<std::uintptr_t>(item), format); }
};

// One conversation of a client with this server.
struct Conv {
  std::uint32_t id = 0;
  std::uint64_t client = 0;
  HSZ topic = nullptr;
  HSZ service = nullptr;
  bool enabled = true;
  // Usually empty, in every conversation: a list costs nothing until used.
  std::list<DdeBridgeMessage> waiting;
  // Sorted by key; a handful per conversation, so a flat array, exactly as
  // long as it must be. Changing it moves the loops: see relinkLoops.
  std::vector<AdviseLoop> loops;

  AdviseLoop* findLoop(LoopKey key);
};

// One queued message. Advise data stays replaceable until it is written: a
// replaced value stays in the queue, emptied and marked, until it reaches
// the front or the queue is compacted. A loop's queued value is dropped
// before the loop goes, so `loop` never outlives it.
struct Pending {
  std::uint64_t seq = 0;
  std::string bytes;
  AdviseLoop* loop = nullptr;
  bool advise = false;
  bool dropped = false;
};

struct Client {
  std::uint64_t id = 0;
  int fd = -1;
  int listenFd = -1;
  HSZ service = nullptr;
  DdeBridgeReader reader;
  // Ordered by when each value was queued (by seq): a replaced advise value
  // moves to the back, so what is sent is always in the order it was posted.
  std::deque<Pending> out;
  std::size_t dropped = 0;  // entries of `out` marked as replaced
  std::uint64_t nextSeq = 0;
  std::string writing;
  std::size_t written = 0;
  std::size_t pendingBytes = 0;
  std::size_t pendingReplies = 0;
  std::size_t pendingAdvise = 0;  // bytes of advise data queued since the last write
  std::size_t loops = 0;
  std::int64_t stallSince = -1;    // since when data has waited without progress
  std::int64_t quietSince = -1;  // since when part of a message has waited for more bytes
  std::vector<std::uint32_t> convs;  // ascending, as ids are handed out
  bool doomed = false;
  bool closed = false;
};

struct Listener {
  HSZ service = nullptr;
  std::string name;
  std::string path;
  int fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
};

// The conversations on one topic, oldest first. An ended one stays listed
// until half the list has ended, so that a hundred thousand conversations on
// one topic end in linear time; ids are never reused, so a listed id that
// finds no conversation is one that ended.
struct TopicConvs {
  std::vector<std::uint32_t> ids;
  std::size_t ended = 0;
};

struct Instance {
  DWORD id = 0;
  PFNCALLBACK callback = nullptr;
  DWORD flags = 0;
  UINT lastError = DMLERR_NO_ERROR;
  bool alive = true;
  EventLoop* loop = nullptr;
  std::map<int, Listener> listeners;
  std::map<std::uint64_t, std::unique_ptr<Client>> clients;
  std::map<int, std::uint64_t> clientByFd;
  // Looked up several times for every advise value; elements never move.
  std::unordered_map<std::uint32_t, Conv> convs;
  // The same conversations by topic: a post visits only its topic's, not all.
  std::unordered_map<HSZ, TopicConvs> convsByTopic;
};

// One advise loop a post serves.
struct PostTarget {
  std::uint32_t conv;
  LoopKey key;
  ULONG_PTR remaining;  // later targets with the same item and format
};

// Everything the library holds, for all its instances: one object, so that
// what outlives a DdeUninitialize is in plain sight.
struct Library : public EventLoopHandler, public TimerHandler {
  StringTable strings;
  DataTable datas;
  FormatTable formats;
  std::map<DWORD, std::unique_ptr<Instance>> instances;
  std::map<int, DWORD> fdOwner;                  // every watched socket's instance
  std::map<EventLoop*, int> timerIds;            // the housekeeping timer of each serving loop
  // Kept until the outermost library entry ends (see Entry).
  std::vector<std::unique_ptr<Client>> closedClients;
  std::vector<std::unique_ptr<Instance>> endedInstances;
  DWORD nextInstance = 1;
  std::uint64_t nextClient = 0;
  std::uint32_t nextConversation = 0x1000;
  int stallLimitMs;
  int partialLimitMs;
  int depth = 0;  // library entries and callbacks under way
  bool workPending = false;
  // Set when a client is doomed, so that the end of a library call (several
  // for every feed update) looks for clients to close only when there are some.
  bool anyDoomed = false;
  // Counts every change to conversations, their loops and clients: a post
  // whose callback changed nothing need not look its target up again.
  std::uint64_t changes = 0;
  // Strings of written values, for the next ones: a value queued and
  // written then allocates nothing.
  std::vector<std::string> spareBytes;
  // Target lists of finished posts, lent to the next ones.
  std::vector<std::vector<PostTarget>> spareTargets;

  Library();
  void handleSocketEvent(int fd, unsigned events) override;
  void handleTimer(int id) override;
};

extern Library lib;

// Marks a public entry point; the outermost one finishes deferred work.
struct Entry {
  Entry();
  ~Entry();
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;
};

// The time of the instance's event loop: its timers and the library's limits
// run on one clock.
std::int64_t nowMs(Instance& in);
Instance* findInstance(DWORD id);
Client* findClient(Instance& in, std::uint64_t id);
Conv* findConv(Instance& in, std::uint32_t id);
HCONV hconvOf(std::uint32_t id);
HDDEDATA callBack(Instance& in, UINT type, UINT fmt, HCONV conv, HSZ hsz1, HSZ hsz2, HDDEDATA data,
                  ULONG_PTR d1 = 0, ULONG_PTR d2 = 0);

// Keeps the housekeeping timer on every loop that serves a service.
void updateTimers();
void stopTimer(EventLoop* loop);
// Held transactions run on the next turn, not inside the call that freed them.
void scheduleWork();

void doom(Instance& in, Client& c);
void dropPending(Client& c, std::uint64_t seq);
// Points the queued values of `conv`'s loops at where the loops now are.
void relinkLoops(Client& c, Conv& conv);
void flush(Instance& in, Client& c);
void queueReply(Instance& in, Client& c, const DdeBridgeMessage& m);
// Takes the frame in `bytes`, leaving there room for the next (a written one's).
void queueAdvise(Instance& in, Client& c, AdviseLoop& loop, std::string& bytes);
// Closes the socket now; the object itself lives until the outermost entry ends.
void closeClient(Instance& in, Client& c, bool farewell);
// Ends one conversation: its loops and queued advise data go, and the
// application hears XTYP_DISCONNECT once the library holds nothing of it.
void endConversation(Instance& in, std::uint32_t id, Client* c);
void acceptClients(Instance& in, Listener& l);
void retireInstance(DWORD id);

// DdeTransactions.cpp
void dispatch(Instance& in, Client& c, const DdeBridgeMessage& m);
void runTransaction(Instance& in, Client& c, const DdeBridgeMessage& m);
bool postAdvise(Instance& in, HSZ topic, HSZ item);
bool enableCallback(Instance& in, HCONV conv, UINT cmd);
// Not in ddeml.h: asks whether any transaction is held.
const UINT EC_QUERYWAITING = 0x0002;

// DdeService.cpp
bool registerService(Instance& in, HSZ service);
// Stops one service (or all, for a null handle) and ends its clients.
bool unregisterService(Instance& in, HSZ service);

}  // namespace localdde
