#pragma once
// The update command stream: a change to a multi-row record as
//   item count u32 | command | command | ...
// where each command is a byte, then a row number (INSERT_ROW, DELETE_ROW,
// SELECT_ROW) and a field count with that many field blocks (ADD_ROW,
// INSERT_ROW, SELECT_ROW); integers little-endian and unaligned. The stream's
// length comes from its container. A QelUpdate only points into memory the
// caller owns: it writes a stream into a working buffer, reads a received one
// in place, and applies one to a QelRecord. Reading never goes past the data
// length: a command or field that would run off the end ends the pass.

#include <cstdint>
#include <ostream>

#include "feed/QelField.h"

class QelRecord;

class QelUpdate {
 public:
  enum : char {
    NONE = 0,
    ADD_ROW = 1,
    INSERT_ROW = 2,
    DELETE_ROW = 3,
    SELECT_ROW = 4,
    CLEAR = 5,
    // What the reader expects next; never in a stream.
    COMMAND = 6,
    FIELDS = 7,
  };
  static const std::uint32_t NUM_ITEMS_SIZE = 4;
  static const std::uint32_t COMMAND_SIZE = 1;

  QelUpdate();
  QelUpdate(const QelUpdate&) = delete;
  QelUpdate& operator=(const QelUpdate&) = delete;

  // Writer. Starts a new stream; buffers of 4 bytes or fewer take no command.
  void setWorkingBuffer(char* buffer, unsigned bufferLength);
  bool addRow();
  bool insertRow(unsigned row);
  bool deleteRow(unsigned row);
  bool selectRow(unsigned row);
  bool clear();
  // Appends to the field list of the last command; refused after DELETE_ROW
  // and CLEAR, which have none.
  bool setField(const QelField* field);
  char* getBuffer() { return m_buffer; }
  unsigned getDataLength() const { return m_dataLen; }
  unsigned getBufferLength() const { return m_bufLen; }

  // Reader: setBuffer, startIterating, then getCommand and, after a command
  // with a field list, getField until false; stopIterating at the end.
  // Fields are pointers into the buffer, valid as long as it is.
  void setBuffer(char* buffer, unsigned dataLength);
  void startIterating();
  void stopIterating() { m_iterating = false; }
  bool getCommand(char& command, unsigned& rowNum, unsigned& numFields);
  bool getField(QelField*& field);
  // Applies the whole stream; what came before a bad command stays applied.
  void apply(QelRecord& img);

  static void printCommand(std::ostream& out, char command);
  friend std::ostream& operator<<(std::ostream& out, QelUpdate& upd);

 private:
  bool addCommand(char type, bool followedByFields, unsigned rowNumber, bool isRowNumber);
  void setRecordFields(QelRecord& rec, bool writeFields);
  // Logs and ends the pass when fewer than `needed` bytes are left at `pos`.
  bool haveBytes(std::uint64_t needed, std::uint32_t pos);
  std::uint32_t readAt(std::uint32_t pos) const;

  std::uint32_t m_dataLen;
  std::uint32_t m_bufLen;
  char m_lastCmd;
  std::uint32_t m_curPos;
  char m_curRowType;
  std::uint32_t m_fieldsLeft;
  bool m_iterating;
  char* m_numRows;
  char* m_numFields;
  char* m_buffer;
};

// The lengths and item count, then one line per command and field list.
// Runs a read pass and leaves it open.
std::ostream& operator<<(std::ostream& out, QelUpdate& upd);
