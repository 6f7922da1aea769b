#include "net/QelMessage.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>

#include "support/Log.h"

std::uint32_t readLE32(const void* p) {
  const unsigned char* b = static_cast<const unsigned char*>(p);
  return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
         static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

void writeLE32(void* p, std::uint32_t value) {
  unsigned char* b = static_cast<unsigned char*>(p);
  b[0] = static_cast<unsigned char>(value);
  b[1] = static_cast<unsigned char>(value >> 8);
  b[2] = static_cast<unsigned char>(value >> 16);
  b[3] = static_cast<unsigned char>(value >> 24);
}

std::string loggableRID(QelRID rid) {
  if (!rid) return std::string();
  if (std::strncmp(rid, "AUTH^", 5) != 0) return rid;
  const char* user = rid + 5;
  const char* sep = std::strchr(user, '^');
  return std::string(rid, sep ? static_cast<std::size_t>(sep - rid) + 1 : std::strlen(rid)) + "***";
}

QelMessage* QelMessage::create(unsigned char type, QelRID rid, int max_size) {
  std::size_t ridLength = rid ? std::strlen(rid) : 0;
  if (ridLength > QELMSG_MAX_RID_LENGTH) {
    LOG_ERR("record identifier of " << ridLength << " bytes is too long for a frame");
    return nullptr;
  }
  if (max_size < 0) max_size = 0;
  std::size_t blockSize = static_cast<std::size_t>(max_size) + ridLength + QELMSG_MIN_LENGTH;
  char* block = new (std::nothrow) char[blockSize]();
  if (!block) return nullptr;
  QelMessage* msg = at(block);
  msg->set(type, rid);
  return msg;
}

void QelMessage::release(QelMessage* msg) { delete[] reinterpret_cast<char*>(msg); }

bool QelMessage::set(unsigned char type, QelRID rid) {
  std::size_t ridLength = rid ? std::strlen(rid) : 0;
  if (ridLength > QELMSG_MAX_RID_LENGTH) {
    LOG_ERR("record identifier of " << ridLength << " bytes is too long for a frame");
    return false;
  }
  char* base = block();
  if (ridLength) std::memcpy(base + QELMSG_HEADER_SIZE, rid, ridLength);
  base[QELMSG_HEADER_SIZE + ridLength] = '\0';
  base[QELMSG_HEADER_SIZE + ridLength + 1] = QELMSG_TRAILER;
  base[4] = static_cast<char>(type);
  base[5] = static_cast<char>(static_cast<unsigned char>(ridLength));
  setLength(static_cast<std::uint32_t>(QELMSG_MIN_LENGTH + ridLength));
  return true;
}

void QelMessage::set(const char* data, int data_length) {
  if (data_length < 0) data_length = 0;
  char* dest = getData();
  if (data_length) std::memcpy(dest, data, static_cast<std::size_t>(data_length));
  dest[data_length] = QELMSG_TRAILER;
  setLength(QELMSG_MIN_LENGTH + getRIDLength() + static_cast<std::uint32_t>(data_length));
}

std::uint32_t QelMessage::getLength() const { return readLE32(bytes()); }

void QelMessage::setLength(std::uint32_t length) { writeLE32(block(), length); }

std::uint32_t QelMessage::getDataLength() const {
  std::uint32_t length = getLength();
  std::uint32_t overhead = QELMSG_MIN_LENGTH + getRIDLength();
  return length > overhead ? length - overhead : 0;
}

bool QelMessage::isValid() const {
  std::uint32_t length = getLength();
  if (length < QELMSG_MIN_LENGTH || QELMSG_MIN_LENGTH + getRIDLength() > length) return false;
  const char* base = bytes();
  return base[length - 1] == QELMSG_TRAILER && base[QELMSG_HEADER_SIZE + getRIDLength()] == '\0';
}

void QelMessage::debug() const {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes());
  std::uint32_t length = getLength();
  std::printf("------------\n");
  for (std::uint32_t i = 0; i < length; ++i) {
    std::printf("%02x ", b[i]);
    if (i % 16 == 0) std::printf("\n");
  }
  std::printf("\n-\n");
  for (std::uint32_t i = 0; i < length; ++i) {
    std::printf("%c ", std::isprint(b[i]) ? b[i] : ' ');
    if (i % 16 == 0) std::printf("\n");
  }
  std::printf("\n------------\n");
  std::fflush(stdout);
}
