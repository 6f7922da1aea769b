#include "app/App.h"

#include <cstring>

#include "app/TavroDDE.h"
#include "dde/Stock.h"
#include "feed/Market.h"
#include "feed/QelUpdate.h"
#include "support/Log.h"

void App::handleImage(QelSink& sink, QelMessage* msg) { handleRecord(sink, msg); }

void App::handleUpdate(QelSink& sink, QelMessage* msg) { handleRecord(sink, msg); }

void App::handleRecord(QelSink&, QelMessage* msg) {
  QelRID rid = msg->getRID();
  if (std::strncmp(rid, "AUTH^", 5) == 0) {
    handleAuthImage(msg);
    return;
  }
  std::string symbol = makeSymbol(rid);
  QelUpdate update;
  update.setBuffer(msg->getData(), msg->getDataLength());
  auto it = stocks.find(symbol);
  // An empty symbol is a Stock too: every topic without a market part maps to it.
  if (it == stocks.end()) {
    // Only a server sending records we never opened gets here: drop the frame.
    LOG_ERR_CAPPED("Can't find stock (" << symbol << ")");
    return;
  }
  if (std::strncmp(rid, "SYM^", 4) == 0)
    it->second.symbolImage(&update);
  else
    it->second.image(&update);
}

void App::handleStatus(QelSink&, QelRID rid, int, int new_status) {
  LOG_INF_CAPPED("status " << new_status << " (" << loggableRID(rid) << ")");
  if (new_status != QELSTATUS_ERROR) return;
  if (std::strncmp(rid, "AUTH^", 5) == 0) {
    notAuthenticated();
    return;
  }
  if (std::strncmp(rid, "SYM^", 4) == 0) return;
  std::string symbol = makeSymbol(rid);
  auto it = stocks.find(symbol);
  if (it == stocks.end()) {
    LOG_ERR_CAPPED("can't find stock (" << symbol << ")");
    return;
  }
  it->second.error();
}

void App::handleDisconnect(QelSink&) { LOG_DBG("disconnect"); }
