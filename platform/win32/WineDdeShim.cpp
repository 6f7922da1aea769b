// Built into the Wine test build only (TAVRO_WINE_DDE_SHIM): Wine's
// DdePostAdvise does nothing for a null item, where Windows notifies every
// advise loop on the topic. The shim watches the loops start and end through
// the DDE callback and posts a null-item notification item by item.

#if defined(TAVRO_WINE_DDE_SHIM)

#include "platform/ddeml.h"

#include <vector>

#undef DdeInitializeW
#undef DdePostAdvise

namespace {

struct Link {
  HCONV conv;
  HSZ topic;
  HSZ item;
};

DWORD shimInstance = 0;
PFNCALLBACK serverCallback = nullptr;
std::vector<Link> links;

void forget(const Link& link) {
  DdeFreeStringHandle(shimInstance, link.topic);
  DdeFreeStringHandle(shimInstance, link.item);
}

HDDEDATA CALLBACK shimCallback(UINT uType, UINT uFmt, HCONV hconv, HSZ hsz1, HSZ hsz2, HDDEDATA hdata,
                               ULONG_PTR dwData1, ULONG_PTR dwData2) {
  HDDEDATA result = serverCallback(uType, uFmt, hconv, hsz1, hsz2, hdata, dwData1, dwData2);
  if (uType == XTYP_ADVSTART && result) {
    DdeKeepStringHandle(shimInstance, hsz1);
    DdeKeepStringHandle(shimInstance, hsz2);
    links.push_back(Link{hconv, hsz1, hsz2});
  } else if (uType == XTYP_ADVSTOP || uType == XTYP_DISCONNECT) {
    for (auto it = links.begin(); it != links.end();) {
      bool ends = it->conv == hconv && (uType == XTYP_DISCONNECT || DdeCmpStringHandles(it->item, hsz2) == 0);
      if (ends) {
        forget(*it);
        it = links.erase(it);
      } else {
        ++it;
      }
    }
  }
  return result;
}

}  // namespace

UINT tavroDdeInitializeW(DWORD* pidInst, PFNCALLBACK pfnCallback, DWORD afCmd, DWORD ulRes) {
  serverCallback = pfnCallback;
  UINT rc = DdeInitializeW(pidInst, shimCallback, afCmd, ulRes);
  shimInstance = *pidInst;
  return rc;
}

BOOL tavroDdePostAdvise(DWORD idInst, HSZ hszTopic, HSZ hszItem) {
  if (hszItem) return DdePostAdvise(idInst, hszTopic, hszItem);
  // The items first: posting calls back into the server, which may end loops.
  std::vector<HSZ> items;
  for (const Link& link : links) {
    if (DdeCmpStringHandles(link.topic, hszTopic) != 0) continue;
    bool seen = false;
    for (HSZ item : items) seen = seen || DdeCmpStringHandles(item, link.item) == 0;
    if (!seen) {
      DdeKeepStringHandle(idInst, link.item);
      items.push_back(link.item);
    }
  }
  BOOL ok = TRUE;
  for (HSZ item : items) {
    if (!DdePostAdvise(idInst, hszTopic, item)) ok = FALSE;
    DdeFreeStringHandle(idInst, item);
  }
  return ok;
}

#endif
