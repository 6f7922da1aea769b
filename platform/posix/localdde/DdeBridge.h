#pragma once
// The wire protocol between the POSIX DDE server (DdeServer.h beside this)
// and its clients (tools/ddeclient), and where its sockets live. Both sides
// use this one encoder and decoder. A decoder reads untrusted bytes: every
// length is checked where it is read, and a bad message is refused whole.
//
// Transport: a Unix-domain stream socket per service, named after the service
// in upper case, in a private directory of the user (mode 0700):
// $TAVRO_DDE_DIR, else $XDG_RUNTIME_DIR/tavrodde, else /tmp/tavrodde-<uid>.
//
// Every message is a frame: u32 size, then `size` bytes of body, with
// 1 <= size <= DDE_BRIDGE_MAX_MESSAGE. All numbers are little-endian and
// unaligned. The body is a u8 kind followed by the kind's fields:
//
//   str   u8 n, then n bytes (UTF-8, no NUL); names are at most 255 bytes
//   fmt   u32 code, then str name: a standard clipboard format by its number
//         (name empty), or a registered one by its name (code 0)
//   blob  u32 n, then n bytes
//
// Client to server; `xid` is the client's tag, echoed in the answer:
//   0x01 CONNECT     xid, service str, topic str   (an empty one is a wildcard)
//   0x02 REQUEST     xid, conv u32, item str, fmt
//   0x03 ADVSTART    xid, conv, item, fmt
//   0x04 ADVSTOP     xid, conv, item, fmt
//   0x05 POKE        xid, conv, item, fmt, data blob
//   0x06 EXECUTE     xid, conv, command blob
//   0x07 TERMINATE   conv                          (no answer)
// Server to client:
//   0x81 CONNECTED   xid, u16 n, n times (conv u32, service str, topic str);
//                    one entry for a connect, one per pair for a wildcard,
//                    none when refused
//   0x82 DATA        xid, conv, u8 ok, data fmt, data blob   (answers REQUEST)
//   0x83 ACK         xid, conv, u8 ok          (ADVSTART, ADVSTOP, POKE, EXECUTE)
//   0x84 ADVISE      conv, item str, loop fmt, data fmt, data blob
//   0x85 TERMINATED  conv                          (the server ended it)
// The loop's item and format in ADVISE are the ones the client started it
// with; the data format may differ (an error text in a table loop). Answers
// on different conversations may overtake each other; on one they do not.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

const std::size_t DDE_BRIDGE_MAX_MESSAGE = 65536;
const std::size_t DDE_BRIDGE_MAX_NAME = 255;
const std::size_t DDE_BRIDGE_MAX_PAIRS = 100;

enum DdeBridgeKind : std::uint8_t {
  DDE_BRIDGE_CONNECT = 0x01,
  DDE_BRIDGE_REQUEST = 0x02,
  DDE_BRIDGE_ADVSTART = 0x03,
  DDE_BRIDGE_ADVSTOP = 0x04,
  DDE_BRIDGE_POKE = 0x05,
  DDE_BRIDGE_EXECUTE = 0x06,
  DDE_BRIDGE_TERMINATE = 0x07,
  DDE_BRIDGE_CONNECTED = 0x81,
  DDE_BRIDGE_DATA = 0x82,
  DDE_BRIDGE_ACK = 0x83,
  DDE_BRIDGE_ADVISE = 0x84,
  DDE_BRIDGE_TERMINATED = 0x85,
};

inline bool ddeBridgeFromClient(std::uint8_t kind) { return kind >= DDE_BRIDGE_CONNECT && kind <= DDE_BRIDGE_TERMINATE; }
inline bool ddeBridgeFromServer(std::uint8_t kind) { return kind >= DDE_BRIDGE_CONNECTED && kind <= DDE_BRIDGE_TERMINATED; }

struct DdeBridgeFormat {
  std::uint32_t code = 0;
  std::string name;
  static DdeBridgeFormat standard(std::uint32_t code);
  static DdeBridgeFormat registered(const std::string& name);
  // Registered names compare regardless of letter case.
  bool sameAs(const DdeBridgeFormat& other) const;
  bool operator==(const DdeBridgeFormat& other) const { return code == other.code && name == other.name; }
};

struct DdeBridgePair {
  std::uint32_t conv = 0;
  std::string service;
  std::string topic;
  bool operator==(const DdeBridgePair& o) const { return conv == o.conv && service == o.service && topic == o.topic; }
};

// One message of either direction; a kind uses only its own fields.
struct DdeBridgeMessage {
  std::uint8_t kind = 0;
  std::uint32_t xid = 0;
  std::uint32_t conv = 0;
  std::string service;
  std::string topic;
  std::string item;
  DdeBridgeFormat format;      // REQUEST, ADVSTART, ADVSTOP, POKE; the loop's in ADVISE
  DdeBridgeFormat dataFormat;  // DATA, ADVISE
  bool ok = false;
  std::string data;  // POKE, EXECUTE, DATA, ADVISE
  std::vector<DdeBridgePair> pairs;
  bool operator==(const DdeBridgeMessage& o) const;
};

// Appends the framed message to `out`. False, leaving `out` as it was, when a
// name is too long or the frame would exceed DDE_BRIDGE_MAX_MESSAGE.
bool ddeBridgeEncode(const DdeBridgeMessage& message, std::string& out);
// An ADVISE frame in two parts, so that a server sending one loop's values
// encodes what the loop repeats only once: `head` gets the item and the loop
// format (short enough to stay inside a std::string for the usual names);
// ddeBridgeAppendAdvise appends the whole frame of one value, the bytes
// ddeBridgeEncode gives for the same message. Both false, changing nothing,
// where ddeBridgeEncode would fail.
bool ddeBridgeAdviseHead(const std::string& item, const DdeBridgeFormat& loopFormat, std::string& head);
bool ddeBridgeAppendAdvise(std::uint32_t conv, const std::string& head, const DdeBridgeFormat& dataFormat,
                           const char* data, std::size_t size, std::string& out);
// Decodes one frame body (without its size word). False, with the reason in
// `error`, for an unknown kind, a length past the end, trailing bytes, a name
// that is too long or holds a NUL, or an ok flag that is neither 0 nor 1.
bool ddeBridgeDecode(const char* body, std::size_t length, DdeBridgeMessage& out, std::string& error);

// Cuts a byte stream into messages. Holds at most one partial frame; a bad
// size word or body makes the stream unusable (a peer that sends one is dropped).
class DdeBridgeReader {
 public:
  void append(const char* data, std::size_t length);
  // 1: `out` holds the next message; 0: more bytes are needed; -1: malformed,
  // `error()` says why, and every later call returns -1.
  int next(DdeBridgeMessage& out);
  const std::string& error() const { return m_error; }
  std::size_t buffered() const { return m_buffer.size() - m_offset; }

 private:
  std::string m_buffer;
  std::size_t m_offset = 0;
  std::string m_error;
};

// The socket directory by the rule above (not created here).
std::string ddeBridgeDirectory();
// Opens `dir` (O_DIRECTORY | O_NOFOLLOW, so never through a link) and checks on
// the descriptor that it is a directory owned by this user with no group or
// other access; with `create`, a missing one is made, and its mode set to
// 0700 through the descriptor. The descriptor, or -1 with the reason in `error`.
int ddeBridgeOpenDirectory(const std::string& dir, bool create, std::string& error);
// The same check, for a client that only looks.
bool ddeBridgeCheckDirectory(const std::string& dir, bool create, std::string& error);
// The socket path of `service` in `dir`: the name upper-cased; only letters,
// digits, '_', '-' and '.' (not first) are allowed, and the path must fit a
// socket address. False with the reason in `error` otherwise.
bool ddeBridgeSocketPath(const std::string& dir, const std::string& service, std::string& path, std::string& error);
