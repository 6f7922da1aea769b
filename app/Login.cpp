// The login and connection flow: ask for the credentials, connect on the
// first port that answers, log in with the AUTH record, fill the market
// table from the answer, ask again after a refusal, end after a lost
// connection. There is no automatic reconnection.

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/TavroDDE.h"
#include "dde/DDEInterface.h"
#include "dde/RtdTopics.h"
#include "dde/Stock.h"
#include "feed/Market.h"
#include "platform/Socket.h"
#include "support/Log.h"

namespace {

// Socket events of the feed connection, as the hidden window receives them on Windows.
class FeedSocket : public EventLoopHandler {
 public:
  void handleSocketEvent(int fd, unsigned events) override {
    if (events == EVENT_CLOSE) {
      disconnected();
      return;
    }
    bool deferredDisconnect = sink->isDisconnectPending();
    if (events == EVENT_READ)
      sink->handleRead(fd);
    else if (events == EVENT_WRITE)
      sink->handleWrite(fd);
    if (!deferredDisconnect && sink->isDisconnectPending() && sink->getFD() == fd) {
      // No further read event may come to carry it out: do it now.
      sink->handleRead(fd);
      deferredDisconnect = true;
    }
    if (sink->getFD() != fd) loop->unwatch(fd);
    if (deferredDisconnect && !sink->isConnected()) lostConnection();
  }

  // Our side closed the connection: tell the user, as for a close by the server.
  static void lostConnection() {
    updateStats();  // the tip says so while the notice waits
    shell->messageBox("Connection to TAVRO has been lost.", "TAVRO", Shell::BUTTONS_OK);
    loop->postQuit(0);
  }
};
FeedSocket feedSocket;

const char* const PROMPT = "Please enter your TAVRO login details:";
const char* const PROMPT_FAILED = "Authentication failed - please try again:";

void watchSocket(int fd, bool queued) {
  if (loop->isWatched(fd)) loop->setInterest(fd, EVENT_READ | EVENT_CLOSE | (queued ? EVENT_WRITE : 0u));
}

}  // namespace

const char* socketError() { return socketErrorName(socketLastError()); }

bool connect() {
  for (;;) {
    if (!shell->loginDialog(authFailed ? PROMPT_FAILED : PROMPT, username, password, MAX_LOGIN_ENTRY + 1)) {
      loop->postQuit(0);
      return false;
    }
    for (int port : feedPorts) {
      if (sink->connect(hostname, port)) {
        LOG_INF("connected on port " << port);
        connected();
        return true;
      }
    }
    if (!shell->messageBox("Can't connect to TAVRO. Try again?", "TAVRO", Shell::BUTTONS_YES_NO)) {
      loop->postQuit(0);
      return false;
    }
  }
}

void connected() {
  authFailed = false;
  int fd = sink->getFD();
  if (!socketSetNonBlocking(fd, true)) {
    LOG_ERR("select unsuccessful " << socketError());
  } else {
    loop->watch(fd, &feedSocket, EVENT_READ | EVENT_CLOSE | (sink->hasQueuedOutput() ? EVENT_WRITE : 0u));
    sink->setQueueObserver([fd](bool queued) { watchSocket(fd, queued); });
  }
  char rid[512];
  std::snprintf(rid, sizeof rid, "AUTH^%s^%s", username, password);
  sink->sendSnapshot(rid);
}

int parseMarketList(const char* data, std::size_t length) {
  // The text ends at the first NUL or at the end of the data.
  const void* nul = std::memchr(data, '\0', length);
  if (nul) length = static_cast<std::size_t>(static_cast<const char*>(nul) - data);
  // One answer may hold any number of bad lines: a few are shown, the rest counted.
  LogLimit badLines;
  int markets = 0;
  std::size_t pos = 0;
  while (pos < length) {
    const char* lineStart = data + pos;
    const void* nl = std::memchr(lineStart, '\n', length - pos);
    std::size_t lineLength = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - lineStart) : length - pos;
    pos += lineLength + 1;
    if (lineLength == 0) continue;
    if (lineStart[lineLength - 1] == '\r') --lineLength;
    // A line without a colon has no four fields: skipped without copying it.
    if (!std::memchr(lineStart, ':', lineLength)) {
      LOG_WRN_LIMITED(badLines, "skipping market line without symbol, permission, display symbol and id: "
                                    << std::string(lineStart, lineLength < 64 ? lineLength : 64));
      continue;
    }
    std::string line(lineStart, lineLength);

    std::string fields[4];
    int count = 0;
    std::size_t start = 0;
    while (count < 4 && start <= line.size()) {
      std::size_t colon = count < 3 ? line.find(':', start) : std::string::npos;
      std::size_t end = colon == std::string::npos ? line.size() : colon;
      fields[count] = line.substr(start, end - start);
      if (fields[count].empty() || fields[count].size() > MAX_NAME_LENGTH) break;
      ++count;
      if (colon == std::string::npos) break;
      start = colon + 1;
    }
    // Any id that fits an int, read as "%d" reads it: digits after optional
    // blanks and sign, whatever follows them ignored.
    char* idEnd = nullptr;
    errno = 0;
    long long id = count == 4 ? std::strtoll(fields[3].c_str(), &idEnd, 10) : 0;
    bool bad = count < 4 || idEnd == fields[3].c_str() || errno == ERANGE || id < INT_MIN || id > INT_MAX;
    if (bad) {
      LOG_WRN_LIMITED(badLines,
                      "skipping market line without symbol, permission, display symbol and id: " << line.substr(0, 64));
      continue;
    }
    if (!addMarket(fields[0].c_str(), fields[2].c_str(), fields[1][0], static_cast<int>(id))) {
      LOG_WRN_LIMITED(badLines, "market table is full, skipping " << fields[0].substr(0, 64));
      continue;
    }
    ++markets;
  }
  badLines.flush();
  return markets;
}

std::string marketNames() {
  std::string names;
  for (const auto& m : marketSymbols) names += (names.empty() ? "" : ", ") + m.first;
  return names;
}

std::string signedInNotice(std::size_t maxLength) {
  if (marketSymbols.empty()) return "Signed in, but this account has no markets: no link can be served.";
  const std::string head = "Your markets: ", tail = ". Link a cell as =TAVRO|market_code!ITEM.";
  auto more = [](std::size_t n) { return std::to_string(n) + " more (the log lists them all)"; };
  std::string list;
  std::size_t listed = 0, total = marketSymbols.size();
  for (const auto& m : marketSymbols) {
    std::string longer = list + (listed ? ", " : "") + m.first;
    std::size_t rest = total - listed - 1;
    std::size_t room = head.size() + longer.size() + (rest ? 6 + more(rest).size() : 0) + tail.size();
    if (room > maxLength) break;
    list = longer;
    ++listed;
  }
  if (listed < total) list += (listed ? ", and " : "") + more(total - listed);
  std::string text = head + list + tail;
  return text.substr(0, maxLength);
}

void handleAuthImage(QelMessage* msg) {
  int markets = parseMarketList(msg->getData(), msg->getDataLength());
  LOG_INF("logged in, " << markets << " markets" << (markets ? ": " : "") << marketNames());
  authenticated = true;
  if (!ddeInstance && !openDDE()) {
    serviceFailed();
    return;
  }
  RtdTopics::setMarketsKnown(true);
  // The dialog has gone: say that it worked, and what the account may link.
  shell->trayNotify("TAVRO: signed in", signedInNotice(255).c_str());
}

void notAuthenticated() {
  sink->disconnect();
  authFailed = true;
  connect();
}

void disconnected() {
  int fd = sink->getFD();
  sink->disconnect();
  if (fd >= 0) loop->unwatch(fd);
  updateStats();  // the tip says so while the notice waits
  shell->messageBox("Connection to TAVRO has been lost.", "TAVRO", Shell::BUTTONS_OK);
  loop->postQuit(0);
}
