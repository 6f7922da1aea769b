// The DDE Management Library subset of platform/ddeml.h for POSIX: string,
// data and format handles as the real library keeps them, and a DDE server
// that serves each registered service on a Unix-domain socket with the
// protocol of DdeBridge.h. The server runs on the event loop that is current
// when the service is registered; that loop must outlive DdeUninitialize.
//
// Re-entrancy: the callback may call back into the library from anywhere.
// So nothing is destroyed under a caller: a client that must go is marked
// and closed when the outermost library entry finishes, closed clients and
// ended instances are kept until then, and conversations are looked up again
// after every callback.

#include "platform/ddeml.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/EventLoop.h"
#include "platform/posix/DdeBridge.h"
#include "platform/posix/DdeBridgeLimits.h"
#include "support/Log.h"

namespace {

const UINT EC_QUERYWAITING = 0x0002;
const std::size_t MAX_DATA_HANDLE = 16u << 20;
const std::size_t WRITE_BATCH = 16 * 1024;
// Advise data queued while the application works through a burst goes out
// once this much has gathered, rather than after the whole burst: a burst
// of feed updates would otherwise hold back its first values until its last.
const std::size_t ADVISE_SEND_BYTES = 2048;
// Library-held references to string handles are counted under this owner,
// apart from the application's, so an application that frees a handle it
// was only lent cannot take the library's reference with it.
const DWORD LIBRARY_OWNER = 0;

std::int64_t nowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// ---- Text. Handles keep code points; the A calls read and write them as
// Latin-1 bytes, the wire carries UTF-8. Letter case is folded for ASCII and
// Latin-1, as atoms are compared.

wchar_t upperChar(wchar_t c) {
  if (c >= L'a' && c <= L'z') return static_cast<wchar_t>(c - 32);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<wchar_t>(c - 32);
  return c;
}

std::wstring upperKey(const std::wstring& s) {
  std::wstring k(s);
  for (wchar_t& c : k) c = upperChar(c);
  return k;
}

std::wstring fromAnsi(const char* s) {
  std::wstring w;
  for (; *s; ++s) w.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*s)));
  return w;
}

std::string toAnsi(const std::wstring& w) {
  std::string s;
  for (wchar_t c : w) s.push_back(static_cast<std::uint32_t>(c) <= 0xFF ? static_cast<char>(c) : '?');
  return s;
}

// Invalid UTF-8 is taken byte by byte as Latin-1.
std::wstring fromUtf8(const std::string& s) {
  std::wstring w;
  std::size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    std::uint32_t cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
    bool good = n > 0 && i + n <= s.size();
    for (std::size_t k = 1; good && k < n; ++k) {
      unsigned char d = static_cast<unsigned char>(s[i + k]);
      if ((d >> 6) != 2) good = false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if (good && (cp > 0x10FFFF || (n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000)))
      good = false;
    if (!good) {
      w.push_back(static_cast<wchar_t>(c));
      ++i;
      continue;
    }
    w.push_back(static_cast<wchar_t>(cp));
    i += n;
  }
  return w;
}

std::string toUtf8(const std::wstring& w) {
  std::string s;
  for (wchar_t wc : w) {
    std::uint32_t c = static_cast<std::uint32_t>(wc);
    if (c < 0x80) {
      s.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      s.push_back(static_cast<char>(0xC0 | (c >> 6)));
      s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      s.push_back(static_cast<char>(0xE0 | (c >> 12)));
      s.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c <= 0x10FFFF) {
      s.push_back(static_cast<char>(0xF0 | (c >> 18)));
      s.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      s.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      s.push_back('?');
    }
  }
  return s;
}

// ---- String handles: one per text regardless of letter case, reference
// counted per owner, keeping the text they were first created with.

struct StringEntry {
  std::wstring text;
  std::wstring key;
  long refs = 0;
  std::map<DWORD, long> owners;
};

std::map<std::uintptr_t, StringEntry> strings;
std::map<std::wstring, std::uintptr_t> stringsByKey;
std::uintptr_t nextString = 0x100;

std::uintptr_t hszValue(HSZ h) { return reinterpret_cast<std::uintptr_t>(h); }
HSZ hszOf(std::uintptr_t v) { return reinterpret_cast<HSZ>(v); }

StringEntry* findString(HSZ h) {
  auto it = strings.find(hszValue(h));
  return it == strings.end() ? nullptr : &it->second;
}

void takeString(DWORD owner, HSZ h) {
  StringEntry* e = findString(h);
  if (!e) return;
  ++e->refs;
  ++e->owners[owner];
}

HSZ addString(DWORD owner, const std::wstring& text) {
  if (text.empty() || text.size() > DDE_BRIDGE_MAX_NAME) return nullptr;
  std::wstring key = upperKey(text);
  auto k = stringsByKey.find(key);
  std::uintptr_t v;
  if (k != stringsByKey.end()) {
    v = k->second;
  } else {
    v = nextString++;
    StringEntry e;
    e.text = text;
    e.key = key;
    strings[v] = e;
    stringsByKey[key] = v;
  }
  takeString(owner, hszOf(v));
  return hszOf(v);
}

HSZ lookupString(const std::wstring& text) {
  auto k = stringsByKey.find(upperKey(text));
  return k == stringsByKey.end() ? nullptr : hszOf(k->second);
}

bool releaseString(DWORD owner, HSZ h) {
  auto it = strings.find(hszValue(h));
  if (it == strings.end()) return false;
  StringEntry& e = it->second;
  auto o = e.owners.find(owner);
  if (o == e.owners.end()) return false;
  if (--o->second == 0) e.owners.erase(o);
  if (--e.refs == 0) {
    stringsByKey.erase(e.key);
    strings.erase(it);
  }
  return true;
}

std::string utf8Of(HSZ h) {
  StringEntry* e = findString(h);
  return e ? toUtf8(e->text) : std::string();
}

// ---- Data handles.

struct DataEntry {
  std::vector<BYTE> bytes;
  HSZ item = nullptr;
  UINT format = 0;
  DWORD owner = 0;
  bool appOwned = false;
};

std::map<std::uintptr_t, DataEntry> datas;
std::uintptr_t nextData = 0x100000;

std::uintptr_t dataValue(HDDEDATA h) { return reinterpret_cast<std::uintptr_t>(h); }

HDDEDATA addData(DWORD owner, const BYTE* bytes, std::size_t size, HSZ item, UINT format, bool appOwned) {
  DataEntry d;
  d.bytes.assign(size, 0);
  if (bytes && size) std::memcpy(d.bytes.data(), bytes, size);
  d.item = item;
  d.format = format;
  d.owner = owner;
  d.appOwned = appOwned;
  std::uintptr_t v = nextData++;
  datas[v] = std::move(d);
  return reinterpret_cast<HDDEDATA>(v);
}

// Takes over a handle the callback returned: copies its bytes out and frees
// it, unless the application keeps it (HDATA_APPOWNED).
bool consumeData(HDDEDATA h, std::string& bytes, UINT& format) {
  auto it = datas.find(dataValue(h));
  if (it == datas.end()) {
    LOG_WRN("DDE callback returned an unknown data handle " << static_cast<void*>(h));
    return false;
  }
  bytes.assign(reinterpret_cast<const char*>(it->second.bytes.data()), it->second.bytes.size());
  if (it->second.format) format = it->second.format;
  if (!it->second.appOwned) datas.erase(it);
  return true;
}

// ---- Registered clipboard formats, one number per name regardless of case.

std::map<std::wstring, UINT> formatsByKey;
std::map<UINT, std::string> formatNames;  // UTF-8, as first registered
UINT nextFormat = 0xC000;

DdeBridgeFormat wireFormat(UINT format) {
  auto it = formatNames.find(format);
  return it != formatNames.end() ? DdeBridgeFormat::registered(it->second) : DdeBridgeFormat::standard(format);
}

// Only formats this process knows can be served, so a name that was never
// registered here is refused rather than registered on a client's behalf.
bool resolveFormat(const DdeBridgeFormat& f, UINT& out) {
  if (f.name.empty()) {
    out = f.code;
    return out != 0;
  }
  auto it = formatsByKey.find(upperKey(fromUtf8(f.name)));
  if (it == formatsByKey.end()) return false;
  out = it->second;
  return true;
}

// ---- The server.

typedef std::pair<std::uintptr_t, UINT> LoopKey;  // item handle, format

struct Loop {
  HSZ item = nullptr;
  UINT format = 0;
  DdeBridgeFormat wire;    // as the client asked for it
  std::string clientItem;  // as the client spelled it
  std::uint64_t pendingSeq = 0;
};

struct Conversation {
  std::uint32_t id = 0;
  std::uint64_t client = 0;
  HSZ topic = nullptr;
  HSZ service = nullptr;
  bool enabled = true;
  // Usually empty, in every conversation: a list costs nothing until used.
  std::list<DdeBridgeMessage> waiting;
  std::map<LoopKey, Loop> loops;
};

// One queued message. Advise data stays replaceable until it is written.
struct Pending {
  std::string bytes;
  bool advise = false;
  std::uint32_t conv = 0;
  LoopKey loop;
};

struct Client {
  std::uint64_t id = 0;
  int fd = -1;
  int listenFd = -1;
  HSZ service = nullptr;
  DdeBridgeReader reader;
  // Ordered by when each value was queued: a replaced advise value moves to
  // the back, so what is sent is always in the order it was posted.
  std::map<std::uint64_t, Pending> out;
  std::uint64_t nextSeq = 0;
  std::string writing;
  std::size_t written = 0;
  std::size_t pendingBytes = 0;
  std::size_t pendingReplies = 0;
  std::size_t pendingAdvise = 0;  // bytes of advise data queued since the last write
  std::size_t loops = 0;
  std::int64_t stallSince = -1;  // since when data has waited without progress
  std::set<std::uint32_t> convs;
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
  std::unordered_map<std::uint32_t, Conversation> convs;
  // The same conversations by topic: a post visits only its topic's, not all.
  std::map<HSZ, std::set<std::uint32_t>> convsByTopic;
};

class Server : public EventLoopHandler, public TimerHandler {
 public:
  void handleSocketEvent(int fd, unsigned events) override;
  void handleTimer(int id) override;
};

Server server;
std::map<DWORD, std::unique_ptr<Instance>> instances;
std::map<int, DWORD> fdOwner;
DWORD nextInstance = 1;
std::uint64_t nextClient = 0;
std::uint32_t nextConversation = 0x1000;
int stallLimitMs = DDE_BRIDGE_STALL_LIMIT_MS;
std::map<EventLoop*, int> timerIds;  // the housekeeping timer of each serving loop
bool workPending = false;
int depth = 0;
std::vector<std::unique_ptr<Client>> closedClients;
std::vector<std::unique_ptr<Instance>> endedInstances;

void settle();

// Marks a public entry point; the outermost one finishes deferred work.
struct Entry {
  Entry() { ++depth; }
  ~Entry() {
    if (--depth == 0) settle();
  }
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;
};

Instance* findInstance(DWORD id) {
  auto it = instances.find(id);
  return it == instances.end() ? nullptr : it->second.get();
}

Client* findClient(Instance& in, std::uint64_t id) {
  auto it = in.clients.find(id);
  return it == in.clients.end() ? nullptr : it->second.get();
}

Conversation* findConversation(Instance& in, std::uint32_t id) {
  auto it = in.convs.find(id);
  return it == in.convs.end() ? nullptr : &it->second;
}

HCONV hconvOf(std::uint32_t id) { return reinterpret_cast<HCONV>(static_cast<std::uintptr_t>(id)); }

HDDEDATA callBack(Instance& in, UINT type, UINT fmt, HCONV conv, HSZ hsz1, HSZ hsz2, HDDEDATA data,
                  ULONG_PTR d1 = 0, ULONG_PTR d2 = 0) {
  if (!in.alive || !in.callback) return nullptr;
  ++depth;
  HDDEDATA r = in.callback(type, fmt, conv, hsz1, hsz2, data, d1, d2);
  --depth;
  return r;
}

int timerPeriodMs() { return std::max(5, std::min(1000, stallLimitMs / 4)); }

void stopTimer(EventLoop* loop) {
  auto t = timerIds.find(loop);
  if (t == timerIds.end()) return;
  loop->releaseTimerId(t->second);
  timerIds.erase(t);
}

// Keeps the housekeeping timer on every loop that serves a service.
void updateTimers() {
  std::set<EventLoop*> serving, idle;
  for (auto& i : instances) {
    if (!i.second->loop) continue;
    (i.second->listeners.empty() ? idle : serving).insert(i.second->loop);
  }
  for (EventLoop* loop : serving) {
    auto t = timerIds.find(loop);
    int id = t != timerIds.end() ? t->second : (timerIds[loop] = loop->allocateTimerId());
    loop->setTimer(id, timerPeriodMs(), &server);
  }
  for (EventLoop* loop : idle)
    if (!serving.count(loop)) stopTimer(loop);
}

void runHeldTransactions();

// Held transactions run on the next turn, not inside the call that freed them.
void scheduleWork() {
  if (workPending) return;
  std::set<EventLoop*> loops;
  for (auto& i : instances)
    if (i.second->loop) loops.insert(i.second->loop);
  for (EventLoop* loop : loops) loop->post(runHeldTransactions);
  workPending = !loops.empty();
}

void doom(Instance& in, Client& c) {
  if (c.doomed || c.closed) return;
  c.doomed = true;
  if (in.loop) in.loop->setInterest(c.fd, 0);
}

void armWrite(Instance& in, Client& c) {
  if (c.doomed || c.closed || !in.loop) return;
  in.loop->setInterest(c.fd, EVENT_READ | EVENT_CLOSE | EVENT_WRITE);
}

void dropPending(Client& c, std::uint64_t seq) {
  if (!seq) return;
  auto it = c.out.find(seq);
  if (it == c.out.end()) return;
  c.pendingBytes -= it->second.bytes.size();
  if (!it->second.advise) --c.pendingReplies;
  c.out.erase(it);
}

void flush(Instance& in, Client& c) {
  if (c.doomed || c.closed) return;
  c.pendingAdvise = 0;
  for (;;) {
    if (c.written > 0 && (c.written == c.writing.size() || !c.out.empty())) {
      c.writing.erase(0, c.written);
      c.written = 0;
    }
    while (c.writing.size() < WRITE_BATCH && !c.out.empty()) {
      auto it = c.out.begin();
      Pending& p = it->second;
      if (p.advise) {
        Conversation* conv = findConversation(in, p.conv);
        auto l = conv ? conv->loops.find(p.loop) : std::map<LoopKey, Loop>::iterator();
        if (conv && l != conv->loops.end() && l->second.pendingSeq == it->first) l->second.pendingSeq = 0;
      } else {
        --c.pendingReplies;
      }
      c.writing += p.bytes;
      c.out.erase(it);
    }
    if (c.written == c.writing.size()) break;
    ssize_t n = ::send(c.fd, c.writing.data() + c.written, c.writing.size() - c.written, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      c.written += static_cast<std::size_t>(n);
      c.pendingBytes -= static_cast<std::size_t>(n);
      c.stallSince = nowMs();
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    // A peer that has gone is an ordinary disconnect, anything else is worth a warning.
    if (errno == EPIPE || errno == ECONNRESET) LOG_DBG("DDE client " << c.id << " has gone");
    else LOG_WRN("DDE client " << c.id << " write failed: " << std::strerror(errno));
    doom(in, c);
    return;
  }
  bool pending = c.written < c.writing.size() || !c.out.empty();
  if (!pending) c.stallSince = -1;
  if (in.loop) in.loop->setInterest(c.fd, EVENT_READ | EVENT_CLOSE | (pending ? EVENT_WRITE : 0u));
}

void queueReply(Instance& in, Client& c, const DdeBridgeMessage& m) {
  if (c.doomed || c.closed) return;
  Pending p;
  if (!ddeBridgeEncode(m, p.bytes)) {
    LOG_WRN("DDE client " << c.id << ": answer too large, refused instead");
    DdeBridgeMessage refusal = m;
    refusal.ok = false;
    refusal.data.clear();
    refusal.dataFormat = DdeBridgeFormat();
    refusal.pairs.clear();
    p.bytes.clear();
    if (!ddeBridgeEncode(refusal, p.bytes)) return;
  }
  c.pendingBytes += p.bytes.size();
  ++c.pendingReplies;
  if (c.stallSince < 0) c.stallSince = nowMs();
  c.out[++c.nextSeq] = std::move(p);
  if (c.pendingReplies > DDE_BRIDGE_MAX_PENDING_REPLIES || c.pendingBytes > DDE_BRIDGE_MAX_PENDING_BYTES) {
    flush(in, c);
    if (c.pendingReplies > DDE_BRIDGE_MAX_PENDING_REPLIES || c.pendingBytes > DDE_BRIDGE_MAX_PENDING_BYTES) {
      LOG_WRN("DDE client " << c.id << " sends requests without reading the answers (" << c.pendingReplies
                            << " queued), disconnecting");
      doom(in, c);
      return;
    }
  }
  armWrite(in, c);
}

void queueAdvise(Instance& in, Client& c, Loop& loop, std::uint32_t conv, LoopKey key, std::string bytes) {
  if (c.doomed || c.closed) return;
  dropPending(c, loop.pendingSeq);
  Pending p;
  p.bytes = std::move(bytes);
  p.advise = true;
  p.conv = conv;
  p.loop = key;
  c.pendingBytes += p.bytes.size();
  if (c.stallSince < 0) c.stallSince = nowMs();
  loop.pendingSeq = ++c.nextSeq;
  c.pendingAdvise += p.bytes.size();
  c.out[loop.pendingSeq] = std::move(p);
  if (c.pendingBytes > DDE_BRIDGE_MAX_PENDING_BYTES) {
    LOG_WRN("DDE client " << c.id << " has " << c.pendingBytes << " bytes waiting, disconnecting");
    doom(in, c);
    return;
  }
  // Only while the socket keeps up: a client behind on reading is left to
  // the write event, so that its queued values can still be replaced.
  if (c.pendingAdvise >= ADVISE_SEND_BYTES && c.written == c.writing.size()) return flush(in, c);
  armWrite(in, c);
}

// Ends one conversation: its loops and queued advise data go, and the
// application hears XTYP_DISCONNECT once the library holds nothing of it.
void endConversation(Instance& in, std::uint32_t id, Client* c) {
  auto it = in.convs.find(id);
  if (it == in.convs.end()) return;
  Conversation conv = std::move(it->second);
  in.convs.erase(it);
  auto byTopic = in.convsByTopic.find(conv.topic);
  if (byTopic != in.convsByTopic.end()) {
    byTopic->second.erase(id);
    if (byTopic->second.empty()) in.convsByTopic.erase(byTopic);
  }
  if (c) {
    c->convs.erase(id);
    for (auto& l : conv.loops) {
      dropPending(*c, l.second.pendingSeq);
      --c->loops;
    }
  }
  for (auto& l : conv.loops) releaseString(LIBRARY_OWNER, l.second.item);
  releaseString(LIBRARY_OWNER, conv.topic);
  releaseString(LIBRARY_OWNER, conv.service);
  callBack(in, XTYP_DISCONNECT, 0, hconvOf(id), nullptr, nullptr, nullptr);
}

// Closes the socket now; the object itself lives until the outermost entry ends.
void closeClient(Instance& in, Client& c, bool farewell) {
  if (c.closed) return;
  if (farewell && !c.doomed) {
    for (std::uint32_t id : c.convs) {
      DdeBridgeMessage t;
      t.kind = DDE_BRIDGE_TERMINATED;
      t.conv = id;
      std::string bytes;
      if (!ddeBridgeEncode(t, bytes)) continue;
      Pending p;
      p.bytes = bytes;
      c.pendingBytes += bytes.size();
      ++c.pendingReplies;
      c.out[++c.nextSeq] = std::move(p);
    }
    flush(in, c);
  }
  c.closed = true;
  if (in.loop) in.loop->unwatch(c.fd);
  fdOwner.erase(c.fd);
  in.clientByFd.erase(c.fd);
  ::close(c.fd);
  auto it = in.clients.find(c.id);
  if (it != in.clients.end()) {
    closedClients.push_back(std::move(it->second));
    in.clients.erase(it);
  }
  LOG_INF("DDE client " << c.id << " disconnected");
  std::vector<std::uint32_t> ids(c.convs.begin(), c.convs.end());
  for (std::uint32_t id : ids) endConversation(in, id, &c);
  releaseString(LIBRARY_OWNER, c.service);
  c.service = nullptr;
}

void settle() {
  ++depth;
  for (bool again = true; again;) {
    again = false;
    std::vector<DWORD> ids;
    for (auto& i : instances) ids.push_back(i.first);
    for (DWORD id : ids) {
      Instance* in = findInstance(id);
      if (!in) continue;
      std::vector<std::uint64_t> doomed;
      for (auto& c : in->clients)
        if (c.second->doomed) doomed.push_back(c.first);
      for (std::uint64_t cid : doomed) {
        Client* c = findClient(*in, cid);
        if (c) closeClient(*in, *c, false);
        again = true;
      }
    }
  }
  --depth;
  closedClients.clear();
  endedInstances.clear();
}

HCONV newConversation(Instance& in, Client& c, HSZ topic, HSZ service, std::uint32_t& id) {
  Conversation conv;
  conv.id = id = nextConversation++;
  conv.client = c.id;
  conv.topic = topic;
  conv.service = service;
  takeString(LIBRARY_OWNER, topic);
  takeString(LIBRARY_OWNER, service);
  in.convs[id] = conv;
  in.convsByTopic[topic].insert(id);
  c.convs.insert(id);
  return hconvOf(id);
}

void handleConnect(Instance& in, Client& c, const DdeBridgeMessage& m) {
  DdeBridgeMessage answer;
  answer.kind = DDE_BRIDGE_CONNECTED;
  answer.xid = m.xid;
  StringEntry* ours = findString(c.service);
  bool otherService = !m.service.empty() && (!ours || upperKey(fromUtf8(m.service)) != ours->key);
  if (otherService) {
    LOG_DBG("DDE client " << c.id << " asked for service " << m.service);
  } else if (c.convs.size() >= DDE_BRIDGE_MAX_CONVERSATIONS) {
    LOG_WRN("DDE client " << c.id << " holds " << c.convs.size() << " conversations, connect refused");
  } else if (!m.service.empty() && !m.topic.empty()) {
    HSZ topic = addString(LIBRARY_OWNER, fromUtf8(m.topic));
    HDDEDATA ok = callBack(in, XTYP_CONNECT, 0, nullptr, topic, c.service, nullptr);
    if (ok && !c.closed && !c.doomed && in.alive) {
      std::uint32_t id;
      HCONV h = newConversation(in, c, topic, c.service, id);
      callBack(in, XTYP_CONNECT_CONFIRM, 0, h, topic, c.service, nullptr);
      if (findConversation(in, id)) answer.pairs.push_back(DdeBridgePair{id, utf8Of(c.service), m.topic});
    }
    releaseString(LIBRARY_OWNER, topic);
  } else {
    HSZ topic = m.topic.empty() ? nullptr : addString(LIBRARY_OWNER, fromUtf8(m.topic));
    HSZ service = m.service.empty() ? nullptr : c.service;
    HDDEDATA list = callBack(in, XTYP_WILDCONNECT, 0, nullptr, topic, service, nullptr);
    std::vector<HSZPAIR> pairs;
    auto d = list ? datas.find(dataValue(list)) : datas.end();
    if (d != datas.end()) {
      const std::vector<BYTE>& bytes = d->second.bytes;
      for (std::size_t off = 0; off + sizeof(HSZPAIR) <= bytes.size() && pairs.size() < DDE_BRIDGE_MAX_PAIRS;
           off += sizeof(HSZPAIR)) {
        HSZPAIR p;
        std::memcpy(&p, bytes.data() + off, sizeof p);
        if (!p.hszSvc && !p.hszTopic) break;
        pairs.push_back(p);
      }
      if (!d->second.appOwned) datas.erase(d);
    } else if (list) {
      LOG_WRN("DDE callback returned an unknown data handle " << static_cast<void*>(list));
    }
    for (const HSZPAIR& p : pairs) {
      if (c.closed || c.doomed || !in.alive || c.convs.size() >= DDE_BRIDGE_MAX_CONVERSATIONS) break;
      if (!findString(p.hszTopic)) {
        LOG_WRN("DDE wildcard answer names an unknown topic handle " << static_cast<void*>(p.hszTopic));
        continue;
      }
      HSZ svc = findString(p.hszSvc) ? p.hszSvc : c.service;
      std::uint32_t id;
      HCONV h = newConversation(in, c, p.hszTopic, svc, id);
      std::string svcText = utf8Of(svc), topicText = utf8Of(p.hszTopic);
      callBack(in, XTYP_CONNECT_CONFIRM, 0, h, p.hszTopic, svc, nullptr);
      if (findConversation(in, id)) answer.pairs.push_back(DdeBridgePair{id, svcText, topicText});
    }
    if (topic) releaseString(LIBRARY_OWNER, topic);
  }
  queueReply(in, c, answer);
}

void answerAck(Instance& in, Client& c, const DdeBridgeMessage& m, bool ok) {
  DdeBridgeMessage a;
  a.kind = DDE_BRIDGE_ACK;
  a.xid = m.xid;
  a.conv = m.conv;
  a.ok = ok;
  queueReply(in, c, a);
}

void answerNo(Instance& in, Client& c, const DdeBridgeMessage& m) {
  if (m.kind != DDE_BRIDGE_REQUEST) {
    answerAck(in, c, m, false);
    return;
  }
  DdeBridgeMessage a;
  a.kind = DDE_BRIDGE_DATA;
  a.xid = m.xid;
  a.conv = m.conv;
  queueReply(in, c, a);
}

bool acknowledged(HDDEDATA r) { return (reinterpret_cast<std::uintptr_t>(r) & DDE_FACK) != 0; }

// One blockable transaction on an enabled conversation.
void runTransaction(Instance& in, Client& c, const DdeBridgeMessage& m) {
  Conversation* conv = findConversation(in, m.conv);
  if (!conv) return answerNo(in, c, m);
  HCONV h = hconvOf(m.conv);
  HSZ topic = conv->topic;
  UINT fmt = 0;
  bool formatKnown = resolveFormat(m.format, fmt);

  switch (m.kind) {
    case DDE_BRIDGE_REQUEST: {
      if (!formatKnown) return answerNo(in, c, m);
      HSZ item = addString(LIBRARY_OWNER, fromUtf8(m.item));
      HDDEDATA r = callBack(in, XTYP_REQUEST, fmt, h, topic, item, nullptr);
      if (item) releaseString(LIBRARY_OWNER, item);
      DdeBridgeMessage a;
      a.kind = DDE_BRIDGE_DATA;
      a.xid = m.xid;
      a.conv = m.conv;
      UINT dataFmt = fmt;
      if (r && consumeData(r, a.data, dataFmt)) {
        a.ok = true;
        a.dataFormat = wireFormat(dataFmt);
      }
      return queueReply(in, c, a);
    }
    case DDE_BRIDGE_ADVSTART: {
      if (!formatKnown || m.item.empty()) return answerAck(in, c, m, false);
      if (c.loops >= DDE_BRIDGE_MAX_LOOPS) {
        LOG_WRN("DDE client " << c.id << " holds " << c.loops << " advise loops, advise refused");
        return answerAck(in, c, m, false);
      }
      HSZ item = addString(LIBRARY_OWNER, fromUtf8(m.item));
      bool ok = callBack(in, XTYP_ADVSTART, fmt, h, topic, item, nullptr) != nullptr;
      conv = findConversation(in, m.conv);
      if (!conv || c.closed) ok = false;
      LoopKey key(hszValue(item), fmt);
      if (ok && !conv->loops.count(key)) {
        Loop l;
        l.item = item;
        l.format = fmt;
        l.wire = m.format;
        l.clientItem = m.item;
        takeString(LIBRARY_OWNER, item);
        conv->loops[key] = l;
        ++c.loops;
      }
      releaseString(LIBRARY_OWNER, item);
      return answerAck(in, c, m, ok);
    }
    case DDE_BRIDGE_ADVSTOP: {
      HSZ item = lookupString(fromUtf8(m.item));
      auto l = formatKnown && item ? conv->loops.find(LoopKey(hszValue(item), fmt)) : conv->loops.end();
      if (l == conv->loops.end()) return answerAck(in, c, m, false);
      Loop loop = l->second;
      dropPending(c, loop.pendingSeq);
      conv->loops.erase(l);
      --c.loops;
      callBack(in, XTYP_ADVSTOP, fmt, h, topic, loop.item, nullptr);
      releaseString(LIBRARY_OWNER, loop.item);
      return answerAck(in, c, m, true);
    }
    case DDE_BRIDGE_POKE: {
      if (!formatKnown) return answerAck(in, c, m, false);
      HSZ item = addString(LIBRARY_OWNER, fromUtf8(m.item));
      HDDEDATA d = addData(in.id, reinterpret_cast<const BYTE*>(m.data.data()), m.data.size(), item, fmt, false);
      HDDEDATA r = callBack(in, XTYP_POKE, fmt, h, topic, item, d);
      datas.erase(dataValue(d));
      if (item) releaseString(LIBRARY_OWNER, item);
      return answerAck(in, c, m, acknowledged(r));
    }
    case DDE_BRIDGE_EXECUTE: {
      if (in.flags & CBF_FAIL_EXECUTES) {
        LOG_DBG("DDE execute on conversation " << m.conv << " refused");
        return answerAck(in, c, m, false);
      }
      HDDEDATA d = addData(in.id, reinterpret_cast<const BYTE*>(m.data.data()), m.data.size(), nullptr, 0, false);
      HDDEDATA r = callBack(in, XTYP_EXECUTE, 0, h, topic, nullptr, d);
      datas.erase(dataValue(d));
      return answerAck(in, c, m, acknowledged(r));
    }
    default:
      return;
  }
}

void dispatch(Instance& in, Client& c, const DdeBridgeMessage& m) {
  if (m.kind == DDE_BRIDGE_CONNECT) return handleConnect(in, c, m);
  Conversation* conv = findConversation(in, m.conv);
  if (!conv || conv->client != c.id) {
    LOG_WRN("DDE client " << c.id << " used conversation " << m.conv << ", which it does not hold");
    if (m.kind != DDE_BRIDGE_TERMINATE) answerNo(in, c, m);
    return;
  }
  if (m.kind == DDE_BRIDGE_TERMINATE) return endConversation(in, m.conv, &c);
  // A disabled conversation holds its transactions, and later ones queue
  // behind held ones so that they keep their order.
  if (!conv->enabled || !conv->waiting.empty()) {
    if (conv->waiting.size() >= DDE_BRIDGE_MAX_WAITING) {
      LOG_WRN("DDE client " << c.id << " has " << conv->waiting.size() << " transactions held on conversation "
                            << m.conv << ", disconnecting");
      doom(in, c);
      return;
    }
    conv->waiting.push_back(m);
    if (conv->enabled) scheduleWork();
    return;
  }
  runTransaction(in, c, m);
}

void readClient(Instance& in, Client& c) {
  static char buf[65536];
  for (int round = 0; round < 8 && !c.closed && !c.doomed; ++round) {
    ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n <= 0) {
      if (n < 0) LOG_WRN("DDE client " << c.id << " read failed: " << std::strerror(errno));
      doom(in, c);
      break;
    }
    c.reader.append(buf, static_cast<std::size_t>(n));
    DdeBridgeMessage m;
    while (!c.closed && !c.doomed) {
      int r = c.reader.next(m);
      if (r == 0) break;
      if (r < 0 || !ddeBridgeFromClient(m.kind)) {
        LOG_WRN("DDE client " << c.id << " sent a malformed message ("
                              << (r < 0 ? c.reader.error() : "kind " + std::to_string(m.kind)) << "), disconnecting");
        doom(in, c);
        break;
      }
      dispatch(in, c, m);
    }
    if (static_cast<std::size_t>(n) < sizeof buf) break;
  }
  if (!c.closed && !c.doomed) flush(in, c);
}

void acceptClients(Instance& in, Listener& l) {
  for (int i = 0; i < 64; ++i) {
    int fd = ::accept(l.fd, nullptr, nullptr);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) LOG_WRN("DDE accept failed: " << std::strerror(errno));
      return;
    }
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
#ifdef SO_PEERCRED
    struct ucred cred {};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.uid != ::geteuid()) {
      LOG_WRN("DDE connection from user " << cred.uid << " refused");
      ::close(fd);
      continue;
    }
#endif
    if (in.clients.size() >= DDE_BRIDGE_MAX_CLIENTS) {
      LOG_WRN("DDE service " << l.name << " has " << in.clients.size() << " clients, connection refused");
      ::close(fd);
      continue;
    }
    int size = DDE_BRIDGE_SOCKET_BUFFER;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    std::unique_ptr<Client> c(new Client);
    c->id = ++nextClient;
    c->fd = fd;
    c->listenFd = l.fd;
    c->service = l.service;
    takeString(LIBRARY_OWNER, l.service);
    fdOwner[fd] = in.id;
    in.clientByFd[fd] = c->id;
    LOG_INF("DDE client " << c->id << " connected to " << l.name);
    in.clients[c->id] = std::move(c);
    in.loop->watch(fd, &server, EVENT_READ | EVENT_CLOSE);
  }
}

void Server::handleSocketEvent(int fd, unsigned events) {
  Entry entry;
  auto owner = fdOwner.find(fd);
  Instance* in = owner == fdOwner.end() ? nullptr : findInstance(owner->second);
  if (!in) return;
  auto l = in->listeners.find(fd);
  if (l != in->listeners.end()) return acceptClients(*in, l->second);
  auto id = in->clientByFd.find(fd);
  Client* c = id == in->clientByFd.end() ? nullptr : findClient(*in, id->second);
  if (!c) return;
  if (events == EVENT_CLOSE) return doom(*in, *c);
  if (events == EVENT_READ) readClient(*in, *c);
  if (events == EVENT_WRITE) flush(*in, *c);
}

// Held transactions of re-enabled conversations, then stalled clients.
void housekeeping(bool stalls) {
  Entry entry;
  workPending = false;
  std::vector<DWORD> ids;
  for (auto& i : instances) ids.push_back(i.first);
  for (DWORD iid : ids) {
    Instance* in = findInstance(iid);
    if (!in) continue;
    std::vector<std::uint32_t> ready;
    for (auto& cv : in->convs)
      if (cv.second.enabled && !cv.second.waiting.empty()) ready.push_back(cv.first);
    std::sort(ready.begin(), ready.end());  // oldest conversation first, as they were made
    for (std::uint32_t id : ready) {
      for (;;) {
        Conversation* conv = findConversation(*in, id);
        if (!conv || !conv->enabled || conv->waiting.empty()) break;
        Client* c = findClient(*in, conv->client);
        if (!c || c->doomed || c->closed) break;
        DdeBridgeMessage m = conv->waiting.front();
        conv->waiting.pop_front();
        runTransaction(*in, *c, m);
      }
    }
    if (!stalls) continue;
    std::int64_t now = nowMs();
    for (auto& cl : in->clients) {
      Client& c = *cl.second;
      if (c.doomed || c.stallSince < 0 || now - c.stallSince < stallLimitMs) continue;
      LOG_WRN("DDE client " << c.id << " has read nothing for " << (now - c.stallSince) << " ms with "
                            << c.pendingBytes << " bytes waiting, disconnecting");
      doom(*in, c);
    }
  }
}

void runHeldTransactions() { housekeeping(false); }

void Server::handleTimer(int) {
  housekeeping(true);
  updateTimers();
}

bool registerService(Instance& in, HSZ service) {
  StringEntry* e = findString(service);
  if (!e) {
    LOG_ERR("DDE service handle " << static_cast<void*>(service) << " is not valid");
    return false;
  }
  std::string name = toUtf8(e->text);
  for (auto& l : in.listeners)
    if (findString(l.second.service) == e) return true;
  EventLoop* loop = EventLoop::current();
  bool busyElsewhere = in.loop && in.loop != loop && (!in.listeners.empty() || !in.clients.empty());
  if (!loop || busyElsewhere) {
    LOG_ERR("DDE service " << name << " not started: no event loop to serve it on");
    return false;
  }
  std::string dir = ddeBridgeDirectory(), path, error;
  if (!ddeBridgeCheckDirectory(dir, true, error) || !ddeBridgeSocketPath(dir, name, path, error)) {
    LOG_ERR("DDE service " << name << " not started: " << error);
    return false;
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) {
    LOG_ERR("DDE service " << name << " not started: " << std::strerror(errno));
    return false;
  }
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
  const sockaddr* addr = reinterpret_cast<const sockaddr*>(&sa);
  int rc = ::bind(fd, addr, sizeof sa);
  if (rc != 0 && errno == EADDRINUSE) {
    // A socket file is there: a live server keeps it, a dead one's is replaced.
    int probe = ::socket(AF_UNIX, SOCK_STREAM, 0);
    bool live = probe >= 0 && ::connect(probe, addr, sizeof sa) == 0;
    if (probe >= 0) ::close(probe);
    if (live) {
      LOG_ERR("DDE service " << name << " not started: " << path << " is served by another process");
      ::close(fd);
      return false;
    }
    ::unlink(path.c_str());
    rc = ::bind(fd, addr, sizeof sa);
  }
  if (rc != 0 || ::listen(fd, 128) != 0) {
    LOG_ERR("DDE service " << name << " not started: " << path << ": " << std::strerror(errno));
    ::close(fd);
    return false;
  }
  ::chmod(path.c_str(), 0600);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
  struct stat st {};
  ::stat(path.c_str(), &st);
  Listener l;
  l.service = service;
  takeString(LIBRARY_OWNER, service);
  l.name = name;
  l.path = path;
  l.fd = fd;
  l.dev = st.st_dev;
  l.ino = st.st_ino;
  in.listeners[fd] = l;
  in.loop = loop;
  fdOwner[fd] = in.id;
  loop->watch(fd, &server, EVENT_READ);
  updateTimers();
  LOG_INF("DDE service " << name << " listening on " << path);
  return true;
}

// Stops one service (or all, for a null handle) and ends its clients.
bool unregisterService(Instance& in, HSZ service) {
  StringEntry* e = service ? findString(service) : nullptr;
  if (service && !e) return false;
  std::vector<int> fds;
  for (auto& l : in.listeners)
    if (!service || findString(l.second.service) == e) fds.push_back(l.first);
  for (int fd : fds) {
    Listener l = in.listeners[fd];
    in.listeners.erase(fd);
    if (in.loop) in.loop->unwatch(fd);
    fdOwner.erase(fd);
    ::close(fd);
    struct stat st {};
    if (::lstat(l.path.c_str(), &st) == 0 && st.st_dev == l.dev && st.st_ino == l.ino) ::unlink(l.path.c_str());
    LOG_INF("DDE service " << l.name << " stopped");
    std::vector<std::uint64_t> ids;
    for (auto& c : in.clients)
      if (c.second->listenFd == fd) ids.push_back(c.first);
    for (std::uint64_t id : ids) {
      Client* c = findClient(in, id);
      if (c) closeClient(in, *c, true);
    }
    releaseString(LIBRARY_OWNER, l.service);
  }
  updateTimers();
  return !fds.empty();
}

}  // namespace

// ---- Instances

UINT DdeInitializeW(DWORD* pidInst, PFNCALLBACK pfnCallback, DWORD afCmd, DWORD) {
  if (!pidInst || !pfnCallback) return DMLERR_INVALIDPARAMETER;
  if (*pidInst != 0) {
    Instance* in = findInstance(*pidInst);
    if (!in) return DMLERR_INVALIDPARAMETER;
    in->callback = pfnCallback;
    in->flags = afCmd;
    return DMLERR_NO_ERROR;
  }
  std::unique_ptr<Instance> in(new Instance);
  in->id = nextInstance++;
  in->callback = pfnCallback;
  in->flags = afCmd;
  *pidInst = in->id;
  instances[in->id] = std::move(in);
  return DMLERR_NO_ERROR;
}

BOOL DdeUninitialize(DWORD idInst) {
  Entry entry;
  Instance* in = findInstance(idInst);
  if (!in) return FALSE;
  unregisterService(*in, nullptr);
  std::vector<std::uint64_t> ids;
  for (auto& c : in->clients) ids.push_back(c.first);
  for (std::uint64_t id : ids) {
    Client* c = findClient(*in, id);
    if (c) closeClient(*in, *c, true);
  }
  in->alive = false;
  for (auto it = strings.begin(); it != strings.end();) {
    auto o = it->second.owners.find(idInst);
    if (o != it->second.owners.end()) {
      it->second.refs -= o->second;
      it->second.owners.erase(o);
    }
    if (it->second.refs <= 0) {
      stringsByKey.erase(it->second.key);
      it = strings.erase(it);
    } else {
      ++it;
    }
  }
  for (auto it = datas.begin(); it != datas.end();) it = it->second.owner == idInst ? datas.erase(it) : std::next(it);
  auto it = instances.find(idInst);
  endedInstances.push_back(std::move(it->second));
  instances.erase(it);
  if (in->loop) {
    bool others = false;
    for (auto& i : instances) others = others || (i.second->loop == in->loop && !i.second->listeners.empty());
    if (!others) stopTimer(in->loop);
  }
  if (instances.empty()) workPending = false;  // what was posted went with its loop, if that has gone
  return TRUE;
}

HDDEDATA DdeNameService(DWORD idInst, HSZ hsz1, HSZ, UINT afCmd) {
  Entry entry;
  Instance* in = findInstance(idInst);
  if (!in) return nullptr;
  bool ok = true;
  if (afCmd & DNS_REGISTER) {
    ok = registerService(*in, hsz1);
  } else if (afCmd & DNS_UNREGISTER) {
    ok = unregisterService(*in, hsz1) || !hsz1;
  }
  if (!ok) in->lastError = DMLERR_SYS_ERROR;
  return ok ? reinterpret_cast<HDDEDATA>(static_cast<std::uintptr_t>(1)) : nullptr;
}

UINT DdeGetLastError(DWORD idInst) {
  Instance* in = findInstance(idInst);
  if (!in) return DMLERR_INVALIDPARAMETER;
  UINT e = in->lastError;
  in->lastError = DMLERR_NO_ERROR;
  return e;
}

// ---- String handles

HSZ DdeCreateStringHandleA(DWORD idInst, const char* psz, int) {
  if (!findInstance(idInst) || !psz) return nullptr;
  return addString(idInst, fromAnsi(psz));
}

HSZ DdeCreateStringHandleW(DWORD idInst, const WCHAR* psz, int) {
  if (!findInstance(idInst) || !psz) return nullptr;
  return addString(idInst, std::wstring(psz));
}

DWORD DdeQueryStringA(DWORD idInst, HSZ hsz, char* psz, DWORD cchMax, int) {
  StringEntry* e = findInstance(idInst) ? findString(hsz) : nullptr;
  if (!e) {
    if (psz && cchMax) psz[0] = '\0';
    return 0;
  }
  std::string text = toAnsi(e->text);
  if (!psz) return static_cast<DWORD>(text.size());
  if (cchMax == 0) return 0;
  std::size_t n = std::min<std::size_t>(text.size(), cchMax - 1);
  std::memcpy(psz, text.data(), n);
  psz[n] = '\0';
  return static_cast<DWORD>(n);
}

DWORD DdeQueryStringW(DWORD idInst, HSZ hsz, WCHAR* psz, DWORD cchMax, int) {
  StringEntry* e = findInstance(idInst) ? findString(hsz) : nullptr;
  if (!e) {
    if (psz && cchMax) psz[0] = L'\0';
    return 0;
  }
  if (!psz) return static_cast<DWORD>(e->text.size());
  if (cchMax == 0) return 0;
  std::size_t n = std::min<std::size_t>(e->text.size(), cchMax - 1);
  std::copy(e->text.begin(), e->text.begin() + static_cast<std::ptrdiff_t>(n), psz);
  psz[n] = L'\0';
  return static_cast<DWORD>(n);
}

int DdeCmpStringHandles(HSZ hsz1, HSZ hsz2) {
  if (hsz1 == hsz2) return 0;
  StringEntry* a = findString(hsz1);
  StringEntry* b = findString(hsz2);
  if (a && b) return a->key < b->key ? -1 : 1;
  return hszValue(hsz1) < hszValue(hsz2) ? -1 : 1;
}

BOOL DdeFreeStringHandle(DWORD idInst, HSZ hsz) {
  if (!findInstance(idInst)) return FALSE;
  return releaseString(idInst, hsz) ? TRUE : FALSE;
}

BOOL DdeKeepStringHandle(DWORD idInst, HSZ hsz) {
  if (!findInstance(idInst) || !findString(hsz)) return FALSE;
  takeString(idInst, hsz);
  return TRUE;
}

// ---- Data handles

HDDEDATA DdeCreateDataHandle(DWORD idInst, const BYTE* pSrc, DWORD cb, DWORD cbOff, HSZ hszItem, UINT wFmt,
                             UINT afCmd) {
  if (!findInstance(idInst)) return nullptr;
  if (cb > MAX_DATA_HANDLE) {
    LOG_WRN("DDE data handle of " << cb << " bytes refused");
    return nullptr;
  }
  return addData(idInst, pSrc ? pSrc + cbOff : nullptr, cb, hszItem, wFmt, (afCmd & HDATA_APPOWNED) != 0);
}

BYTE* DdeAccessData(HDDEDATA hData, DWORD* pcbDataSize) {
  auto it = datas.find(dataValue(hData));
  if (it == datas.end()) return nullptr;
  std::vector<BYTE>& bytes = it->second.bytes;
  if (pcbDataSize) *pcbDataSize = static_cast<DWORD>(bytes.size());
  if (bytes.capacity() == 0) bytes.reserve(1);
  return bytes.data();
}

BOOL DdeUnaccessData(HDDEDATA hData) { return datas.count(dataValue(hData)) ? TRUE : FALSE; }

DWORD DdeGetData(HDDEDATA hData, BYTE* pDst, DWORD cbMax, DWORD cbOff) {
  auto it = datas.find(dataValue(hData));
  if (it == datas.end()) return 0;
  const std::vector<BYTE>& bytes = it->second.bytes;
  if (!pDst) return static_cast<DWORD>(bytes.size());
  if (cbOff >= bytes.size()) return 0;
  std::size_t n = std::min<std::size_t>(cbMax, bytes.size() - cbOff);
  std::memcpy(pDst, bytes.data() + cbOff, n);
  return static_cast<DWORD>(n);
}

BOOL DdeFreeDataHandle(HDDEDATA hData) { return datas.erase(dataValue(hData)) ? TRUE : FALSE; }

// ---- Advise loops and callbacks

BOOL DdePostAdvise(DWORD idInst, HSZ hszTopic, HSZ hszItem) {
  Entry entry;
  Instance* in = findInstance(idInst);
  if (!in || !hszTopic) return FALSE;
  struct Target {
    std::uint32_t conv;
    LoopKey key;
  };
  std::vector<Target> targets;
  auto byTopic = in->convsByTopic.find(hszTopic);
  if (byTopic == in->convsByTopic.end()) return TRUE;
  for (std::uint32_t id : byTopic->second) {
    Conversation* cv = findConversation(*in, id);
    if (!cv) continue;
    Client* c = findClient(*in, cv->client);
    if (!c || c->doomed) continue;
    for (auto& l : cv->loops)
      if (!hszItem || l.second.item == hszItem) targets.push_back(Target{id, l.first});
  }
  for (std::size_t i = 0; i < targets.size(); ++i) {
    // The callback learns how many more requests for the same item and format follow.
    ULONG_PTR remaining = 0;
    for (std::size_t k = i + 1; k < targets.size(); ++k) remaining += targets[k].key == targets[i].key ? 1 : 0;
    Conversation* conv = findConversation(*in, targets[i].conv);
    auto l = conv ? conv->loops.find(targets[i].key) : std::map<LoopKey, Loop>::iterator();
    if (!conv || l == conv->loops.end()) continue;
    HDDEDATA r = callBack(*in, XTYP_ADVREQ, l->second.format, hconvOf(targets[i].conv), hszTopic, l->second.item,
                          nullptr, remaining & 0xFFFF);
    std::string bytes;
    UINT fmt = targets[i].key.second;
    if (!r || !consumeData(r, bytes, fmt)) continue;
    // The callback may have ended the loop, its conversation or its client.
    conv = findConversation(*in, targets[i].conv);
    l = conv ? conv->loops.find(targets[i].key) : std::map<LoopKey, Loop>::iterator();
    if (!conv || l == conv->loops.end()) continue;
    Client* c = findClient(*in, conv->client);
    if (!c || c->doomed || c->closed) continue;
    Loop& live = l->second;
    DdeBridgeMessage m;
    m.kind = DDE_BRIDGE_ADVISE;
    m.conv = targets[i].conv;
    m.item = live.clientItem;
    m.format = live.wire;
    m.dataFormat = wireFormat(fmt);
    m.data = std::move(bytes);
    std::string wire;
    if (!ddeBridgeEncode(m, wire)) {
      LOG_WRN("DDE advise data for " << live.clientItem << " too large (" << m.data.size() << " bytes), dropped");
      continue;
    }
    queueAdvise(*in, *c, live, targets[i].conv, targets[i].key, std::move(wire));
  }
  return TRUE;
}

BOOL DdeEnableCallback(DWORD idInst, HCONV hConv, UINT wCmd) {
  Instance* in = findInstance(idInst);
  if (!in) return FALSE;
  std::vector<Conversation*> convs;
  if (hConv) {
    Conversation* conv = findConversation(*in, static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(hConv)));
    if (!conv) return FALSE;
    convs.push_back(conv);
  } else {
    for (auto& cv : in->convs) convs.push_back(&cv.second);
  }
  bool waiting = false;
  for (Conversation* conv : convs) waiting = waiting || !conv->waiting.empty();
  switch (wCmd) {
    case EC_ENABLEALL:
      for (Conversation* conv : convs) conv->enabled = true;
      if (waiting) scheduleWork();
      return TRUE;
    case EC_DISABLE:
      for (Conversation* conv : convs) conv->enabled = false;
      return TRUE;
    case EC_QUERYWAITING:
      return waiting ? TRUE : FALSE;
    default:
      LOG_DBG("DdeEnableCallback command " << wCmd << " not supported");
      return FALSE;
  }
}

UINT RegisterClipboardFormatA(const char* lpszFormat) {
  if (!lpszFormat || !*lpszFormat) return 0;
  std::wstring name = fromAnsi(lpszFormat);
  std::wstring key = upperKey(name);
  auto it = formatsByKey.find(key);
  if (it != formatsByKey.end()) return it->second;
  if (nextFormat > 0xFFFF) return 0;
  UINT f = nextFormat++;
  formatsByKey[key] = f;
  formatNames[f] = toUtf8(name);
  return f;
}

// ---- Test knobs

void ddeBridgeSetStallLimitMs(int ms) {
  stallLimitMs = ms > 0 ? ms : DDE_BRIDGE_STALL_LIMIT_MS;
  updateTimers();
}

int ddeBridgeStallLimitMs() { return stallLimitMs; }

std::size_t ddeBridgePendingBytes(DWORD idInst) {
  Instance* in = findInstance(idInst);
  std::size_t n = 0;
  if (in)
    for (auto& c : in->clients) n += c.second->pendingBytes;
  return n;
}

std::size_t ddeBridgeClientCount(DWORD idInst) {
  Instance* in = findInstance(idInst);
  return in ? in->clients.size() : 0;
}
