#pragma once
// The DDE server "TAVRO": starts and stops the service, receives every DDE
// transaction in one callback, keeps the live conversations, answers requests
// and advise loops from the Stocks, and renders values as CF_TEXT or as
// one-cell XlTable tables. Everything runs on the program's one thread; the
// library also calls back from inside DdePostAdvise.

#include <cstdint>
#include <map>
#include <string>

#include "platform/ddeml.h"

class Conversation;
class Stock;

const int NUM_FID_ITEMS = 226;

extern DWORD ddeInstance;
extern HSZ fidItems[NUM_FID_ITEMS];
extern UINT xltableFmt;
// Conversation handle -> Conversation; the map owns them.
extern std::map<std::intptr_t, Conversation*> conversationMap;

void openDDE();
void closeDDE();
HDDEDATA CALLBACK DdeCallback(UINT uType, UINT uFmt, HCONV hconv, HSZ hsz1, HSZ hsz2, HDDEDATA hdata,
                              ULONG_PTR dwData1, ULONG_PTR dwData2);

void connect(HCONV hconv, const char* topic);
HDDEDATA wildConnect(HCONV hconv, const char* topic, const char* service, UINT format);
void disconnect(HCONV hconv);
Conversation* findConversation(HCONV hconv);

HDDEDATA request(HCONV hconv, const char* topic, const char* item, UINT format);
BOOL adviseStart(HCONV hconv, const char* topic, const char* item, UINT format);
HDDEDATA adviseRequest(HCONV hconv, const char* topic, const char* item, HSZ itemHandle, UINT format);
// The advise data of one loop of `stock`; `fid` may be 0 and `stock` null, both answered "ERROR".
HDDEDATA adviseData(Stock* stock, int fid, HSZ itemHandle, UINT format);
// XTYP_ADVREQ without turning handles back into names: the Stock that owns
// the topic handle and the field of the item handle. Null (and `handled`
// false) when either handle is not one of ours, so the caller goes by name.
HDDEDATA adviseRequestByHandle(HSZ topic, HSZ item, UINT format, bool& handled);
// A Stock that goes takes its topic out of that path's memory.
void forgetStockTopic(HSZ topic);
HDDEDATA adviseStop(HCONV hconv, const char* topic, const char* item);
HDDEDATA errorData(HSZ itemHandle);

// True for CF_TEXT and XlTable. Registered formats may arrive sign-extended
// from a 16-bit field, so only the low 16 bits are compared.
bool isServedFormat(UINT format);
bool isXlTable(UINT format);

// The bytes of a value as handed to clients (and the data handles made of them).
std::string renderText(const Stock* stock, const char* text, int fid);
std::string renderXlTable(const Stock* stock, const char* text, int fid);
std::string xltableStringBytes(const char* text);
std::string xltableFloatBytes(const char* text);
// Local "%H:%M:%S" of decimal seconds since 1970; empty when it cannot be shown.
std::string timeOfDay(const char* text);

HDDEDATA getHandle(Stock* stock, const char* text, UINT format, int fid);
HDDEDATA xltableString(int fid, const char* text);
HDDEDATA xltableFloat(int fid, const char* text);
