#include "dde/DDEInterface.h"

#include <cstring>
#include <unordered_map>
#include <vector>

#include "dde/Conversation.h"
#include "dde/DdeRequests.h"
#include "dde/Stock.h"
#include "feed/StdFID.h"
#include "support/Log.h"
#include "support/Unicode.h"

DWORD ddeInstance = 0;
HSZ fidItems[NUM_FIDS] = {};
UINT xltableFmt = 0;
std::unordered_map<std::intptr_t, Conversation*> conversationMap;

namespace {

HSZ ddeServiceName = nullptr;
HSZ ddeSystem = nullptr;
HSZ ddeTopics = nullptr;
HSZ ddeSysItems = nullptr;
HSZ ddeFormats = nullptr;

const std::size_t NAME_BUFFER = 128;

// Every update of a watched instrument asks for each of its loops' data; this
// spares that path turning the item handle back into a name. Filled when the
// service starts; it goes with the instance, whose handles they are.
std::unordered_map<HSZ, int> fidsByItem;

// The whole handle: a long is 32 bits on 64-bit Windows and would cut it.
std::intptr_t keyOf(HCONV hconv) { return reinterpret_cast<std::intptr_t>(hconv); }

const void* ptr(HCONV hconv) { return static_cast<const void*>(hconv); }

// Reads a string handle into a 128-byte buffer; false when its text is longer
// than the buffer holds, since a cut name could name another instrument.
bool queryName(HSZ hsz, char (&out)[NAME_BUFFER]) {
  out[0] = '\0';
  if (!hsz) return true;
  DWORD length = DdeQueryStringA(ddeInstance, hsz, nullptr, 0, CP_WINANSI);
  DdeQueryStringA(ddeInstance, hsz, out, NAME_BUFFER, CP_WINANSI);
  out[NAME_BUFFER - 1] = '\0';
  return length < NAME_BUFFER;
}

// Whether `ansi`, the topic as the callback read it, is the client's topic
// itself. A character Windows-1252 cannot show reads as "?" (lse_vod_中 as
// lse_vod_?), which names another instrument: such a topic is refused.
bool readWhole(HSZ hsz, const char* ansi) {
  WCHAR wide[NAME_BUFFER] = {};
  if (hsz) DdeQueryStringW(ddeInstance, hsz, wide, NAME_BUFFER, CP_WINUNICODE);
  wchar_t back[NAME_BUFFER] = {};
  CodePageToUnicode(CODEPAGE_1252, ansi, back, static_cast<int>(NAME_BUFFER) - 1);
  for (std::size_t i = 0; i < NAME_BUFFER; ++i) {
    if (static_cast<std::uint32_t>(wide[i]) != static_cast<std::uint32_t>(back[i])) return false;
    if (!wide[i]) return true;
  }
  return true;
}

}  // namespace

bool openDDE() {
  DdeInitializeW(&ddeInstance, DdeCallback, CBF_FAIL_EXECUTES, 0);
  if (!ddeInstance) {
    LOG_ERR("DdeInitializeW failed");
    return false;
  }
  xltableFmt = RegisterClipboardFormatA("XlTable");
  for (const auto& entry : fidMap) {
    char name[NAME_BUFFER];
    std::strncpy(name, entry.first.c_str(), sizeof name - 1);
    name[sizeof name - 1] = '\0';
    if (entry.second > 0 && entry.second < NUM_FIDS) {
      fidItems[entry.second] = DdeCreateStringHandleA(ddeInstance, name, CP_WINANSI);
      if (fidItems[entry.second]) fidsByItem[fidItems[entry.second]] = entry.second;
    }
  }
  ddeServiceName = DdeCreateStringHandleA(ddeInstance, "TAVRO", CP_WINANSI);
  bool registered = DdeNameService(ddeInstance, ddeServiceName, nullptr, DNS_REGISTER) != nullptr;
  if (!registered) LOG_ERR("DdeNameService failed");
  ddeSystem = DdeCreateStringHandleA(ddeInstance, "System", CP_WINANSI);
  ddeTopics = DdeCreateStringHandleA(ddeInstance, "Topics", CP_WINANSI);
  ddeSysItems = DdeCreateStringHandleA(ddeInstance, "SysItems", CP_WINANSI);
  ddeFormats = DdeCreateStringHandleA(ddeInstance, "Formats", CP_WINANSI);
  // Stocks named before the service existed get their topic handles now.
  for (auto& entry : stocks)
    if (!entry.second.topic) entry.second.topic = DdeCreateStringHandleA(ddeInstance, entry.first.c_str(), CP_WINANSI);
  return registered;
}

void closeDDE() {
  if (!ddeInstance) return;
  DdeNameService(ddeInstance, ddeServiceName, nullptr, DNS_UNREGISTER);
  DdeFreeStringHandle(ddeInstance, ddeServiceName);
  DdeUninitialize(ddeInstance);
  ddeInstance = 0;
  // The instance's string handles went with it.
  ddeServiceName = ddeSystem = ddeTopics = ddeSysItems = ddeFormats = nullptr;
  for (HSZ& item : fidItems) item = nullptr;
  for (auto& entry : stocks) entry.second.topic = nullptr;
  for (auto& entry : conversationMap) entry.second->topic = nullptr;
  fidsByItem.clear();
}

HDDEDATA CALLBACK DdeCallback(UINT uType, UINT uFmt, HCONV hconv, HSZ hsz1, HSZ hsz2, HDDEDATA, ULONG_PTR,
                              ULONG_PTR) {
  if (uType == XTYP_ADVREQ) {
    // The loop's conversation names its Stock; the topic handle may be
    // another instrument's where a library matches loops by item alone.
    auto fid = fidsByItem.find(hsz2);
    if (fid != fidsByItem.end()) {
      return loopData(findConversation(hconv), fid->second, hsz2, uFmt);
    }
  }
  char topic[NAME_BUFFER];
  char second[NAME_BUFFER];
  bool topicFits = queryName(hsz1, topic);
  bool secondFits = queryName(hsz2, second);
  bool namesFit = topicFits && secondFits;

  switch (uType) {
    case XTYP_CONNECT:
      LOG_INF("XTYP_CONNECT " << ptr(hconv) << " (" << topic << ") (" << second << ")");
      if (!topicFits || makeRID(topic).empty()) {
        LOG_ERR("refusing topic that does not fit a record identifier (" << topic << "...)");
        return reinterpret_cast<HDDEDATA>(FALSE);
      }
      if (!readWhole(hsz1, topic)) {
        LOG_ERR("refusing topic with characters outside Windows-1252 (" << topic << ")");
        return reinterpret_cast<HDDEDATA>(FALSE);
      }
      return reinterpret_cast<HDDEDATA>(TRUE);
    case XTYP_CONNECT_CONFIRM:
      LOG_INF("XTYP_CONNECT_CONFIRM " << ptr(hconv) << " (" << topic << ") (" << second << ")");
      dde::connect(hconv, hsz1, topic);
      return nullptr;
    case XTYP_WILDCONNECT:
      LOG_INF("XTYP_WILDCONNECT " << ptr(hconv) << " (" << topic << ") (" << second << ")");
      return dde::wildConnect(hconv, topic, second, uFmt);
    case XTYP_REQUEST:
      LOG_INF("XTYP_REQUEST " << ptr(hconv) << " " << topic << " " << second);
      if (!namesFit) return nullptr;
      return request(hconv, topic, second, uFmt);
    case XTYP_ADVSTART:
      LOG_INF("XTYP_ADVSTART " << ptr(hconv) << " " << topic << " " << second);
      if (!namesFit) return reinterpret_cast<HDDEDATA>(FALSE);
      return reinterpret_cast<HDDEDATA>(static_cast<std::intptr_t>(adviseStart(hconv, topic, second, uFmt)));
    case XTYP_ADVREQ:
      if (!namesFit) return errorData(hsz2);
      return adviseRequest(hconv, topic, second, hsz2, uFmt);
    case XTYP_ADVSTOP:
      LOG_INF("XTYP_ADVSTOP " << ptr(hconv) << " " << topic << " " << second);
      adviseStop(hconv, topic, namesFit ? second : "", uFmt);
      return nullptr;
    case XTYP_DISCONNECT:
      LOG_INF("XTYP_DISCONNECT " << ptr(hconv) << " (" << topic << ")");
      dde::disconnect(hconv);
      return nullptr;
    case XTYP_ADVDATA:
      LOG_INF("*** XTYP_ADVDATA");
      return nullptr;
    case XTYP_ERROR:
      LOG_INF("*** XTYP_ERROR");
      return nullptr;
    case XTYP_POKE:
      LOG_INF("*** XTYP_POKE");
      return nullptr;
    case XTYP_MONITOR:
      LOG_INF("*** XTYP_MONITOR");
      return nullptr;
    case XTYP_REGISTER:
      LOG_INF("*** XTYP_REGISTER");
      return nullptr;
    case XTYP_UNREGISTER:
      LOG_INF("*** XTYP_UNREGISTER");
      return nullptr;
    case XTYP_XACT_COMPLETE:
      LOG_INF("*** XTYP_XACT_COMPLETE");
      return nullptr;
    default:
      LOG_INF("XTYP_OTHER " << ptr(hconv) << " " << uType);
      return nullptr;
  }
}

void endAbandonedConversations() {
  std::vector<HCONV> gone;
  for (const auto& entry : conversationMap)
    if (ddeEndIfPartnerGone(entry.second->handle)) gone.push_back(entry.second->handle);
  for (HCONV hconv : gone) {
    // The library may already have reported the end through the callback.
    if (!findConversation(hconv)) continue;
    LOG_INF("the client of conversation " << ptr(hconv) << " has gone; ending it");
    dde::disconnect(hconv);
  }
}

namespace dde {

void connect(HCONV hconv, HSZ topicHandle, const char* topic) {
  if (findConversation(hconv)) {
    // The library reports each conversation once; a repeat is its fault, not a reason to stop serving.
    LOG_ERR("conversation " << ptr(hconv) << " confirmed twice; keeping the first");
    return;
  }
  Conversation* conversation = new Conversation(topic, hconv, topicHandle);
  conversationMap.insert(std::make_pair(keyOf(hconv), conversation));
  LOG_INF("Added " << ptr(hconv) << " to map");
}

HDDEDATA wildConnect(HCONV, const char* topic, const char*, UINT format) {
  if (std::strcmp(topic, "System") != 0) {
    LOG_ERR("Wildcard attempted on " << topic);
    return nullptr;
  }
  LOG_INF("Sending pair..");
  // One pair, the service and its System topic: every pair becomes a
  // conversation, and each conversation a Stock opened on the feed.
  HSZPAIR pairs[2] = {
      {ddeServiceName, ddeSystem},
      {nullptr, nullptr},
  };
  HDDEDATA data = DdeCreateDataHandle(ddeInstance, reinterpret_cast<const BYTE*>(pairs), sizeof pairs, 0, nullptr,
                                      format, 0);
  if (!data) return nullptr;
  LOG_INF("sent...");
  return data;
}

void disconnect(HCONV hconv) {
  auto it = conversationMap.find(keyOf(hconv));
  if (it == conversationMap.end()) {
    LOG_ERR("disconnect of unknown conversation " << ptr(hconv));
    return;
  }
  Conversation* conversation = it->second;
  conversationMap.erase(it);
  delete conversation;
}

}  // namespace dde

Conversation* findConversation(HCONV hconv) {
  auto it = conversationMap.find(keyOf(hconv));
  return it == conversationMap.end() ? nullptr : it->second;
}
