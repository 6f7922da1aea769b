#include "feed/QelField.h"

#include <cstring>
#include <new>

#include "net/QelMessage.h"
#include "support/Log.h"

QelField* QelField::create(QelFID fid, const char* data, std::uint32_t length, std::uint16_t flags) {
  if (length > QELFIELD_MAX_LENGTH) {
    LOG_ERR("field " << fid << " of " << length << " bytes is too long");
    return nullptr;
  }
  std::size_t size = static_cast<std::size_t>(length) + QELFIELD_SIZE;
  char* block = new (std::nothrow) char[size]();
  if (!block) {
    LOG_ERR("no memory for field " << fid << " of " << length << " bytes");
    return nullptr;
  }
  QelField* field = at(block);
  writeLE32(block, fid);
  writeLE32(block + 4, length);
  field->setFlags(flags);
  if (data && length) std::memcpy(field->getData(), data, length);
  return field;
}

QelField* QelField::clone(const QelField& field) {
  if (field.getLength() > QELFIELD_MAX_LENGTH) {
    LOG_ERR("field " << field.getFID() << " of " << field.getLength() << " bytes is too long");
    return nullptr;
  }
  std::size_t size = static_cast<std::size_t>(field.getSize());
  char* block = new (std::nothrow) char[size];
  if (!block) {
    LOG_ERR("no memory for field " << field.getFID() << " of " << field.getLength() << " bytes");
    return nullptr;
  }
  std::memcpy(block, field.bytes(), size);
  return at(block);
}

void QelField::release(QelField* field) { delete[] reinterpret_cast<char*>(field); }

QelFID QelField::getFID() const { return readLE32(m_header); }

std::uint32_t QelField::getLength() const { return readLE32(m_header + 4); }

std::uint16_t QelField::getFlags() const {
  return static_cast<std::uint16_t>(m_header[8] | m_header[9] << 8);
}

void QelField::setFID(QelFID fid) { writeLE32(m_header, fid); }

void QelField::setFlags(std::uint16_t flags) {
  m_header[8] = static_cast<unsigned char>(flags);
  m_header[9] = static_cast<unsigned char>(flags >> 8);
}

std::ostream& operator<<(std::ostream& out, const QelField& field) {
  out << " ( " << field.getFID() << ", " << field.getLength() << ", ";
  out.write(field.getData(), static_cast<std::streamsize>(field.getLength()));
  return out << " )";
}
