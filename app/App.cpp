#include "app/App.h"

#include <cstring>

#include "app/TavroDDE.h"
#include "dde/Stock.h"
#include "feed/Market.h"
#include "feed/QelUpdate.h"
#include "support/Log.h"

void App::handleImage(QelSink& sink, QelMessage* msg) { handleRecord(sink, msg); }

void App::handleUpdate(QelSink& sink, QelMessage* msg) { handleRecord(sink, msg); }

void App::handleRecord(QelSink& sink, QelMessage* msg) {
  QelRID rid = msg->getRID();
  if (std::strncmp(rid, "AUTH^", 5) == 0) {
    handleAuthImage(msg);
    return;
  }
  // A Stock tags the records it opens; others are found by name.
  Stock* stock = static_cast<Stock*>(sink.recordOwner());
  if (!stock) {
    std::string symbol = makeSymbol(rid);
    auto it = stocks.find(symbol);
    // An empty symbol is a Stock too: every topic without a market part maps to it.
    if (it == stocks.end()) {
      // Only a server sending records we never opened gets here: drop the frame.
      LOG_ERR_CAPPED("Can't find stock (" << symbol << ")");
      return;
    }
    stock = &it->second;
  }
  QelUpdate update;
  update.setBuffer(msg->getData(), msg->getDataLength());
  if (std::strncmp(rid, "SYM^", 4) == 0)
    stock->symbolImage(&update);
  else
    stock->image(&update);
}

void App::handleStatus(QelSink&, QelRID rid, int, int new_status) {
  // Each record's first status in a window is named: a refused instrument never hides behind another.
  LOG_INF_CAPPED_BY(loggableRID(rid), "status " << new_status << " (" << loggableRID(rid) << ")");
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
