#pragma once
// One value of a feed record, laid over the contiguous block that holds it:
//   fid u32 | length u32 | flags u16 | data (length bytes, no NUL)
// little-endian and unaligned, the same in a record, in memory and on the
// wire. The whole block is length + QELFIELD_SIZE bytes and is always copied
// as one. A QelField owns nothing; blocks from create() go back through
// release(). The flags are carried unchanged and never interpreted.

#include <cstdint>
#include <ostream>

typedef std::uint32_t QelFID;

const std::uint32_t QELFIELD_SIZE = 10;
// The longest data a field block can describe while its size still fits in 32 bits.
const std::uint32_t QELFIELD_MAX_LENGTH = 0xFFFFFFFFu - QELFIELD_SIZE;

class QelField {
 public:
  // A new block holding `length` bytes of `data` (null data means zeros).
  // Null, with a log line, when the block cannot be made.
  static QelField* create(QelFID fid, const char* data, std::uint32_t length, std::uint16_t flags = 0);
  // A byte-for-byte copy of `field`, to be freed with release().
  static QelField* clone(const QelField& field);
  static void release(QelField* field);
  // Views `block` (at least QELFIELD_SIZE bytes) as a field.
  static QelField* at(char* block) { return reinterpret_cast<QelField*>(block); }
  static const QelField* at(const char* block) { return reinterpret_cast<const QelField*>(block); }

  QelFID getFID() const;
  std::uint32_t getLength() const;
  std::uint16_t getFlags() const;
  char* getData() { return reinterpret_cast<char*>(m_header) + QELFIELD_SIZE; }
  const char* getData() const { return reinterpret_cast<const char*>(m_header) + QELFIELD_SIZE; }
  // Header and data together; 64 bits so that no length can wrap it.
  std::uint64_t getSize() const { return static_cast<std::uint64_t>(getLength()) + QELFIELD_SIZE; }
  char* bytes() { return reinterpret_cast<char*>(m_header); }
  const char* bytes() const { return reinterpret_cast<const char*>(m_header); }

  void setFID(QelFID fid);
  void setFlags(std::uint16_t flags);

  QelField() = delete;
  QelField(const QelField&) = delete;
  QelField& operator=(const QelField&) = delete;

 private:
  unsigned char m_header[QELFIELD_SIZE];
};

// " ( fid, length, data )", the data as characters; the flags are left out.
std::ostream& operator<<(std::ostream& out, const QelField& field);
