#pragma once
// A multi-row table of fields kept under a record identifier, with a current
// row and a running count of the bytes its update-stream encoding takes.
// The record owns every row and every field block in it, always its own
// copies: callers keep the blocks they pass in, which may point into a
// message buffer. Up to five listeners, one per kind of change, are told
// synchronously; they are not owned. Single-threaded.
//
// Invariant: m_updateLen = 5 + sum over rows holding at least one field of
// (5 + sum over the row's fields of (10 + length)).
//
// Every operation takes time bounded independently of what the record holds,
// up to a slowly growing term: rows live in short chunks, so inserting or
// deleting a row anywhere moves at most a chunk and walks the chunk sizes
// (no copy of the whole table), and a row of many fields finds a FID through
// an index instead of searching from its first field. A record may also be
// given limits on its rows and its update length: what would pass them is
// refused and counted, and the rest of the stream goes on.

#include <cstdint>
#include <ostream>
#include <string>
#include <unordered_map>
#include <vector>

#include "feed/QelField.h"

class QelRecord;
class QelUpdate;

// Every default body is an assertion trap: a listener overrides each
// operation it registers for, and only those are ever called on it.
class QelRecordListener {
 public:
  // `field` is the record's stored copy in row `row`.
  virtual void handleFieldUpdate(QelRecord& rec, int row, QelField& field);
  // Called before the row goes, so its fields can still be read.
  virtual void handleRowDelete(QelRecord& rec, int row);
  virtual void handleRowInsert(QelRecord& rec, int row);
  // `row` is the new current row.
  virtual void handleRowAdd(QelRecord& rec, int row);
  virtual void handleClear(QelRecord& rec);

 protected:
  // Records never free their listeners.
  ~QelRecordListener() = default;
};

class QelRecord {
 public:
  typedef std::vector<QelField*> FieldVec;

  QelRecord();
  explicit QelRecord(const std::string& rid);
  ~QelRecord();
  QelRecord(const QelRecord&) = delete;
  QelRecord& operator=(const QelRecord&) = delete;

  // Stores a copy in the current row, replacing a field of the same FID in
  // place. Null is ignored; so is a field on a record without rows (logged).
  void setField(const QelField* field);
  bool setField(unsigned row, const QelField* field);
  QelField* getField(QelFID fid);
  QelField* getField(unsigned row, QelFID fid);
  QelField* getFieldByNum(unsigned fidnum);

  bool selectRow(unsigned row);
  bool deleteRow(unsigned row);
  void deleteRow();
  // Only before an existing row; addRow appends. False at the row limit too.
  bool insertRow(unsigned row);
  void insertRow();
  // Appends an empty row and makes the row after the current one current;
  // false, with nothing changed, at the row limit.
  bool addRow();
  // Leaves no rows at all: rows must be added before fields can be set.
  void clear();

  // Encodes the whole record as CLEAR and one ADD_ROW per non-empty row;
  // `upd` needs a working buffer of at least getUpdateLength() bytes.
  bool toUpdate(QelUpdate& upd);

  std::uint32_t getUpdateLength() const { return m_updateLen; }
  std::uint32_t getCurrentRow() const { return m_curRow; }
  const std::string& getRid() const { return m_rid; }
  void setRid(const std::string& rid) { m_rid = rid; }
  unsigned getNumRows() const { return static_cast<unsigned>(m_rows.size()); }
  unsigned getRowNumFIDs() const;

  // At most `maxRows` rows and an update length of at most `maxUpdateLength`:
  // a row or field that would pass either is refused (not stored, no listener
  // call) and counted. Without a call, a record is limited only by its types.
  void setLimits(unsigned maxRows, std::uint32_t maxUpdateLength);
  // Rows and fields refused by the limits so far.
  std::uint64_t getRefusals() const { return m_refusals; }

  void registerHandleFieldUpdate(QelRecordListener* l) { m_hdlFieldUpdCb = l; }
  void registerHandleRowDelete(QelRecordListener* l) { m_hdlRowDelCb = l; }
  void registerHandleRowInsert(QelRecordListener* l) { m_hdlRowInsertCb = l; }
  void registerHandleRowAdd(QelRecordListener* l) { m_hdlRowAddCb = l; }
  void registerHandleClear(QelRecordListener* l) { m_hdlClearCb = l; }

  friend std::ostream& operator<<(std::ostream& out, const QelRecord& rec);

 private:
  struct Row {
    FieldVec fields;
    // FID -> position in `fields`, kept once the row is long enough that a
    // search from its start would cost more than the lookup.
    std::unordered_map<QelFID, std::uint32_t> index;
  };
  // The ordered rows in chunks of at most MAX_CHUNK; any two neighbouring
  // chunks hold more than MAX_CHUNK / 2 rows together, so a position is found
  // by walking at most 4 * size / MAX_CHUNK + 1 chunk sizes.
  class RowList {
   public:
    RowList() = default;
    ~RowList() { clear(); }
    RowList(const RowList&) = delete;
    RowList& operator=(const RowList&) = delete;
    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    Row& at(std::size_t i);
    // A new empty row at `i` (at most size()).
    void insert(std::size_t i);
    void erase(std::size_t i);
    void clear();
    template <typename F>
    void forEach(F f) const {
      for (const std::vector<Row*>& chunk : m_chunks)
        for (const Row* row : chunk) f(*row);
    }

   private:
    static const std::size_t MAX_CHUNK = 512;
    void locate(std::size_t i, std::size_t& chunk, std::size_t& offset);
    std::vector<std::vector<Row*>> m_chunks;
    std::size_t m_size = 0;
    // A chunk and the index of its first row, where the next walk starts:
    // a run of changes in one place does not walk from the first chunk.
    std::size_t m_hintChunk = 0;
    std::size_t m_hintStart = 0;
    // The row last found, for runs of calls on one row; dropped on any change.
    std::size_t m_lastIndex = 0;
    Row* m_last = nullptr;
  };

  int findField(const Row& row, QelFID fid) const;
  void deleteAll();
  void init();

  std::uint32_t m_updateLen;
  std::uint32_t m_curRow;
  RowList m_rows;
  std::string m_rid;
  QelRecordListener* m_hdlFieldUpdCb;
  QelRecordListener* m_hdlRowDelCb;
  QelRecordListener* m_hdlRowInsertCb;
  QelRecordListener* m_hdlRowAddCb;
  QelRecordListener* m_hdlClearCb;
  unsigned m_maxRows;
  std::uint32_t m_maxUpdateLen;
  std::uint64_t m_refusals;
};

// "m_rid=..., update_length=..., current_row=..." and one "\nrow( i )=" per row.
std::ostream& operator<<(std::ostream& out, const QelRecord& rec);
