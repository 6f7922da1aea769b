#include "platform/posix/localdde/DdeServer.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/posix/localdde/DdeBridgeLimits.h"
#include "support/Log.h"

namespace localdde {

namespace {

const std::size_t WRITE_BATCH = 16 * 1024;
// Advise data queued while the application works through a burst goes out
// once this much has gathered, rather than after the whole burst: a burst
// of feed updates would otherwise hold back its first values until its last.
// Below that, what a turn queued goes out in one write at the turn's end
// (the write event): each write also wakes the client, so at 100,000
// messages a second writes of 2 KB cost TavroDDE more than its own work.
const std::size_t ADVISE_SEND_BYTES = 8192;

void settle();
int timerPeriodMs() { return std::max(5, std::min(1000, std::min(lib.stallLimitMs, lib.partialLimitMs) / 4)); }
void runHeldTransactions();

}  // namespace

Library lib;

Library::Library() : stallLimitMs(DDE_BRIDGE_STALL_LIMIT_MS), partialLimitMs(DDE_BRIDGE_PARTIAL_LIMIT_MS) {}

Entry::Entry() { ++lib.depth; }

Entry::~Entry() {
  if (--lib.depth == 0) settle();
}

std::int64_t nowMs(Instance& in) { return in.loop ? in.loop->now() : 0; }

Instance* findInstance(DWORD id) {
  auto it = lib.instances.find(id);
  return it == lib.instances.end() ? nullptr : it->second.get();
}

Client* findClient(Instance& in, std::uint64_t id) {
  auto it = in.clients.find(id);
  return it == in.clients.end() ? nullptr : it->second.get();
}

Conv* findConv(Instance& in, std::uint32_t id) {
  auto it = in.convs.find(id);
  return it == in.convs.end() ? nullptr : &it->second;
}

HCONV hconvOf(std::uint32_t id) { return reinterpret_cast<HCONV>(static_cast<std::uintptr_t>(id)); }

HDDEDATA callBack(Instance& in, UINT type, UINT fmt, HCONV conv, HSZ hsz1, HSZ hsz2, HDDEDATA data,
                  ULONG_PTR d1, ULONG_PTR d2) {
  if (!in.alive || !in.callback) return nullptr;
  ++lib.depth;
  HDDEDATA r = in.callback(type, fmt, conv, hsz1, hsz2, data, d1, d2);
  --lib.depth;
  return r;
}

void stopTimer(EventLoop* loop) {
  auto t = lib.timerIds.find(loop);
  if (t == lib.timerIds.end()) return;
  loop->releaseTimerId(t->second);
  lib.timerIds.erase(t);
}

void updateTimers() {
  std::set<EventLoop*> serving, idle;
  for (auto& i : lib.instances) {
    if (!i.second->loop) continue;
    (i.second->listeners.empty() ? idle : serving).insert(i.second->loop);
  }
  for (EventLoop* loop : serving) {
    auto t = lib.timerIds.find(loop);
    int id = t != lib.timerIds.end() ? t->second : (lib.timerIds[loop] = loop->allocateTimerId());
    loop->setTimer(id, timerPeriodMs(), &lib);
  }
  for (EventLoop* loop : idle)
    if (!serving.count(loop)) stopTimer(loop);
}

void scheduleWork() {
  if (lib.workPending) return;
  std::set<EventLoop*> loops;
  for (auto& i : lib.instances)
    if (i.second->loop) loops.insert(i.second->loop);
  for (EventLoop* loop : loops) loop->post(runHeldTransactions);
  lib.workPending = !loops.empty();
}

void doom(Instance& in, Client& c) {
  if (c.doomed || c.closed) return;
  c.doomed = true;
  lib.anyDoomed = true;
  if (in.loop) in.loop->setInterest(c.fd, 0);
}

namespace {

void armWrite(Instance& in, Client& c) {
  if (c.doomed || c.closed || !in.loop) return;
  in.loop->setInterest(c.fd, EVENT_READ | EVENT_CLOSE | EVENT_WRITE);
}

}  // namespace

namespace {
Pending* findPending(Client& c, std::uint64_t seq) {
  if (!seq) return nullptr;
  auto it = std::lower_bound(c.out.begin(), c.out.end(), seq,
                             [](const Pending& p, std::uint64_t s) { return p.seq < s; });
  return it == c.out.end() || it->seq != seq || it->dropped ? nullptr : &*it;
}
}  // namespace

void dropPending(Client& c, std::uint64_t seq) {
  Pending* it = findPending(c, seq);
  if (!it) return;
  c.pendingBytes -= it->bytes.size();
  if (!it->advise) --c.pendingReplies;
  if (it->advise && it->bytes.capacity() <= 256 && lib.spareBytes.size() < 1024)
    lib.spareBytes.push_back(std::move(it->bytes));
  std::string().swap(it->bytes);
  it->loop = nullptr;
  it->dropped = true;
  // A client that reads nothing while its values are replaced would
  // otherwise collect marks without end.
  if (++c.dropped > 64 && c.dropped > c.out.size() / 2) {
    c.out.erase(std::remove_if(c.out.begin(), c.out.end(), [](const Pending& p) { return p.dropped; }), c.out.end());
    c.dropped = 0;
  }
}

AdviseLoop* Conv::findLoop(LoopKey key) {
  auto l = std::lower_bound(loops.begin(), loops.end(), key,
                            [](const AdviseLoop& a, const LoopKey& k) { return a.key() < k; });
  return l != loops.end() && l->key() == key ? &*l : nullptr;
}

void relinkLoops(Client& c, Conv& conv) {
  for (AdviseLoop& l : conv.loops)
    if (Pending* p = findPending(c, l.pendingSeq)) p->loop = &l;
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
      Pending& p = c.out.front();
      if (p.dropped) {
        --c.dropped;
      } else {
        if (!p.advise) --c.pendingReplies;
        else if (p.loop && p.loop->pendingSeq == p.seq) p.loop->pendingSeq = 0;
        c.writing += p.bytes;
        if (p.advise && p.bytes.capacity() <= 256 && lib.spareBytes.size() < 1024)
          lib.spareBytes.push_back(std::move(p.bytes));
      }
      c.out.pop_front();
    }
    if (c.written == c.writing.size()) break;
    ssize_t n = ::send(c.fd, c.writing.data() + c.written, c.writing.size() - c.written, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      c.written += static_cast<std::size_t>(n);
      c.pendingBytes -= static_cast<std::size_t>(n);
      c.stallSince = nowMs(in);
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
  if (c.stallSince < 0) c.stallSince = nowMs(in);
  p.seq = ++c.nextSeq;
  c.out.push_back(std::move(p));
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

void queueAdvise(Instance& in, Client& c, AdviseLoop& loop, std::string& bytes) {
  if (c.doomed || c.closed) return;
  dropPending(c, loop.pendingSeq);
  Pending p;
  p.bytes.swap(bytes);
  if (!lib.spareBytes.empty()) {
    bytes.swap(lib.spareBytes.back());
    lib.spareBytes.pop_back();
  }
  p.advise = true;
  p.loop = &loop;
  p.seq = loop.pendingSeq = ++c.nextSeq;
  c.pendingBytes += p.bytes.size();
  c.pendingAdvise += p.bytes.size();
  if (c.stallSince < 0) c.stallSince = nowMs(in);
  c.out.push_back(std::move(p));
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

void endConversation(Instance& in, std::uint32_t id, Client* c) {
  auto it = in.convs.find(id);
  if (it == in.convs.end()) return;
  ++lib.changes;
  Conv conv = std::move(it->second);
  in.convs.erase(it);
  auto byTopic = in.convsByTopic.find(conv.topic);
  if (byTopic != in.convsByTopic.end()) {
    TopicConvs& t = byTopic->second;
    if (++t.ended == t.ids.size()) {
      in.convsByTopic.erase(byTopic);
    } else if (t.ended > t.ids.size() / 2) {
      t.ids.erase(std::remove_if(t.ids.begin(), t.ids.end(), [&in](std::uint32_t i) { return !in.convs.count(i); }),
                  t.ids.end());
      t.ended = 0;
    }
  }
  if (c) {
    // A closing client has handed its list over already.
    auto mine = std::lower_bound(c->convs.begin(), c->convs.end(), id);
    if (mine != c->convs.end() && *mine == id) c->convs.erase(mine);
    for (AdviseLoop& l : conv.loops) {
      dropPending(*c, l.pendingSeq);
      --c->loops;
    }
  }
  for (AdviseLoop& l : conv.loops) lib.strings.release(LIBRARY_OWNER, l.item);
  lib.strings.release(LIBRARY_OWNER, conv.topic);
  lib.strings.release(LIBRARY_OWNER, conv.service);
  callBack(in, XTYP_DISCONNECT, 0, hconvOf(id), nullptr, nullptr, nullptr);
}

void closeClient(Instance& in, Client& c, bool farewell) {
  if (c.closed) return;
  ++lib.changes;
  if (farewell && !c.doomed) {
    for (std::uint32_t id : c.convs) {
      DdeBridgeMessage t;
      t.kind = DDE_BRIDGE_TERMINATED;
      t.conv = id;
      std::string bytes;
      if (!ddeBridgeEncode(t, bytes)) continue;
      Pending p;
      p.bytes = bytes;
      p.seq = ++c.nextSeq;
      c.pendingBytes += bytes.size();
      ++c.pendingReplies;
      c.out.push_back(std::move(p));
    }
    flush(in, c);
  }
  c.closed = true;
  if (in.loop) in.loop->unwatch(c.fd);
  lib.fdOwner.erase(c.fd);
  in.clientByFd.erase(c.fd);
  ::close(c.fd);
  auto it = in.clients.find(c.id);
  if (it != in.clients.end()) {
    lib.closedClients.push_back(std::move(it->second));
    in.clients.erase(it);
  }
  LOG_INF("DDE client " << c.id << " disconnected");
  std::vector<std::uint32_t> ids;
  ids.swap(c.convs);
  for (std::uint32_t id : ids) endConversation(in, id, &c);
  lib.strings.release(LIBRARY_OWNER, c.service);
  c.service = nullptr;
}

namespace {

void settle() {
  if (!lib.anyDoomed && lib.closedClients.empty() && lib.endedInstances.empty()) return;
  ++lib.depth;
  for (bool again = true; again;) {
    again = false;
    lib.anyDoomed = false;
    std::vector<DWORD> ids;
    for (auto& i : lib.instances) ids.push_back(i.first);
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
  --lib.depth;
  lib.closedClients.clear();
  lib.endedInstances.clear();
}


// Handles the complete messages `c` has sent, `budget` at most; false when
// the client must go.
bool handleMessages(Instance& in, Client& c, std::size_t& budget) {
  DdeBridgeMessage m;
  while (budget > 0 && !c.closed && !c.doomed) {
    int r = c.reader.next(m);
    if (r == 0) return true;
    if (r < 0 || !ddeBridgeFromClient(m.kind)) {
      LOG_WRN("DDE client " << c.id << " sent a malformed message ("
                            << (r < 0 ? c.reader.error() : "kind " + std::to_string(m.kind)) << "), disconnecting");
      doom(in, c);
      return false;
    }
    dispatch(in, c, m);
    --budget;
  }
  return !c.closed && !c.doomed;
}

// One client's share of a loop turn: what it sent beyond that waits in the
// reader or the socket for the next turn, so that however much it sends, the
// loop soon serves the feed and every other client.
void readClient(Instance& in, Client& c) {
  static char buf[65536];
  bool arrived = false;
  std::size_t budget = DDE_BRIDGE_MESSAGES_PER_TURN;
  bool ok = handleMessages(in, c, budget);  // left over from the last turn
  for (int round = 0; ok && budget > 0 && round < 8; ++round) {
    ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n <= 0) {
      if (n < 0) LOG_WRN("DDE client " << c.id << " read failed: " << std::strerror(errno));
      doom(in, c);
      break;
    }
    c.reader.append(buf, static_cast<std::size_t>(n));
    arrived = true;
    ok = handleMessages(in, c, budget);
    if (static_cast<std::size_t>(n) < sizeof buf) break;
  }
  if (budget == 0 && !c.closed && !c.doomed && in.loop) in.loop->readAgain(c.fd);
  // The limit is on silence, not on length: a slow sender keeps its place,
  // and so does one whose messages wait for their turn here.
  if (c.reader.buffered() == 0) c.quietSince = -1;
  else if (arrived || budget == 0) c.quietSince = nowMs(in);
  if (!c.closed && !c.doomed) flush(in, c);
}

}  // namespace

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
    c->id = ++lib.nextClient;
    c->fd = fd;
    c->listenFd = l.fd;
    c->service = l.service;
    lib.strings.take(LIBRARY_OWNER, l.service);
    lib.fdOwner[fd] = in.id;
    in.clientByFd[fd] = c->id;
    LOG_INF("DDE client " << c->id << " connected to " << l.name);
    in.clients[c->id] = std::move(c);
    in.loop->watch(fd, &lib, EVENT_READ | EVENT_CLOSE);
  }
}

void Library::handleSocketEvent(int fd, unsigned events) {
  Entry entry;
  auto owner = lib.fdOwner.find(fd);
  Instance* in = owner == lib.fdOwner.end() ? nullptr : findInstance(owner->second);
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

namespace {

// Held transactions of re-enabled conversations, then stalled clients.
void housekeeping(bool stalls) {
  Entry entry;
  lib.workPending = false;
  std::vector<DWORD> ids;
  for (auto& i : lib.instances) ids.push_back(i.first);
  for (DWORD iid : ids) {
    Instance* in = findInstance(iid);
    if (!in) continue;
    std::vector<std::uint32_t> ready;
    for (auto& cv : in->convs)
      if (cv.second.enabled && !cv.second.waiting.empty()) ready.push_back(cv.first);
    std::sort(ready.begin(), ready.end());  // oldest conversation first, as they were made
    for (std::uint32_t id : ready) {
      for (;;) {
        Conv* conv = findConv(*in, id);
        if (!conv || !conv->enabled || conv->waiting.empty()) break;
        Client* c = findClient(*in, conv->client);
        if (!c || c->doomed || c->closed) break;
        DdeBridgeMessage m = conv->waiting.front();
        conv->waiting.pop_front();
        runTransaction(*in, *c, m);
      }
    }
    if (!stalls) continue;
    std::int64_t now = nowMs(*in);
    for (auto& cl : in->clients) {
      Client& c = *cl.second;
      if (c.doomed || c.stallSince < 0 || now - c.stallSince < lib.stallLimitMs) continue;
      LOG_WRN("DDE client " << c.id << " has read nothing for " << (now - c.stallSince) << " ms with "
                            << c.pendingBytes << " bytes waiting, disconnecting");
      doom(*in, c);
    }
    std::vector<std::uint64_t> quiet;
    for (auto& cl : in->clients) {
      Client& c = *cl.second;
      if (c.doomed || c.quietSince < 0 || now - c.quietSince < lib.partialLimitMs) continue;
      LOG_WRN("DDE client " << c.id << " has sent nothing for " << (now - c.quietSince)
                            << " ms in the middle of a message, ending its conversations");
      quiet.push_back(c.id);
    }
    // It still reads, so it is told which conversations end.
    for (std::uint64_t id : quiet)
      if (Client* c = findClient(*in, id)) closeClient(*in, *c, true);
  }
}

void runHeldTransactions() { housekeeping(false); }

}  // namespace

void Library::handleTimer(int) {
  housekeeping(true);
  updateTimers();
}

void retireInstance(DWORD id) {
  auto it = lib.instances.find(id);
  if (it == lib.instances.end()) return;
  std::unique_ptr<Instance> in = std::move(it->second);
  lib.instances.erase(it);
  in->alive = false;
  lib.strings.releaseOwner(id);
  lib.datas.eraseOwner(id);
  if (in->loop) {
    bool others = false;
    for (auto& i : lib.instances) others = others || (i.second->loop == in->loop && !i.second->listeners.empty());
    if (!others) stopTimer(in->loop);
  }
  if (lib.instances.empty()) lib.workPending = false;  // what was posted went with its loop, if that has gone
  lib.endedInstances.push_back(std::move(in));
}

}  // namespace localdde
