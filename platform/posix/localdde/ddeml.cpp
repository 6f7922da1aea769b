// The DDE Management Library subset of platform/ddeml.h for POSIX. Each call
// checks its arguments and hands over to the handle tables (DdeHandles.h) or
// the server (DdeServer.h); a call that may reach the callback is an Entry.

#include "platform/ddeml.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/localdde/DdeBridgeLimits.h"
#include "platform/posix/localdde/DdeServer.h"
#include "support/Log.h"

using namespace localdde;

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
  in->id = lib.nextInstance++;
  in->callback = pfnCallback;
  in->flags = afCmd;
  *pidInst = in->id;
  lib.instances[in->id] = std::move(in);
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
  retireInstance(idInst);
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
  return lib.strings.add(idInst, fromAnsi(psz));
}

HSZ DdeCreateStringHandleW(DWORD idInst, const WCHAR* psz, int) {
  if (!findInstance(idInst) || !psz) return nullptr;
  return lib.strings.add(idInst, std::wstring(psz));
}

DWORD DdeQueryStringA(DWORD idInst, HSZ hsz, char* psz, DWORD cchMax, int) {
  StringEntry* e = findInstance(idInst) ? lib.strings.find(hsz) : nullptr;
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
  StringEntry* e = findInstance(idInst) ? lib.strings.find(hsz) : nullptr;
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

int DdeCmpStringHandles(HSZ hsz1, HSZ hsz2) { return lib.strings.compare(hsz1, hsz2); }

BOOL DdeFreeStringHandle(DWORD idInst, HSZ hsz) {
  if (!findInstance(idInst)) return FALSE;
  return lib.strings.release(idInst, hsz) ? TRUE : FALSE;
}

BOOL DdeKeepStringHandle(DWORD idInst, HSZ hsz) {
  if (!findInstance(idInst) || !lib.strings.find(hsz)) return FALSE;
  lib.strings.take(idInst, hsz);
  return TRUE;
}

// ---- Data handles

HDDEDATA DdeCreateDataHandle(DWORD idInst, const BYTE* pSrc, DWORD cb, DWORD cbOff, HSZ hszItem, UINT wFmt,
                             UINT afCmd) {
  if (!findInstance(idInst)) return nullptr;
  if (cb > DataTable::MAX_BYTES) {
    LOG_WRN("DDE data handle of " << cb << " bytes refused");
    return nullptr;
  }
  return lib.datas.add(idInst, pSrc ? pSrc + cbOff : nullptr, cb, hszItem, wFmt, (afCmd & HDATA_APPOWNED) != 0);
}

BYTE* DdeAccessData(HDDEDATA hData, DWORD* pcbDataSize) {
  DataEntry* d = lib.datas.find(hData);
  if (!d) return nullptr;
  if (pcbDataSize) *pcbDataSize = static_cast<DWORD>(d->bytes.size());
  return reinterpret_cast<BYTE*>(&d->bytes[0]);
}

BOOL DdeUnaccessData(HDDEDATA hData) { return lib.datas.find(hData) ? TRUE : FALSE; }

DWORD DdeGetData(HDDEDATA hData, BYTE* pDst, DWORD cbMax, DWORD cbOff) {
  DataEntry* d = lib.datas.find(hData);
  if (!d) return 0;
  const std::string& bytes = d->bytes;
  if (!pDst) return static_cast<DWORD>(bytes.size());
  if (cbOff >= bytes.size()) return 0;
  std::size_t n = std::min<std::size_t>(cbMax, bytes.size() - cbOff);
  std::memcpy(pDst, bytes.data() + cbOff, n);
  return static_cast<DWORD>(n);
}

BOOL DdeFreeDataHandle(HDDEDATA hData) { return lib.datas.erase(hData) ? TRUE : FALSE; }

// ---- Advise loops and callbacks

BOOL DdePostAdvise(DWORD idInst, HSZ hszTopic, HSZ hszItem) {
  Entry entry;
  Instance* in = findInstance(idInst);
  if (!in || !hszTopic) return FALSE;
  return postAdvise(*in, hszTopic, hszItem) ? TRUE : FALSE;
}

BOOL DdeEnableCallback(DWORD idInst, HCONV hConv, UINT wCmd) {
  Instance* in = findInstance(idInst);
  if (!in) return FALSE;
  return enableCallback(*in, hConv, wCmd) ? TRUE : FALSE;
}

UINT RegisterClipboardFormatA(const char* lpszFormat) {
  if (!lpszFormat || !*lpszFormat) return 0;
  return lib.formats.registerName(fromAnsi(lpszFormat));
}

// ---- Test knobs

void ddeBridgeSetStallLimitMs(int ms) {
  lib.stallLimitMs = ms > 0 ? ms : DDE_BRIDGE_STALL_LIMIT_MS;
  updateTimers();
}

int ddeBridgeStallLimitMs() { return lib.stallLimitMs; }

void ddeBridgeSetPartialLimitMs(int ms) {
  lib.partialLimitMs = ms > 0 ? ms : DDE_BRIDGE_PARTIAL_LIMIT_MS;
  updateTimers();
}

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
