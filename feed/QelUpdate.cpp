#include "feed/QelUpdate.h"

#include <cstring>

#include "feed/QelRecord.h"
#include "net/QelMessage.h"
#include "support/Log.h"

// Every command needs this much room, CLEAR included, so that the writer's
// room check is the same for all of them.
static const std::uint32_t MIN_COMMAND_ROOM = 5;
static const std::uint32_t ROW_NUMBER_SIZE = 4;
static const std::uint32_t FIELD_COUNT_SIZE = 4;

QelUpdate::QelUpdate()
    : m_dataLen(0),
      m_bufLen(0),
      m_lastCmd(NONE),
      m_curPos(0),
      m_curRowType(COMMAND),
      m_fieldsLeft(0),
      m_iterating(false),
      m_numRows(nullptr),
      m_numFields(nullptr),
      m_buffer(nullptr) {}

void QelUpdate::setWorkingBuffer(char* buffer, unsigned bufferLength) {
  // A writer may be reused: nothing of the previous stream may leak into
  // the new one, least of all a field count pointing into the old buffer.
  m_iterating = false;
  m_fieldsLeft = 0;
  m_lastCmd = NONE;
  m_numFields = nullptr;
  m_numRows = nullptr;
  m_buffer = buffer;
  m_bufLen = buffer ? bufferLength : 0;
  m_dataLen = 0;
  if (m_bufLen > NUM_ITEMS_SIZE) {
    writeLE32(buffer, 0);
    m_numRows = buffer;
    m_dataLen = NUM_ITEMS_SIZE;
    m_curPos = NUM_ITEMS_SIZE;
    m_curRowType = COMMAND;
  }
}

bool QelUpdate::addCommand(char type, bool followedByFields, unsigned rowNumber, bool isRowNumber) {
  std::uint32_t size = COMMAND_SIZE + (isRowNumber ? ROW_NUMBER_SIZE : 0) + (followedByFields ? FIELD_COUNT_SIZE : 0);
  std::uint32_t room = size > MIN_COMMAND_ROOM ? size : MIN_COMMAND_ROOM;
  if (static_cast<std::uint64_t>(m_dataLen) + room > m_bufLen) {
    LOG_WRN("attempted overwrite " << m_dataLen << " " << m_bufLen);
    return false;
  }
  m_buffer[m_dataLen] = type;
  m_dataLen += COMMAND_SIZE;
  if (isRowNumber) {
    writeLE32(m_buffer + m_dataLen, rowNumber);
    m_dataLen += ROW_NUMBER_SIZE;
  }
  std::uint32_t items = readLE32(m_numRows) + 1;
  if (followedByFields) {
    m_numFields = m_buffer + m_dataLen;
    writeLE32(m_numFields, 0);
    m_dataLen += FIELD_COUNT_SIZE;
    ++items;
  }
  writeLE32(m_numRows, items);
  m_lastCmd = type;
  return true;
}

bool QelUpdate::addRow() { return addCommand(ADD_ROW, true, 0, false); }
bool QelUpdate::insertRow(unsigned row) { return addCommand(INSERT_ROW, true, row, true); }
bool QelUpdate::deleteRow(unsigned row) { return addCommand(DELETE_ROW, false, row, true); }
bool QelUpdate::selectRow(unsigned row) { return addCommand(SELECT_ROW, true, row, true); }
bool QelUpdate::clear() { return addCommand(CLEAR, false, 0, false); }

bool QelUpdate::setField(const QelField* field) {
  if (!field) {
    LOG_WRN("no field to add");
    return false;
  }
  // Only ADD_ROW, INSERT_ROW and SELECT_ROW carry a field list.
  if (m_lastCmd == NONE || m_lastCmd == DELETE_ROW || m_lastCmd == CLEAR || !m_numFields) {
    LOG_WRN("no command, or adding after delete");
    return false;
  }
  std::uint64_t size = field->getSize();
  if (m_dataLen + size > m_bufLen) {
    LOG_WRN("attempted overwrite " << m_dataLen + size << "/" << m_bufLen);
    return false;
  }
  std::memcpy(m_buffer + m_dataLen, field->bytes(), static_cast<std::size_t>(size));
  m_dataLen += static_cast<std::uint32_t>(size);
  writeLE32(m_numFields, readLE32(m_numFields) + 1);
  return true;
}

void QelUpdate::setBuffer(char* buffer, unsigned dataLength) {
  // A new buffer ends any pass over the old one and any stream being written.
  m_iterating = false;
  m_fieldsLeft = 0;
  m_lastCmd = NONE;
  m_numFields = nullptr;
  m_buffer = buffer;
  m_dataLen = buffer ? dataLength : 0;
  m_bufLen = m_dataLen;
  m_numRows = buffer;
  if (m_dataLen > NUM_ITEMS_SIZE) m_curPos = NUM_ITEMS_SIZE;
  m_curRowType = COMMAND;
}

void QelUpdate::startIterating() {
  if (m_dataLen <= NUM_ITEMS_SIZE) return;
  m_iterating = true;
  m_curPos = NUM_ITEMS_SIZE;
  m_curRowType = COMMAND;
  m_fieldsLeft = 0;
}

std::uint32_t QelUpdate::readAt(std::uint32_t pos) const { return readLE32(m_buffer + pos); }

bool QelUpdate::haveBytes(std::uint64_t needed, std::uint32_t pos) {
  if (m_curPos <= m_dataLen && needed <= m_dataLen - m_curPos) return true;
  LOG_ERR_CAPPED("truncated update stream at " << pos);
  m_iterating = false;
  return false;
}

bool QelUpdate::getCommand(char& command, unsigned& rowNum, unsigned& numFields) {
  if (!m_iterating || m_curRowType != COMMAND || m_curPos >= m_dataLen) return false;
  std::uint32_t start = m_curPos;
  char cmd = m_buffer[m_curPos];
  m_curPos += COMMAND_SIZE;
  command = cmd;
  switch (cmd) {
    case ADD_ROW:
      if (!haveBytes(FIELD_COUNT_SIZE, start)) return false;
      break;
    case INSERT_ROW:
    case SELECT_ROW:
      if (!haveBytes(ROW_NUMBER_SIZE + FIELD_COUNT_SIZE, start)) return false;
      rowNum = readAt(m_curPos);
      m_curPos += ROW_NUMBER_SIZE;
      break;
    case DELETE_ROW:
      if (!haveBytes(ROW_NUMBER_SIZE, start)) return false;
      rowNum = readAt(m_curPos);
      m_curPos += ROW_NUMBER_SIZE;
      m_curRowType = COMMAND;
      return true;
    case CLEAR:
      m_curRowType = COMMAND;
      return true;
    default:
      LOG_ERR_CAPPED("bad command " << static_cast<int>(static_cast<signed char>(cmd)));
      return false;
  }
  numFields = readAt(m_curPos);
  m_fieldsLeft = numFields;
  m_curPos += FIELD_COUNT_SIZE;
  m_curRowType = FIELDS;
  return true;
}

bool QelUpdate::getField(QelField*& field) {
  if (!m_iterating || m_curRowType != FIELDS) return false;
  if (m_fieldsLeft == 0) {
    m_curRowType = COMMAND;
    return false;
  }
  std::uint32_t start = m_curPos;
  if (!haveBytes(QELFIELD_SIZE, start)) return false;
  QelField* next = QelField::at(m_buffer + m_curPos);
  if (!haveBytes(next->getSize(), start)) return false;
  field = next;
  m_curPos += static_cast<std::uint32_t>(next->getSize());
  --m_fieldsLeft;
  return true;
}

void QelUpdate::setRecordFields(QelRecord& rec, bool writeFields) {
  QelField* field = nullptr;
  while (getField(field))
    if (writeFields) rec.setField(field);
}

void QelUpdate::apply(QelRecord& img) {
  startIterating();
  char command = NONE;
  unsigned rowNum = 0;
  unsigned numFields = 0;
  while (getCommand(command, rowNum, numFields)) {
    switch (command) {
      case ADD_ROW:
        setRecordFields(img, img.addRow());
        break;
      case INSERT_ROW:
        setRecordFields(img, img.insertRow(rowNum));
        break;
      case SELECT_ROW:
        setRecordFields(img, img.selectRow(rowNum));
        break;
      case DELETE_ROW:
        img.deleteRow(rowNum);
        break;
      case CLEAR:
        img.clear();
        break;
      default:
        break;
    }
  }
  stopIterating();
}

void QelUpdate::printCommand(std::ostream& out, char command) {
  switch (command) {
    case ADD_ROW: out << "ADD_ROW"; break;
    case INSERT_ROW: out << "INSERT_ROW"; break;
    case DELETE_ROW: out << "DELETE_ROW"; break;
    case SELECT_ROW: out << "SELECT_ROW"; break;
    case CLEAR: out << "CLEAR"; break;
    default: out << "ERROR - bad command"; break;
  }
}

std::ostream& operator<<(std::ostream& out, QelUpdate& upd) {
  std::uint32_t items = upd.m_numRows && upd.m_dataLen >= QelUpdate::NUM_ITEMS_SIZE ? readLE32(upd.m_numRows) : 0;
  out << "data_length=" << upd.m_dataLen << ", buffer_length=" << upd.m_bufLen << ", numRows=" << items << '\n';
  upd.startIterating();
  unsigned n = 0;
  char command = QelUpdate::NONE;
  unsigned rowNum = 0;
  unsigned numFields = 0;
  while (upd.getCommand(command, rowNum, numFields)) {
    out << "row( " << n << " )=";
    QelUpdate::printCommand(out, command);
    ++n;
    bool hasFields = command == QelUpdate::ADD_ROW || command == QelUpdate::INSERT_ROW ||
                     command == QelUpdate::SELECT_ROW;
    if (command == QelUpdate::INSERT_ROW || command == QelUpdate::SELECT_ROW || command == QelUpdate::DELETE_ROW)
      out << " " << rowNum;
    out << '\n';
    if (!hasFields) continue;
    out << "row( " << n << ", " << numFields << " )=";
    ++n;
    QelField* field = nullptr;
    while (upd.getField(field)) out << *field;
    out << '\n';
  }
  return out;
}
