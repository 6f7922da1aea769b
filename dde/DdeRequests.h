#pragma once
// Requests and advise loops: which Stock and field a transaction names,
// whether the cache is fresh enough to answer from, when to ask the feed for
// a snapshot, and what a client gets while no value is on hand.

#include "platform/ddeml.h"

class Conversation;
class Stock;

HDDEDATA request(HCONV hconv, const char* topic, const char* item, UINT format);
BOOL adviseStart(HCONV hconv, const char* topic, const char* item, UINT format);
// The loop's Stock is its conversation's: the topic the library reports may
// not be the loop's own.
HDDEDATA adviseRequest(HCONV hconv, const char* topic, const char* item, HSZ itemHandle, UINT format);
// The advise data of one loop of `stock`; `fid` may be 0 and `stock` null, both answered "ERROR".
HDDEDATA adviseData(Stock* stock, int fid, HSZ itemHandle, UINT format);
// The advise data of the loop of `conversation` on `fid` in `format`: none
// (null) once it has had data, unless the value its client sees has changed.
HDDEDATA loopData(Conversation* conversation, int fid, HSZ itemHandle, UINT format);
// Ends the loop on `item` in `format` only; the conversation's other loops go on.
HDDEDATA adviseStop(HCONV hconv, const char* topic, const char* item, UINT format);
HDDEDATA errorData(HSZ itemHandle);
