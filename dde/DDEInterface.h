#pragma once
// The DDE service "TAVRO": starts and stops the service, receives every DDE
// transaction in one callback, and keeps the live conversations. Requests and
// advise loops are answered in DdeRequests, values rendered in DdeFormats.
// Everything runs on the program's one thread; the library also calls back
// from inside DdePostAdvise.

#include <cstdint>
#include <unordered_map>

#include "feed/StdFID.h"
#include "platform/ddeml.h"

class Conversation;

extern DWORD ddeInstance;
// One handle per named field, indexed by FID; null for FIDs without a name.
extern HSZ fidItems[NUM_FIDS];
extern UINT xltableFmt;
// Conversation handle -> Conversation; the map owns them.
extern std::unordered_map<std::intptr_t, Conversation*> conversationMap;

// False, with an ERR line, when the service could not be registered: no
// client can reach the program then.
bool openDDE();
void closeDDE();
HDDEDATA CALLBACK DdeCallback(UINT uType, UINT uFmt, HCONV hconv, HSZ hsz1, HSZ hsz2, HDDEDATA hdata,
                              ULONG_PTR dwData1, ULONG_PTR dwData2);

// The conversation transactions of the callback. The shell connects to the
// feed under the same names, hence the namespace.
namespace dde {
// `topicHandle` is the client's own: advise data is posted under it.
void connect(HCONV hconv, HSZ topicHandle, const char* topic);
HDDEDATA wildConnect(HCONV hconv, const char* topic, const char* service, UINT format);
void disconnect(HCONV hconv);
}  // namespace dde

Conversation* findConversation(HCONV hconv);
// Ends the conversations whose client has gone without terminating them;
// called on the one-second tick.
void endAbandonedConversations();
