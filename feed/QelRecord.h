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

#include <cstdint>
#include <ostream>
#include <string>
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
  // Only before an existing row; addRow appends.
  bool insertRow(unsigned row);
  void insertRow();
  // Appends an empty row and makes the row after the current one current.
  void addRow();
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

  void registerHandleFieldUpdate(QelRecordListener* l) { m_hdlFieldUpdCb = l; }
  void registerHandleRowDelete(QelRecordListener* l) { m_hdlRowDelCb = l; }
  void registerHandleRowInsert(QelRecordListener* l) { m_hdlRowInsertCb = l; }
  void registerHandleRowAdd(QelRecordListener* l) { m_hdlRowAddCb = l; }
  void registerHandleClear(QelRecordListener* l) { m_hdlClearCb = l; }

  friend std::ostream& operator<<(std::ostream& out, const QelRecord& rec);

 private:
  int findField(const FieldVec& fields, QelFID fid) const;
  void deleteAll();
  void init();

  std::uint32_t m_updateLen;
  std::uint32_t m_curRow;
  std::vector<FieldVec> m_rows;
  std::string m_rid;
  QelRecordListener* m_hdlFieldUpdCb;
  QelRecordListener* m_hdlRowDelCb;
  QelRecordListener* m_hdlRowInsertCb;
  QelRecordListener* m_hdlRowAddCb;
  QelRecordListener* m_hdlClearCb;
};

// "m_rid=..., update_length=..., current_row=..." and one "\nrow( i )=" per row.
std::ostream& operator<<(std::ostream& out, const QelRecord& rec);
