#pragma once
// One frame of the feed protocol, laid over the contiguous block that holds
// its bytes (little-endian, unaligned):
//   length u32 | type u8 | rid_length u8 | reserved u8 | rid | NUL | data | 'J'
// where length counts every byte of the frame. A QelMessage owns nothing;
// whoever allocated the block frees it (release() for blocks from create()).

#include <cstdint>
#include <string>

typedef const char* QelRID;

enum : unsigned char {
  QELMSG_OPEN = 0,
  QELMSG_CLOSE = 1,
  QELMSG_SNAPSHOT = 2,
  QELMSG_IMAGE = 3,
  QELMSG_UPDATE = 4,
  QELMSG_STATUS = 5,
  QELMSG_PING = 6,
  QELMSG_PING_ACK = 7,
  QELMSG_PUBLISH = 8,
  QELMSG_NAME = 9,
};
const int QELMSG_NUM_TYPES = 10;

const std::uint32_t QELMSG_HEADER_SIZE = 7;   // length, type, rid_length, reserved
const std::uint32_t QELMSG_MIN_LENGTH = 9;    // header, RID terminator, trailer
const unsigned QELMSG_MAX_RID_LENGTH = 255;
const char QELMSG_TRAILER = 'J';

class QelMessage {
 public:
  // A data-less frame in a zero-filled block with `max_size` bytes spare for
  // data. Null when `rid` is longer than a frame can carry.
  static QelMessage* create(unsigned char type, QelRID rid, int max_size);
  static void release(QelMessage* msg);
  // Views `block` (at least 7 bytes, the frame's start) as a frame.
  static QelMessage* at(char* block) { return reinterpret_cast<QelMessage*>(block); }
  static const QelMessage* at(const char* block) { return reinterpret_cast<const QelMessage*>(block); }

  // Rewrites the frame as a data-less one; false (nothing changed) for a RID over 255 bytes.
  bool set(unsigned char type, QelRID rid);
  // Puts `data_length` bytes of data after the RID; the block must have room.
  void set(const char* data, int data_length);

  std::uint32_t getLength() const;
  unsigned char getType() const { return static_cast<unsigned char>(bytes()[4]); }
  QelRID getRID() const { return bytes() + QELMSG_HEADER_SIZE; }
  unsigned getRIDLength() const { return static_cast<unsigned char>(bytes()[5]); }
  char* getData() { return block() + QELMSG_HEADER_SIZE + 1 + getRIDLength(); }
  const char* getData() const { return bytes() + QELMSG_HEADER_SIZE + 1 + getRIDLength(); }
  std::uint32_t getDataLength() const;
  // The trailer is 'J', the RID's terminator is NUL, and both lie inside `length`.
  bool isValid() const;
  const char* bytes() const { return reinterpret_cast<const char*>(this); }
  // Hex and character dump of the frame on standard output.
  void debug() const;

  QelMessage() = delete;

 private:
  void setLength(std::uint32_t length);
  // The object has no members of its own: every byte, header included, is
  // the block's, so no member size bounds what the frame may hold.
  char* block() { return reinterpret_cast<char*>(this); }
};

// A record identifier as it may appear in the log: the login record's last
// component (the password) is masked.
std::string loggableRID(QelRID rid);

std::uint32_t readLE32(const void* p);
void writeLE32(void* p, std::uint32_t value);
