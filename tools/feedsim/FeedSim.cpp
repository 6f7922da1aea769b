#include "tools/feedsim/FeedSim.h"

#include <chrono>
#include <cmath>
#include <random>
#include <sstream>

#include "feed/QelUpdate.h"
#include "feed/StdFID.h"
#include "platform/Socket.h"
#include "support/Log.h"
#include "tools/feedsim/SimStream.h"

namespace {

const std::int32_t STATUS_ERROR = 7;

const char* const TYPE_NAMES[QELMSG_NUM_TYPES] = {
    "OPEN", "CLOSE", "SNAPSHOT", "IMAGE", "UPDATE", "STATUS", "PING", "PING_ACK", "PUBLISH", "NAME",
};

std::vector<std::string> splitRID(const std::string& rid) {
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  for (;;) {
    std::string::size_type caret = rid.find('^', start);
    parts.push_back(rid.substr(start, caret == std::string::npos ? std::string::npos : caret - start));
    if (caret == std::string::npos) return parts;
    start = caret + 1;
  }
}

std::string printable(const std::string& text) {
  std::string out;
  for (unsigned char ch : text) {
    if (ch == '\n') {
      out += "\\n";
    } else if (ch < 0x20 || ch == 0x7F) {
      char b[8];
      std::snprintf(b, sizeof b, "\\x%02X", ch);
      out += b;
    } else {
      out += static_cast<char>(ch);
    }
  }
  return out;
}

// One line per stream for the frame log: "CLEAR ADD_ROW {BID=72.49 ...}".
std::string describeStream(const std::string& stream) {
  std::vector<char> copy(stream.begin(), stream.end());
  QelUpdate upd;
  upd.setBuffer(copy.data(), static_cast<unsigned>(copy.size()));
  upd.startIterating();
  std::ostringstream out;
  char command = QelUpdate::NONE;
  unsigned row = 0;
  unsigned count = 0;
  const char* sep = "";
  while (upd.getCommand(command, row, count)) {
    out << sep;
    sep = " ";
    QelUpdate::printCommand(out, command);
    if (command == QelUpdate::SELECT_ROW || command == QelUpdate::INSERT_ROW || command == QelUpdate::DELETE_ROW)
      out << " " << row;
    if (command == QelUpdate::ADD_ROW || command == QelUpdate::INSERT_ROW || command == QelUpdate::SELECT_ROW) {
      out << " {";
      QelField* field = nullptr;
      const char* fsep = "";
      while (upd.getField(field)) {
        std::string text(field->getData(), field->getLength());
        if (!text.empty() && text.back() == '\0') text.pop_back();
        out << fsep << simFieldName(field->getFID()) << "=" << printable(text);
        fsep = " ";
      }
      out << "}";
    }
  }
  upd.stopIterating();
  return out.str();
}

std::string describeData(unsigned char type, const std::string& rid, const std::string& data) {
  if (data.empty()) return "";
  if (type == QELMSG_STATUS && data.size() >= 4) {
    std::int32_t status = static_cast<std::int32_t>(readLE32(data.data()));
    return " status " + std::to_string(status) + (status == STATUS_ERROR ? " ERROR" : "");
  }
  if (type == QELMSG_IMAGE && rid.compare(0, 5, "AUTH^") == 0) return " \"" + printable(data) + "\"";
  if (type == QELMSG_IMAGE || type == QELMSG_UPDATE || type == QELMSG_PUBLISH) return " " + describeStream(data);
  return " " + std::to_string(data.size()) + " data bytes";
}

// " RID", or nothing for the empty identifier of pings.
// The login record's password is masked, as everywhere in the log.
std::string ridText(const std::string& rid) { return rid.empty() ? "" : " " + printable(loggableRID(rid.c_str())); }

std::string hexBytes(const char* data, std::size_t n) {
  const std::size_t MAX_DUMP = 512;
  std::string out;
  char b[4];
  for (std::size_t i = 0; i < n && i < MAX_DUMP; ++i) {
    std::snprintf(b, sizeof b, "%02X ", static_cast<unsigned char>(data[i]));
    out += b;
  }
  if (n > MAX_DUMP) out += "...";
  if (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::uint32_t freshSeed() { return std::random_device{}(); }

// The send time for --stamp: wall-clock microseconds, comparable across the
// processes of one machine (the system clock is CLOCK_REALTIME on POSIX).
SimFieldValue stampNow() {
  auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                std::chrono::system_clock::now().time_since_epoch())
                .count();
  return SimFieldValue{simFids().time, std::to_string(static_cast<long long>(us))};
}

}  // namespace

const char* FeedSim::typeName(unsigned type) { return type < QELMSG_NUM_TYPES ? TYPE_NAMES[type] : "UNKNOWN"; }

FeedSim::FeedSim(const SimOptions& options, const SimData& data, EventLoop& loop)
    : m_options(options),
      m_data(data),
      m_loop(loop),
      m_updateTimer(loop.allocateTimerId()),
      m_pingTimer(loop.allocateTimerId()),
      m_housekeepingTimer(loop.allocateTimerId()),
      m_spreadTimer(loop.allocateTimerId()),
      m_startedMs(loop.now()) {
  InitializeFIDs();
  if (m_options.instruments > 0) m_syntheticOk = m_data.addSyntheticInstruments(m_options.instruments);
  // Each instrument walks on its own generator, so what one instrument shows
  // never depends on when another one was opened.
  std::uint32_t index = 0;
  for (const SimInstrument& s : m_data.instruments()) {
    const SimMarket* market = m_data.findMarket(s.market);
    if (!market) continue;
    std::uint32_t seed = freshSeed();
    if (m_options.seeded) {
      std::seed_seq seq{m_options.seed, index};
      seq.generate(&seed, &seed + 1);
    }
    ++index;
    m_quotes[quoteKey(s)].reset(new SimQuote(s, *market, seed, m_options.seeded));
  }
}

FeedSim::~FeedSim() {
  for (auto& entry : m_clients) {
    Client& c = *entry.second;
    if (!c.dead) {
      m_loop.unwatch(c.fd);
      socketClose(c.fd);
    }
  }
  if (m_listenFd >= 0) {
    m_loop.unwatch(m_listenFd);
    socketClose(m_listenFd);
  }
  for (int id : {m_updateTimer, m_pingTimer, m_housekeepingTimer, m_spreadTimer}) m_loop.releaseTimerId(id);
}

bool FeedSim::start() {
  if (!m_syntheticOk) return false;
  m_listenFd = socketListen(m_options.host.c_str(), m_options.port, &m_port);
  if (m_listenFd < 0) {
    LOG_ERR("cannot listen on " << m_options.host << ":" << m_options.port << ": "
                                << socketErrorText(socketLastError()));
    return false;
  }
  socketSetNonBlocking(m_listenFd, true);
  m_loop.watch(m_listenFd, this, EVENT_READ);
  if (m_options.rate > 0) {
    long long period = std::llround(1000.0 / m_options.rate);
    m_loop.setTimer(m_updateTimer, static_cast<unsigned>(period < 1 ? 1 : period), this);
    if (m_options.spread) m_loop.setTimer(m_spreadTimer, SPREAD_STEP_MS, this);
  }
  if (m_options.pingInterval > 0)
    m_loop.setTimer(m_pingTimer, static_cast<unsigned>(m_options.pingInterval) * 1000u, this);
  if (m_options.dropAfterSeconds > 0 || m_options.exitAfterSeconds > 0)
    m_loop.setTimer(m_housekeepingTimer, 20, this);
  m_startedMs = m_loop.now();
  m_spreadLastMs = m_startedMs;
  return true;
}

void FeedSim::stop() { m_loop.postQuit(0); }

std::size_t FeedSim::clientCount() const {
  std::size_t n = 0;
  for (const auto& entry : m_clients)
    if (!entry.second->dead) ++n;
  return n;
}

int FeedSim::exitCode() const { return m_options.failOnViolation && m_stats.violations > 0 ? 3 : 0; }

std::string FeedSim::summary() const {
  std::ostringstream out;
  out << "clients: " << m_stats.clients << "\n";
  out << "frames received:";
  for (unsigned type : {QELMSG_OPEN, QELMSG_CLOSE, QELMSG_SNAPSHOT, QELMSG_PING, QELMSG_PING_ACK, QELMSG_NAME})
    out << " " << TYPE_NAMES[type] << "=" << m_stats.received[type];
  // Types no client should send are shown only when one came.
  for (unsigned type : {QELMSG_IMAGE, QELMSG_UPDATE, QELMSG_STATUS, QELMSG_PUBLISH})
    if (m_stats.received[type]) out << " " << TYPE_NAMES[type] << "=" << m_stats.received[type];
  if (m_stats.receivedOther) out << " OTHER=" << m_stats.receivedOther;
  out << "\n";
  out << "frames sent:";
  for (unsigned type = QELMSG_IMAGE; type < QELMSG_NUM_TYPES; ++type)
    out << " " << TYPE_NAMES[type] << "=" << m_stats.sent[type];
  out << "\n";
  out << "protocol violations: " << m_stats.violations << "\n";
  for (const auto& kind : m_stats.violationKinds) out << "  " << kind.first << ": " << kind.second << "\n";
  return out.str();
}

void FeedSim::handleSocketEvent(int fd, unsigned events) {
  if (fd == m_listenFd) {
    acceptClient();
  } else if (Client* c = findClient(fd)) {
    if (events & EVENT_CLOSE)
      closeClient(*c, "disconnected");
    else if (events & EVENT_READ)
      readClient(*c);
    else if (events & EVENT_WRITE)
      flush(*c);
  }
  reap();
}

void FeedSim::handleTimer(int id) {
  if (id == m_updateTimer)
    updateTick();
  else if (id == m_spreadTimer)
    spreadTick();
  else if (id == m_pingTimer)
    pingTick();
  else if (id == m_housekeepingTimer)
    housekeeping();
  reap();
}

void FeedSim::acceptClient() {
  int fd = socketAccept(m_listenFd);
  if (fd < 0) {
    // A client that gave up between the poll and the accept leaves nothing to take.
    int error = socketLastError();
    if (!socketErrorIsWouldBlock(error)) LOG_WRN("accept failed: " << socketErrorText(error));
    return;
  }
  socketSetNonBlocking(fd, true);
  std::unique_ptr<Client> client(new Client);
  client->id = m_nextClientId++;
  client->fd = fd;
  client->acceptedMs = m_loop.now();
  Client& c = *client;
  m_clients[c.id] = std::move(client);
  ++m_stats.clients;
  m_anyClient = true;
  LOG_INF("#" << c.id << " connected");
  m_loop.watch(fd, this, EVENT_READ | EVENT_CLOSE);
  queueFrame(c, QELMSG_NAME, m_options.name, "");
}

void FeedSim::readClient(Client& c) {
  char buffer[65536];
  int n = socketRecv(c.fd, buffer, static_cast<int>(sizeof buffer));
  if (n == 0) {
    closeClient(c, "disconnected");
    return;
  }
  if (n < 0) {
    int error = socketLastError();
    if (socketErrorIsWouldBlock(error) || socketErrorIsInterrupted(error)) return;
    closeClient(c, "read failed: " + socketErrorText(error));
    return;
  }
  c.in.append(buffer, static_cast<std::size_t>(n));
  consume(c);
}

void FeedSim::consume(Client& c) {
  std::size_t pos = 0;
  while (!c.dead && !c.stalled && c.in.size() - pos >= 4) {
    std::uint32_t length = readLE32(c.in.data() + pos);
    if (length < QELMSG_MIN_LENGTH || length > MAX_CLIENT_FRAME) {
      violation(c, "bad frame", "length " + std::to_string(length));
      closeClient(c, "unreadable frame");
      return;
    }
    if (c.in.size() - pos < length) break;
    handleFrame(c, c.in.data() + pos, length);
    pos += length;
  }
  if (!c.dead) c.in.erase(0, pos);
}

void FeedSim::handleFrame(Client& c, const char* frame, std::uint32_t length) {
  unsigned type = static_cast<unsigned char>(frame[4]);
  unsigned ridLength = static_cast<unsigned char>(frame[5]);
  if (QELMSG_MIN_LENGTH + ridLength > length) {
    violation(c, "bad frame", "rid_length " + std::to_string(ridLength) + " in a frame of " + std::to_string(length));
    closeClient(c, "unreadable frame");
    return;
  }
  if (frame[QELMSG_HEADER_SIZE + ridLength] != '\0') {
    violation(c, "bad frame", "no NUL after the record identifier");
    closeClient(c, "unreadable frame");
    return;
  }
  if (frame[length - 1] != QELMSG_TRAILER) {
    violation(c, "bad frame", "trailer byte " + std::to_string(static_cast<unsigned char>(frame[length - 1])));
    closeClient(c, "unreadable frame");
    return;
  }

  std::string rid(frame + QELMSG_HEADER_SIZE, ridLength);
  std::uint32_t dataLength = length - QELMSG_MIN_LENGTH - ridLength;
  if (type < QELMSG_NUM_TYPES)
    ++m_stats.received[type];
  else
    ++m_stats.receivedOther;
  LOG_INF("#" << c.id << " in  " << typeName(type) << (type < QELMSG_NUM_TYPES ? "" : " " + std::to_string(type))
              << ridText(rid) << (dataLength ? " +" + std::to_string(dataLength) + " data bytes" : ""));
  LOG_DBG("#" << c.id << " in  " << (rid.compare(0, 5, "AUTH^") == 0 ? std::string("(login frame, not dumped)") : hexBytes(frame, length)));

  if (type >= QELMSG_NUM_TYPES) {
    violation(c, "unknown type", "type " + std::to_string(type));
    return;
  }
  if (type == QELMSG_IMAGE || type == QELMSG_UPDATE || type == QELMSG_STATUS || type == QELMSG_PUBLISH) {
    violation(c, "server-only type", std::string(typeName(type)) + " " + printable(rid));
    return;
  }
  if (dataLength) {
    violation(c, "data from client", std::to_string(dataLength) + " bytes on " + typeName(type) + " " + printable(rid));
    return;
  }
  if (rid.find('\0') != std::string::npos) {
    violation(c, "bad record identifier", "NUL inside \"" + printable(rid) + "\"");
    return;
  }

  switch (type) {
    case QELMSG_NAME:
      c.peerName = rid;
      LOG_INF("#" << c.id << " is \"" << printable(rid) << "\"");
      break;
    case QELMSG_PING:
      if (!rid.empty()) violation(c, "record identifier on a ping", printable(rid));
      queueFrame(c, QELMSG_PING_ACK, "", "");
      break;
    case QELMSG_PING_ACK:
      if (!rid.empty()) violation(c, "record identifier on a ping", printable(rid));
      if (c.pingsOutstanding == 0)
        violation(c, "unsolicited ping answer", "no ping was sent");
      else
        --c.pingsOutstanding;
      break;
    default:
      handleRequest(c, static_cast<unsigned char>(type), rid);
      break;
  }
}

void FeedSim::handleRequest(Client& c, unsigned char type, const std::string& rid) {
  std::vector<std::string> parts = splitRID(rid);
  if (parts[0] == "AUTH") {
    handleLogin(c, type, rid);
    return;
  }
  if (!c.account) {
    violation(c, "request before login", std::string(typeName(type)) + " " + printable(rid));
    return;
  }
  if (type == QELMSG_CLOSE && c.refused.erase(rid)) {
    LOG_INF("#" << c.id << " closed refused record " << printable(rid));
    return;
  }
  if (parts[0] == "ERROR") {
    // The client asks for unresolvable topics like any other; the answer is ERROR.
    if (type == QELMSG_CLOSE)
      violation(c, "close of unopened record", printable(rid));
    else
      refuse(c, type, rid);
    return;
  }
  if (parts[0] == "L1" || parts[0] == "SYM") {
    handleRecord(c, type, rid, parts);
    return;
  }
  violation(c, "bad record identifier", "unknown record type in \"" + printable(rid) + "\"");
  if (type != QELMSG_CLOSE) refuse(c, type, rid);
}

void FeedSim::handleLogin(Client& c, unsigned char type, const std::string& rid) {
  if (type != QELMSG_SNAPSHOT) {
    violation(c, "login not by snapshot", std::string(typeName(type)) + " " + printable(rid));
    return;
  }
  if (c.account) {
    violation(c, "repeated login", printable(rid));
    return;
  }
  // "AUTH^user^password": the password is everything after the second caret.
  std::string::size_type caret = rid.size() > 5 ? rid.find('^', 5) : std::string::npos;
  std::string user = rid.size() > 5 ? rid.substr(5, caret == std::string::npos ? std::string::npos : caret - 5) : "";
  const SimAccount* account = caret == std::string::npos ? nullptr : m_data.findAccount(user, rid.substr(caret + 1));
  if (!account) {
    LOG_INF("#" << c.id << " login refused for \"" << printable(user) << "\"");
    std::string status(4, '\0');
    writeLE32(&status[0], static_cast<std::uint32_t>(STATUS_ERROR));
    queueFrame(c, QELMSG_STATUS, rid, status);
    return;
  }
  c.account = account;
  LOG_INF("#" << c.id << " logged in as \"" << account->user << "\"");
  queueFrame(c, QELMSG_IMAGE, rid, m_data.marketList(*account));
  if (m_options.publish) sendPublishList(c);
  if (m_options.malformed != SimMalformed::NONE) sendMalformed(c);
  if (m_options.stall) {
    LOG_INF("#" << c.id << " stalled: no more reading from this client");
    c.stalled = true;
    updateInterest(c);
  }
}

void FeedSim::handleRecord(Client& c, unsigned char type, const std::string& rid,
                           const std::vector<std::string>& parts) {
  bool level1 = parts[0] == "L1";
  bool delayForm = level1 && parts.size() == 4 && parts[3] == "d";
  if (parts.size() < 3 || (parts.size() > 3 && !delayForm) || parts[1].empty() || parts[2].empty()) {
    violation(c, "bad record identifier", "\"" + printable(rid) + "\"");
    if (type != QELMSG_CLOSE) refuse(c, type, rid);
    return;
  }
  const SimMarket* market = m_data.findMarket(parts[1]);
  if (!market || !m_data.accountHasMarket(*c.account, parts[1])) {
    // The client only builds identifiers for the markets its login listed.
    violation(c, "market not listed", "\"" + printable(rid) + "\"");
    if (type != QELMSG_CLOSE) refuse(c, type, rid);
    return;
  }
  if (level1 && delayForm != market->delayed()) {
    violation(c, "delay form", "\"" + printable(rid) + "\" for a " + (market->delayed() ? "delayed" : "real-time") +
                                   " market");
    if (type != QELMSG_CLOSE) refuse(c, type, rid);
    return;
  }

  if (type == QELMSG_CLOSE) {
    if (c.open.erase(rid)) {
      m_wantedStale = true;
      LOG_INF("#" << c.id << " closed " << rid);
    }
    else
      violation(c, "close of unopened record", printable(rid));
    return;
  }

  const SimInstrument* instrument = m_data.findInstrument(parts[1], parts[2]);
  if (!instrument) {
    refuse(c, type, rid);
    return;
  }
  if (type == QELMSG_OPEN) {
    // An open of an open record is how the client asks for a fresh image.
    if (c.open.count(rid)) LOG_INF("#" << c.id << " reopened " << rid << ": fresh image");
    c.open[rid] = level1 ? quoteKey(*instrument) : "";
    m_wantedStale = true;
    c.refused.erase(rid);
    if (level1 && m_options.truncatedUpdate && !c.truncatedSent) c.truncatePending = true;
  }
  sendImage(c, rid, *instrument, level1);
}

void FeedSim::refuse(Client& c, unsigned char type, const std::string& rid) {
  if (type == QELMSG_OPEN) c.refused.insert(rid);
  std::string status(4, '\0');
  writeLE32(&status[0], static_cast<std::uint32_t>(STATUS_ERROR));
  queueFrame(c, QELMSG_STATUS, rid, status);
}

void FeedSim::sendImage(Client& c, const std::string& rid, const SimInstrument& instrument, bool level1) {
  std::vector<SimRow> rows;
  if (level1) {
    rows.push_back(m_quotes[quoteKey(instrument)]->image());
    if (m_options.stamp) rows.back().push_back(stampNow());
  } else {
    const SimFids& f = simFids();
    const SimMarket* market = m_data.findMarket(instrument.market);
    std::vector<SimDescription> descriptions = instrument.descriptions;
    if (descriptions.empty()) descriptions.push_back(SimDescription{"en_GB", instrument.name});
    for (const SimDescription& d : descriptions) {
      rows.push_back(SimRow{
          {SIM_LOCALE_FID, d.locale},
          {f.name, instrument.name},
          {f.description, d.text},
          {f.isin, instrument.isin},
          {f.currency, instrument.currency},
          {f.market, market ? market->display : instrument.market},
          {f.symbol, instrument.code},
      });
    }
  }
  std::string stream;
  if (!simImageStream(rows, stream)) {
    refuse(c, QELMSG_SNAPSHOT, rid);
    return;
  }
  queueFrame(c, QELMSG_IMAGE, rid, stream);
}

std::vector<const SimInstrument*> FeedSim::accountInstruments(const SimAccount& account) const {
  std::vector<const SimInstrument*> out;
  for (const SimInstrument& s : m_data.instruments())
    if (m_data.accountHasMarket(account, s.market)) out.push_back(&s);
  return out;
}

void FeedSim::sendPublishList(Client& c) {
  // Row per instrument: FID 0 holds the record's identifier with its NUL, so
  // that its data reads as a record identifier in place.
  const SimFids& f = simFids();
  std::vector<SimRow> rows;
  for (const SimInstrument* s : accountInstruments(*c.account)) {
    const SimMarket* market = m_data.findMarket(s->market);
    std::string rid = "L1^" + s->market + "^" + s->code + (market && market->delayed() ? "^d" : "");
    rid.push_back('\0');
    const SimQuote& quote = *m_quotes[quoteKey(*s)];
    rows.push_back(SimRow{{0, rid}, {f.name, s->name}, {f.cur, quote.value(f.cur)}, {f.currency, s->currency}});
  }
  std::string stream;
  if (simImageStream(rows, stream)) queueFrame(c, QELMSG_PUBLISH, "p#", stream);
}

void FeedSim::sendMalformed(Client& c) {
  std::string bytes;
  switch (m_options.malformed) {
    case SimMalformed::LENGTH:
      // A ping whose length field says 5, below the 9 bytes of the smallest frame.
      bytes = std::string("\x05\x00\x00\x00\x06\x00\x00\x00J", 9);
      queueBytes(c, QELMSG_PING, bytes, "malformed frame (length 5)");
      break;
    case SimMalformed::RIDLENGTH:
      // A 10-byte frame whose rid_length of 255 puts the terminator far past the trailer.
      bytes = std::string("\x0A\x00\x00\x00\x06\xFF\x00x\x00J", 10);
      queueBytes(c, QELMSG_PING, bytes, "malformed frame (rid_length 255)");
      break;
    case SimMalformed::TRAILER:
      bytes = std::string("\x09\x00\x00\x00\x06\x00\x00\x00X", 9);
      queueBytes(c, QELMSG_PING, bytes, "malformed frame (trailer 'X')");
      break;
    case SimMalformed::NONE:
      break;
  }
}

std::vector<FeedSim::Wanted>& FeedSim::wanted() {
  if (!m_wantedStale) return m_wanted;
  m_wantedStale = false;
  // By quote key, then client id, then record identifier: the order updates go out in.
  std::map<std::string, std::vector<Target>> byKey;
  for (auto& entry : m_clients) {
    Client& c = *entry.second;
    if (c.dead) continue;
    for (const auto& record : c.open)
      if (!record.second.empty()) byKey[record.second].push_back(Target{&c, &record.first});
  }
  m_wanted.clear();
  for (auto& entry : byKey) {
    auto quote = m_quotes.find(entry.first);
    if (quote != m_quotes.end()) m_wanted.push_back(Wanted{quote->second.get(), std::move(entry.second)});
  }
  return m_wanted;
}

// One walk step of an open instrument, sent to every client that has it open.
// A client closed on the way stays in the list, marked dead, until the next rebuild.
void FeedSim::stepAndSend(Wanted& w) {
  SimRow changed = w.quote->step();
  if (m_options.stamp) changed.push_back(stampNow());
  std::string stream;
  if (!simSelectStream(0, changed, stream)) return;
  for (const Target& target : w.targets) {
    Client& c = *target.client;
    if (c.dead) continue;
    if (c.truncatePending && !changed.empty()) {
      // Cut inside the first field: its header promises more data than the stream holds.
      std::size_t firstData = QelUpdate::NUM_ITEMS_SIZE + 9 + QELFIELD_SIZE;
      std::size_t dataLength = changed[0].text.size();
      std::size_t cut = dataLength >= 2 ? firstData + dataLength / 2 : firstData - QELFIELD_SIZE / 2;
      c.truncatePending = false;
      c.truncatedSent = true;
      LOG_INF("#" << c.id << " sending an update cut after " << cut << " of " << stream.size() << " stream bytes");
      queueFrame(c, QELMSG_UPDATE, *target.rid, stream.substr(0, cut));
    } else {
      queueFrame(c, QELMSG_UPDATE, *target.rid, stream);
    }
  }
}

void FeedSim::updateTick() {
  if (!m_options.spread)
    for (Wanted& w : wanted()) stepAndSend(w);
  publishTick();
}

void FeedSim::spreadTick() {
  std::int64_t now = m_loop.now();
  double elapsedMs = static_cast<double>(now - m_spreadLastMs);
  m_spreadLastMs = now;
  std::vector<Wanted>& list = wanted();
  if (list.empty() || m_options.rate <= 0) {
    m_spreadCredit = 0;
    return;
  }
  double size = static_cast<double>(list.size());
  m_spreadCredit += elapsedMs * m_options.rate / 1000.0 * size;
  // At most one round at once: after a stall the walk goes on, it does not replay what was missed.
  if (m_spreadCredit > size) m_spreadCredit = size;
  std::size_t steps = static_cast<std::size_t>(m_spreadCredit);
  m_spreadCredit -= static_cast<double>(steps);
  for (std::size_t i = 0; i < steps; ++i) {
    if (m_spreadCursor >= list.size()) m_spreadCursor = 0;
    stepAndSend(list[m_spreadCursor++]);
  }
}

void FeedSim::publishTick() {
  const SimFids& f = simFids();
  if (!m_options.publish) return;
  for (auto& entry : m_clients) {
    Client& c = *entry.second;
    if (c.dead || !c.account) continue;
    std::vector<const SimInstrument*> list = accountInstruments(*c.account);
    if (list.empty()) continue;
    unsigned row = c.publishRow++ % static_cast<unsigned>(list.size());
    const SimQuote& quote = *m_quotes[quoteKey(*list[row])];
    std::string stream;
    SimRow fields{{f.cur, quote.value(f.cur)}, {f.lastChangeTime, quote.value(f.lastChangeTime)}};
    if (simSelectStream(row, fields, stream)) queueFrame(c, QELMSG_PUBLISH, "p#", stream);
  }
}

void FeedSim::pingTick() {
  for (auto& entry : m_clients) {
    Client& c = *entry.second;
    if (c.dead) continue;
    ++c.pingsOutstanding;
    queueFrame(c, QELMSG_PING, "", "");
  }
}

void FeedSim::housekeeping() {
  std::int64_t now = m_loop.now();
  if (m_options.dropAfterSeconds > 0) {
    for (auto& entry : m_clients) {
      Client& c = *entry.second;
      if (!c.dead && now - c.acceptedMs >= std::llround(m_options.dropAfterSeconds * 1000.0))
        closeClient(c, "dropped after " + std::to_string(m_options.dropAfterSeconds) + " s (fault injection)");
    }
  }
  if (m_options.exitAfterSeconds > 0 && now - m_startedMs >= std::llround(m_options.exitAfterSeconds * 1000.0)) {
    LOG_INF("exit time reached");
    stop();
  }
}

void FeedSim::violation(Client& c, const std::string& kind, const std::string& detail) {
  ++m_stats.violations;
  ++m_stats.violationKinds[kind];
  LOG_WRN("#" << c.id << " protocol violation: " << kind << ": " << detail);
}

void FeedSim::queueFrame(Client& c, unsigned char type, const std::string& rid, const std::string& data) {
  QelMessage* msg = QelMessage::create(type, rid.c_str(), static_cast<int>(data.size()));
  if (!msg) return;
  msg->set(data.data(), static_cast<int>(data.size()));
  std::string bytes(msg->bytes(), msg->getLength());
  QelMessage::release(msg);
  // Describing a frame costs more than sending it: only when the line is logged.
  std::string what;
  if (getLogLevel() >= 3) what = typeName(type) + ridText(rid) + describeData(type, rid, data);
  queueBytes(c, type, bytes, what);
}

void FeedSim::queueBytes(Client& c, unsigned char type, const std::string& bytes, const std::string& what) {
  if (c.dead || c.closeAfterFlush) return;
  ++m_stats.sent[type < QELMSG_NUM_TYPES ? type : 0];
  ++c.framesSent;
  LOG_INF("#" << c.id << " out " << what);
  bool login = bytes.size() > QELMSG_HEADER_SIZE + 5 && bytes.compare(QELMSG_HEADER_SIZE, 5, "AUTH^") == 0;
  LOG_DBG("#" << c.id << " out " << (login ? std::string("(login frame, not dumped)") : hexBytes(bytes.data(), bytes.size())));
  c.out += bytes;
  if (m_options.dropAfterFrames > 0 && c.framesSent >= m_options.dropAfterFrames) {
    LOG_INF("#" << c.id << " closing after " << c.framesSent << " frames (fault injection)");
    c.closeAfterFlush = true;
  }
  if (c.out.size() - c.outPos > MAX_PENDING_OUTPUT) {
    LOG_WRN("#" << c.id << " has " << c.out.size() - c.outPos << " bytes unread");
    closeClient(c, "not reading");
    return;
  }
  flush(c);
}

void FeedSim::flush(Client& c) {
  if (c.dead) return;
  while (c.outPos < c.out.size()) {
    std::size_t left = c.out.size() - c.outPos;
    int chunk = m_options.splitBytes ? 1 : static_cast<int>(left < 65536 ? left : 65536);
    int n = socketSend(c.fd, c.out.data() + c.outPos, chunk);
    if (n > 0 && c.blockedSinceMs >= 0) noteUnblocked(c);
    if (n > 0) {
      ++m_stats.writeCalls;
      m_stats.bytesWritten += static_cast<unsigned long>(n);
      c.outPos += static_cast<std::size_t>(n);
      continue;
    }
    int error = socketLastError();
    if (n < 0 && socketErrorIsInterrupted(error)) continue;
    if (n < 0 && socketErrorIsWouldBlock(error)) {
      if (c.blockedSinceMs < 0) c.blockedSinceMs = m_loop.now();
      break;
    }
    closeClient(c, "write failed: " + socketErrorText(error));
    return;
  }
  if (c.outPos == c.out.size()) {
    c.out.clear();
    c.outPos = 0;
    if (c.closeAfterFlush) {
      closeClient(c, "dropped (fault injection)");
      return;
    }
  } else if (c.outPos > 65536) {
    c.out.erase(0, c.outPos);
    c.outPos = 0;
  }
  updateInterest(c);
}

void FeedSim::noteUnblocked(Client& c) {
  std::int64_t waited = m_loop.now() - c.blockedSinceMs;
  c.blockedSinceMs = -1;
  if (waited <= c.longestBlockedMs) return;
  c.longestBlockedMs = waited;
  LOG_WRN("#" << c.id << " read nothing for " << waited << " ms with " << c.out.size() - c.outPos
              << " bytes waiting beyond the socket");
}

void FeedSim::updateInterest(Client& c) {
  if (c.dead) return;
  // A stalled client is not polled for reading at all: a pending read would
  // otherwise wake the loop over and over.
  unsigned interest = c.stalled ? 0u : (EVENT_READ | EVENT_CLOSE);
  if (c.outPos < c.out.size()) interest |= EVENT_WRITE;
  m_loop.setInterest(c.fd, interest);
}

void FeedSim::closeClient(Client& c, const std::string& reason) {
  if (c.dead) return;
  LOG_INF("#" << c.id << " " << reason);
  m_wantedStale = true;
  m_loop.unwatch(c.fd);
  // Unread input would turn the close into a reset, which can destroy frames
  // the client has not read yet.
  char scrap[4096];
  while (socketRecv(c.fd, scrap, static_cast<int>(sizeof scrap)) > 0) {
  }
  socketClose(c.fd);
  c.dead = true;
}

void FeedSim::reap() {
  bool removed = false;
  for (auto it = m_clients.begin(); it != m_clients.end();) {
    if (it->second->dead) {
      it = m_clients.erase(it);
      removed = true;
    } else {
      ++it;
    }
  }
  if (removed && m_options.exitWhenIdle && m_anyClient && m_clients.empty()) {
    LOG_INF("last client left");
    stop();
  }
}

FeedSim::Client* FeedSim::findClient(int fd) {
  for (auto& entry : m_clients)
    if (!entry.second->dead && entry.second->fd == fd) return entry.second.get();
  return nullptr;
}
