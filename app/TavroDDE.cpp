#include "app/TavroDDE.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "app/App.h"
#include "dde/DDEInterface.h"
#include "dde/RtdTopics.h"
#include "dde/Stock.h"
#include "feed/QelRecordSet.h"
#include "feed/StdFID.h"
#include "feed/TradeCodes.h"
#include "platform/OnlyCopy.h"
#include "platform/RtdServer.h"
#include "support/Log.h"
#include "support/TavroUtil.h"

#ifndef TAVRO_FEED_HOST
#define TAVRO_FEED_HOST "localhost"
#endif

const char* hostname = TAVRO_FEED_HOST;
int feedPorts[2] = {7000, 80};
char trayMessage[128] = "";
App* console = nullptr;
char username[128] = "";
char password[128] = "";
bool authenticated = false;
bool authFailed = false;
Shell* shell = nullptr;
EventLoop* loop = nullptr;

namespace {

const int TIMER_PING = 0;
const int TIMER_TICK = 1;

class Timers : public TimerHandler {
 public:
  void handleTimer(int id) override {
    if (id == TIMER_PING) {
      sink->sendPing();
    } else {
      LOG_DBG("ping...");
      expireLogLimits();  // a storm's summary line need not wait for its next line
      endAbandonedConversations();
    }
  }
};
Timers timers;
RtdTopicsFactory rtdTopicsFactory;

}  // namespace

const char* localeForId(unsigned lcid) {
  switch (lcid) {
    case 1031: return "de_DE";
    case 1036: return "fr_FR";
    case 1040: return "it_IT";
    case 1046: return "pt_BR";
    default: return "en_GB";
  }
}

void updateSystemTray(const char* message) {
  if (std::strcmp(message, trayMessage) == 0) return;
  TavroUtil::Strcpy(trayMessage, message, sizeof trayMessage);
  if (shell) shell->traySetTip(trayMessage);
}

void updateStats() {
  // Runs after every event, so it reads the record set's counts, never walks the stocks.
  int open = sink ? sink->countRecords(QELSTATUS_OPEN) + sink->countRecords(QELSTATUS_OPEN_SNAPSHOT_WAIT) : 0;
  char text[128];
  if (!sink || !sink->isConnected())
    std::snprintf(text, sizeof text, "Not connected.");
  else if (!authenticated)
    std::snprintf(text, sizeof text, "Authenticating..");
  else if (open > 0)
    std::snprintf(text, sizeof text, "%d active stocks", open);
  else
    std::snprintf(text, sizeof text, "No active stocks");
  updateSystemTray(text);
}

void startUp(Shell& platformShell, EventLoop& eventLoop) {
  shell = &platformShell;
  loop = &eventLoop;
  TavroUtil::Strcpy(userLocale, localeForId(shell->systemLocaleId()), sizeof userLocale);
  username[0] = password[0] = '\0';
  initTradeCodes();
  InitializeFIDs();
  setLogLevel(3);

  // The hidden window of the Windows build: tray icon, menu and the two timers.
  if (!shell->trayAdd()) LOG_ERR("no notification area: running without a tray icon");
  shell->setExitHandler([] { loop->postQuit(0); });
  loop->setTimer(TIMER_PING, 10000, &timers);
  loop->setTimer(TIMER_TICK, 1000, &timers);

  sink = new QelPSink();
  console = new App();
  sink->registerHandleImage(console);
  sink->registerHandleUpdate(console);
  sink->registerHandleStatus(console);
  sink->registerHandleDisconnect(console);
}

void serviceFailed() {
  LOG_ERR("the DDE service could not be started; ending");
  shell->messageBox(
      "The DDE service TAVRO could not be started, so no spreadsheet can reach this program.\n"
      "Its log (standard output) gives the reason. Is another copy of the program running?",
      "TAVRO", Shell::BUTTONS_OK);
  loop->postQuit(1);
}

void openRtdDoor() {
  // Before the sign-in dialog: a spreadsheet that started the program waits
  // for COM's answer, and the trader may take a while to sign in. Before the
  // first window too, so that COM's apartment is the program's own.
  RtdTopics::setMarketsKnown(false);
  if (!rtdOpen(&rtdTopicsFactory)) LOG_ERR("the RTD server could not be registered; spreadsheets reach TAVRO by DDE only");
}

void shutDown() {
  if (shell) shell->trayRemove();
  rtdClose();
  closeDDE();
  flushLogLimits();  // what was held back is counted before the program ends
}

bool anotherCopyRuns(Shell& platformShell, bool startedByCom) {
  if (claimOnlyCopy()) return false;
  // Nobody asked for a window when COM started this copy: a box would wait
  // for a click that never comes, with the spreadsheet waiting behind it.
  if (startedByCom) {
    LOG_WRN("started for a spreadsheet's RTD link, but another copy is running and serves it; this one ends");
    return true;
  }
  LOG_WRN("another copy is running; this one ends");
  platformShell.messageBox("TavroDDE is already running; its icon is in the notification area.", "TAVRO",
                           Shell::BUTTONS_OK);
  return true;
}

int tavroMain(Shell& platformShell, EventLoop& eventLoop, bool startedByCom) {
  if (anotherCopyRuns(platformShell, startedByCom)) return 0;
  openRtdDoor();
  startUp(platformShell, eventLoop);
  connect();
  loop->setAfterEvent(updateStats);
  int code = loop->run();
  shutDown();
  return code;
}
