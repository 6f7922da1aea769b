#pragma once
// The bounds the POSIX DDE server keeps per client, so that a slow, dead or
// hostile client costs a known amount of memory and never stalls the feed,
// and the few knobs tests turn to see them act (in ddeml.cpp).

#include <cstddef>

#include "platform/ddeml.h"

// A client that has data waiting and reads none of it for this long is dropped.
const int DDE_BRIDGE_STALL_LIMIT_MS = 30000;
// A client that holds part of a message for this long without sending the
// rest is dropped: it costs a buffer and a place under the client cap.
const int DDE_BRIDGE_PARTIAL_LIMIT_MS = 10000;
// Answers (not advise data) queued for one client; beyond it the client is
// flooding requests without reading and is dropped.
const std::size_t DDE_BRIDGE_MAX_PENDING_REPLIES = 256;
// Everything queued for one client: answers, one slot per advise loop, and
// the part of the socket write under way.
const std::size_t DDE_BRIDGE_MAX_PENDING_BYTES = 4u << 20;
// Transactions held for one disabled conversation (DdeEnableCallback).
const std::size_t DDE_BRIDGE_MAX_WAITING = 256;
const std::size_t DDE_BRIDGE_MAX_CONVERSATIONS = 1024;  // per client
const std::size_t DDE_BRIDGE_MAX_LOOPS = 4096;          // per client
const std::size_t DDE_BRIDGE_MAX_CLIENTS = 1000;        // per instance
// Messages of one client handled in one turn of the event loop; the rest wait
// their turn, so that a client's flood holds up the feed only that long.
const std::size_t DDE_BRIDGE_MESSAGES_PER_TURN = 64;
// Kernel send buffer asked for each client socket: data in it can no longer
// be replaced by newer values, so it is kept small.
const int DDE_BRIDGE_SOCKET_BUFFER = 64 * 1024;

// Replaces the stall limit (ms > 0), or restores DDE_BRIDGE_STALL_LIMIT_MS (ms 0).
void ddeBridgeSetStallLimitMs(int ms);
int ddeBridgeStallLimitMs();
// Replaces the unfinished-message limit (ms > 0), or restores DDE_BRIDGE_PARTIAL_LIMIT_MS (ms 0).
void ddeBridgeSetPartialLimitMs(int ms);
// Bytes the instance holds queued for all its clients.
std::size_t ddeBridgePendingBytes(DWORD idInst);
// Clients the instance has accepted and not yet dropped.
std::size_t ddeBridgeClientCount(DWORD idInst);
