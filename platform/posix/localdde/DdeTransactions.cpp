#include <cstring>
#include <algorithm>
#include <vector>

#include "platform/posix/localdde/DdeBridgeLimits.h"
#include "platform/posix/localdde/DdeServer.h"
#include "support/Log.h"

namespace localdde {

namespace {

HCONV newConversation(Instance& in, Client& c, HSZ topic, HSZ service, std::uint32_t& id) {
  Conv conv;
  conv.id = id = lib.nextConversation++;
  conv.client = c.id;
  conv.topic = topic;
  conv.service = service;
  lib.strings.take(LIBRARY_OWNER, topic);
  lib.strings.take(LIBRARY_OWNER, service);
  in.convs[id] = conv;
  in.convsByTopic[topic].ids.push_back(id);  // ids only grow: the list stays oldest first
  c.convs.push_back(id);
  return hconvOf(id);
}

void handleConnect(Instance& in, Client& c, const DdeBridgeMessage& m) {
  DdeBridgeMessage answer;
  answer.kind = DDE_BRIDGE_CONNECTED;
  answer.xid = m.xid;
  StringEntry* ours = lib.strings.find(c.service);
  bool otherService = !m.service.empty() && (!ours || upperKey(fromUtf8(m.service)) != ours->key);
  if (otherService) {
    LOG_DBG("DDE client " << c.id << " asked for service " << m.service);
  } else if (c.convs.size() >= DDE_BRIDGE_MAX_CONVERSATIONS) {
    LOG_WRN("DDE client " << c.id << " holds " << c.convs.size() << " conversations, connect refused");
  } else if (!m.service.empty() && !m.topic.empty()) {
    HSZ topic = lib.strings.add(LIBRARY_OWNER, fromUtf8(m.topic));
    HDDEDATA ok = callBack(in, XTYP_CONNECT, 0, nullptr, topic, c.service, nullptr);
    if (ok && !c.closed && !c.doomed && in.alive) {
      std::uint32_t id;
      HCONV h = newConversation(in, c, topic, c.service, id);
      callBack(in, XTYP_CONNECT_CONFIRM, 0, h, topic, c.service, nullptr);
      if (findConv(in, id)) answer.pairs.push_back(DdeBridgePair{id, lib.strings.utf8Of(c.service), m.topic});
    }
    lib.strings.release(LIBRARY_OWNER, topic);
  } else {
    HSZ topic = m.topic.empty() ? nullptr : lib.strings.add(LIBRARY_OWNER, fromUtf8(m.topic));
    HSZ service = m.service.empty() ? nullptr : c.service;
    HDDEDATA list = callBack(in, XTYP_WILDCONNECT, 0, nullptr, topic, service, nullptr);
    std::vector<HSZPAIR> pairs;
    if (list) lib.datas.consumePairs(list, DDE_BRIDGE_MAX_PAIRS, pairs);
    for (const HSZPAIR& p : pairs) {
      if (c.closed || c.doomed || !in.alive || c.convs.size() >= DDE_BRIDGE_MAX_CONVERSATIONS) break;
      if (!lib.strings.find(p.hszTopic)) {
        LOG_WRN("DDE wildcard answer names an unknown topic handle " << static_cast<void*>(p.hszTopic));
        continue;
      }
      HSZ svc = lib.strings.find(p.hszSvc) ? p.hszSvc : c.service;
      std::uint32_t id;
      HCONV h = newConversation(in, c, p.hszTopic, svc, id);
      std::string svcText = lib.strings.utf8Of(svc), topicText = lib.strings.utf8Of(p.hszTopic);
      callBack(in, XTYP_CONNECT_CONFIRM, 0, h, p.hszTopic, svc, nullptr);
      if (findConv(in, id)) answer.pairs.push_back(DdeBridgePair{id, svcText, topicText});
    }
    if (topic) lib.strings.release(LIBRARY_OWNER, topic);
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

}  // namespace

namespace {

void request(Instance& in, Client& c, Conv& conv, const DdeBridgeMessage& m) {
  UINT fmt = 0;
  if (!lib.formats.resolve(m.format, fmt)) return answerNo(in, c, m);
  HSZ item = lib.strings.add(LIBRARY_OWNER, fromUtf8(m.item));
  HDDEDATA r = callBack(in, XTYP_REQUEST, fmt, hconvOf(m.conv), conv.topic, item, nullptr);
  if (item) lib.strings.release(LIBRARY_OWNER, item);
  DdeBridgeMessage a;
  a.kind = DDE_BRIDGE_DATA;
  a.xid = m.xid;
  a.conv = m.conv;
  UINT dataFmt = fmt;
  if (r && lib.datas.consume(r, a.data, dataFmt)) {
    a.ok = true;
    a.dataFormat = lib.formats.wire(dataFmt);
  }
  queueReply(in, c, a);
}

// Keeps the loops sorted, in an array exactly as long as it must be.
void addLoop(Client& c, Conv& conv, AdviseLoop l) {
  LoopKey key = l.key();
  auto at = std::lower_bound(conv.loops.begin(), conv.loops.end(), key,
                             [](const AdviseLoop& a, const LoopKey& k) { return a.key() < k; });
  std::vector<AdviseLoop> loops;
  loops.reserve(conv.loops.size() + 1);
  loops.insert(loops.end(), std::make_move_iterator(conv.loops.begin()), std::make_move_iterator(at));
  loops.push_back(std::move(l));
  loops.insert(loops.end(), std::make_move_iterator(at), std::make_move_iterator(conv.loops.end()));
  conv.loops.swap(loops);
  ++lib.changes;
  relinkLoops(c, conv);
  ++c.loops;
}

void adviseStart(Instance& in, Client& c, Conv& conv, const DdeBridgeMessage& m) {
  UINT fmt = 0;
  if (!lib.formats.resolve(m.format, fmt) || m.item.empty()) return answerAck(in, c, m, false);
  if (c.loops >= DDE_BRIDGE_MAX_LOOPS) {
    LOG_WRN("DDE client " << c.id << " holds " << c.loops << " advise loops, advise refused");
    return answerAck(in, c, m, false);
  }
  HSZ item = lib.strings.add(LIBRARY_OWNER, fromUtf8(m.item));
  bool ok = callBack(in, XTYP_ADVSTART, fmt, hconvOf(m.conv), conv.topic, item, nullptr) != nullptr;
  // The callback may have ended the conversation.
  Conv* live = findConv(in, m.conv);
  if (!live || c.closed) ok = false;
  AdviseLoop l;
  // The client's own item and format: the codec took them, so they encode.
  if (ok && !live->findLoop(LoopKey(reinterpret_cast<std::uintptr_t>(item), fmt)) &&
      ddeBridgeAdviseHead(m.item, m.format, l.head)) {
    l.item = item;
    l.format = fmt;
    lib.strings.take(LIBRARY_OWNER, item);
    addLoop(c, *live, std::move(l));
  }
  lib.strings.release(LIBRARY_OWNER, item);
  answerAck(in, c, m, ok);
}

void adviseStop(Instance& in, Client& c, Conv& conv, const DdeBridgeMessage& m) {
  UINT fmt = 0;
  HSZ item = lib.strings.lookup(fromUtf8(m.item));
  AdviseLoop* l = lib.formats.resolve(m.format, fmt) && item
                      ? conv.findLoop(LoopKey(reinterpret_cast<std::uintptr_t>(item), fmt))
                      : nullptr;
  if (!l) return answerAck(in, c, m, false);
  HSZ loopItem = l->item;
  dropPending(c, l->pendingSeq);
  conv.loops.erase(conv.loops.begin() + (l - conv.loops.data()));
  ++lib.changes;
  conv.loops.shrink_to_fit();
  relinkLoops(c, conv);
  --c.loops;
  callBack(in, XTYP_ADVSTOP, fmt, hconvOf(m.conv), conv.topic, loopItem, nullptr);
  lib.strings.release(LIBRARY_OWNER, loopItem);
  answerAck(in, c, m, true);
}

void poke(Instance& in, Client& c, Conv& conv, const DdeBridgeMessage& m) {
  UINT fmt = 0;
  if (!lib.formats.resolve(m.format, fmt)) return answerAck(in, c, m, false);
  HSZ item = lib.strings.add(LIBRARY_OWNER, fromUtf8(m.item));
  HDDEDATA d = lib.datas.add(in.id, reinterpret_cast<const BYTE*>(m.data.data()), m.data.size(), item, fmt, false);
  HDDEDATA r = callBack(in, XTYP_POKE, fmt, hconvOf(m.conv), conv.topic, item, d);
  lib.datas.erase(d);
  if (item) lib.strings.release(LIBRARY_OWNER, item);
  answerAck(in, c, m, acknowledged(r));
}

void execute(Instance& in, Client& c, Conv& conv, const DdeBridgeMessage& m) {
  if (in.flags & CBF_FAIL_EXECUTES) {
    LOG_DBG("DDE execute on conversation " << m.conv << " refused");
    return answerAck(in, c, m, false);
  }
  HDDEDATA d = lib.datas.add(in.id, reinterpret_cast<const BYTE*>(m.data.data()), m.data.size(), nullptr, 0, false);
  HDDEDATA r = callBack(in, XTYP_EXECUTE, 0, hconvOf(m.conv), conv.topic, nullptr, d);
  lib.datas.erase(d);
  answerAck(in, c, m, acknowledged(r));
}

}  // namespace

// One blockable transaction on an enabled conversation.
void runTransaction(Instance& in, Client& c, const DdeBridgeMessage& m) {
  Conv* conv = findConv(in, m.conv);
  if (!conv) return answerNo(in, c, m);
  switch (m.kind) {
    case DDE_BRIDGE_REQUEST:
      return request(in, c, *conv, m);
    case DDE_BRIDGE_ADVSTART:
      return adviseStart(in, c, *conv, m);
    case DDE_BRIDGE_ADVSTOP:
      return adviseStop(in, c, *conv, m);
    case DDE_BRIDGE_POKE:
      return poke(in, c, *conv, m);
    case DDE_BRIDGE_EXECUTE:
      return execute(in, c, *conv, m);
    default:
      return;
  }
}

void dispatch(Instance& in, Client& c, const DdeBridgeMessage& m) {
  if (m.kind == DDE_BRIDGE_CONNECT) return handleConnect(in, c, m);
  Conv* conv = findConv(in, m.conv);
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


namespace {

// Sets each target's count of later targets with the same item and format,
// in one pass: a post names one item (a handful of formats) or every item
// of a topic, so the distinct keys are few, and many are sorted instead.
void countRemaining(std::vector<PostTarget>& targets) {
  const std::size_t FEW = 16;
  std::pair<LoopKey, ULONG_PTR> counts[FEW];
  std::size_t distinct = 0;
  for (const PostTarget& t : targets) {
    std::size_t k = 0;
    while (k < distinct && counts[k].first != t.key) ++k;
    if (k == FEW) {
      distinct = FEW + 1;
      break;
    }
    if (k == distinct) counts[distinct++] = std::make_pair(t.key, ULONG_PTR(0));
    ++counts[k].second;
  }
  if (distinct <= FEW) {
    for (PostTarget& t : targets) {
      std::size_t k = 0;
      while (counts[k].first != t.key) ++k;
      t.remaining = --counts[k].second;
    }
    return;
  }
  std::vector<std::size_t> order(targets.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&targets](std::size_t a, std::size_t b) { return targets[a].key < targets[b].key; });
  for (std::size_t i = order.size(); i-- > 0;) {
    bool sameAsNext = i + 1 < order.size() && targets[order[i + 1]].key == targets[order[i]].key;
    targets[order[i]].remaining = sameAsNext ? targets[order[i + 1]].remaining + 1 : 0;
  }
}

// A target list lent for one post; posts nest when a callback posts.
struct Targets {
  std::vector<PostTarget> list;
  Targets() {
    if (!lib.spareTargets.empty()) {
      list.swap(lib.spareTargets.back());
      lib.spareTargets.pop_back();
    }
  }
  ~Targets() {
    list.clear();
    if (list.capacity() <= 4096) lib.spareTargets.push_back(std::move(list));  // a crowd's list goes
  }
};

}  // namespace

bool postAdvise(Instance& in, HSZ hszTopic, HSZ hszItem) {
  auto byTopic = in.convsByTopic.find(hszTopic);
  if (byTopic == in.convsByTopic.end()) return true;
  Targets lent;
  std::vector<PostTarget>& targets = lent.list;
  for (std::uint32_t id : byTopic->second.ids) {
    Conv* cv = findConv(in, id);
    if (!cv) continue;
    Client* c = findClient(in, cv->client);
    if (!c || c->doomed) continue;
    for (const AdviseLoop& l : cv->loops)
      if (!hszItem || l.item == hszItem) targets.push_back(PostTarget{id, l.key(), 0});
  }
  countRemaining(targets);
  Client* client = nullptr;  // the last target's, while nothing has changed
  // Each frame is built in the room of one already written and queued as it is.
  std::string wire;
  if (!lib.spareBytes.empty()) {
    wire.swap(lib.spareBytes.back());
    lib.spareBytes.pop_back();
  }
  for (const PostTarget& t : targets) {
    Conv* conv = findConv(in, t.conv);
    AdviseLoop* l = conv ? conv->findLoop(t.key) : nullptr;
    if (!l) continue;
    std::uint64_t changes = lib.changes;
    // The callback learns how many more requests for the same item and format follow.
    HDDEDATA r = callBack(in, XTYP_ADVREQ, l->format, hconvOf(t.conv), hszTopic, l->item, nullptr, t.remaining & 0xFFFF);
    if (!r) continue;
    DataEntry* data = lib.datas.find(r);
    if (!data) {
      LOG_WRN("DDE callback returned an unknown data handle " << static_cast<void*>(r));
      continue;
    }
    // The handle is the library's from here on: freed on every path below unless the application keeps it.
    struct Release {
      HDDEDATA handle;
      bool keep;
      ~Release() {
        if (!keep) lib.datas.erase(handle);
      }
    } release{r, data->appOwned};
    UINT fmt = data->format ? data->format : t.key.second;
    // The callback may have ended the loop, its conversation or its client.
    if (lib.changes != changes) {
      client = nullptr;
      conv = findConv(in, t.conv);
      l = conv ? conv->findLoop(t.key) : nullptr;
      if (!l) continue;
    }
    if (!client || client->id != conv->client) client = findClient(in, conv->client);
    if (!client || client->doomed || client->closed) continue;
    AdviseLoop& live = *l;
    wire.clear();
    if (!ddeBridgeAppendAdvise(t.conv, live.head, lib.formats.wire(fmt), data->bytes.data(), data->bytes.size(),
                               wire)) {
      std::size_t itemLength = static_cast<unsigned char>(live.head[0]);
      LOG_WRN("DDE advise data for " << live.head.substr(1, itemLength) << " too large (" << data->bytes.size()
                                     << " bytes), dropped");
      continue;
    }
    queueAdvise(in, *client, live, wire);
  }
  if (wire.capacity() <= 256 && lib.spareBytes.size() < 1024)
    lib.spareBytes.push_back(std::move(wire));
  return true;
}

bool enableCallback(Instance& in, HCONV hConv, UINT wCmd) {
  std::vector<Conv*> convs;
  if (hConv) {
    Conv* conv = findConv(in, static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(hConv)));
    if (!conv) return false;
    convs.push_back(conv);
  } else {
    for (auto& cv : in.convs) convs.push_back(&cv.second);
  }
  bool waiting = false;
  for (Conv* conv : convs) waiting = waiting || !conv->waiting.empty();
  switch (wCmd) {
    case EC_ENABLEALL:
      for (Conv* conv : convs) conv->enabled = true;
      if (waiting) scheduleWork();
      return true;
    case EC_DISABLE:
      for (Conv* conv : convs) conv->enabled = false;
      return true;
    case EC_QUERYWAITING:
      return waiting;
    default:
      LOG_DBG("DdeEnableCallback command " << wCmd << " not supported");
      return false;
  }
}

}  // namespace localdde
