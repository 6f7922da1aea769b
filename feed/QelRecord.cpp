#include "feed/QelRecord.h"


#include "feed/QelUpdate.h"
#include "support/Assert.h"
#include "support/Log.h"

// Bytes a row's own ADD_ROW command and field count take in the encoding.
static const std::uint32_t ROW_OVERHEAD = 5;
// Bytes of the item count and the leading CLEAR.
static const std::uint32_t RECORD_OVERHEAD = 5;

void QelRecordListener::handleFieldUpdate(QelRecord&, int, QelField&) { TAVRO_ASSERT(false, "QelRecordListener"); }
void QelRecordListener::handleRowDelete(QelRecord&, int) { TAVRO_ASSERT(false, "QelRecordListener"); }
void QelRecordListener::handleRowInsert(QelRecord&, int) { TAVRO_ASSERT(false, "QelRecordListener"); }
void QelRecordListener::handleRowAdd(QelRecord&, int) { TAVRO_ASSERT(false, "QelRecordListener"); }
void QelRecordListener::handleClear(QelRecord&) { TAVRO_ASSERT(false, "QelRecordListener"); }

QelRecord::QelRecord() { init(); }

QelRecord::QelRecord(const std::string& rid) {
  init();
  m_rid = rid;
}

QelRecord::~QelRecord() { deleteAll(); }

void QelRecord::init() {
  m_updateLen = RECORD_OVERHEAD;
  m_curRow = 0;
  m_rows.clear();
  m_rows.emplace_back();
  m_rid.clear();
  m_hdlFieldUpdCb = nullptr;
  m_hdlRowDelCb = nullptr;
  m_hdlRowInsertCb = nullptr;
  m_hdlRowAddCb = nullptr;
  m_hdlClearCb = nullptr;
}

void QelRecord::deleteAll() {
  for (FieldVec& row : m_rows)
    for (QelField* field : row) QelField::release(field);
  m_rows.clear();
}

int QelRecord::findField(const FieldVec& fields, QelFID fid) const {
  for (std::size_t i = 0; i < fields.size(); ++i)
    if (fields[i]->getFID() == fid) return static_cast<int>(i);
  return -1;
}

void QelRecord::setField(const QelField* field) {
  if (!field) return;
  if (m_curRow >= m_rows.size()) {
    LOG_ERR("no row to hold field " << field->getFID() << " in record " << m_rid);
    return;
  }
  FieldVec& row = m_rows[m_curRow];
  int at = findField(row, field->getFID());
  // Work out the new length before copying anything, so that a length no
  // record could encode is refused without reading the block's data.
  std::uint64_t newLen = static_cast<std::uint64_t>(m_updateLen) + field->getSize();
  if (at >= 0)
    newLen -= row[static_cast<std::size_t>(at)]->getSize();
  else if (row.empty())
    newLen += ROW_OVERHEAD;
  if (newLen > 0xFFFFFFFFu) {
    LOG_ERR("field " << field->getFID() << " of " << field->getLength() << " bytes is too long for record "
                     << m_rid);
    return;
  }
  QelField* copy = QelField::clone(*field);
  if (!copy) return;
  if (at >= 0) {
    QelField::release(row[static_cast<std::size_t>(at)]);
    row[static_cast<std::size_t>(at)] = copy;
  } else {
    row.push_back(copy);
  }
  m_updateLen = static_cast<std::uint32_t>(newLen);
  if (m_hdlFieldUpdCb) m_hdlFieldUpdCb->handleFieldUpdate(*this, static_cast<int>(m_curRow), *copy);
}

bool QelRecord::setField(unsigned row, const QelField* field) {
  if (row >= m_rows.size()) return false;
  std::uint32_t previous = m_curRow;
  m_curRow = row;
  setField(field);
  m_curRow = previous;
  return true;
}

QelField* QelRecord::getField(QelFID fid) {
  if (m_curRow >= m_rows.size()) return nullptr;
  return getField(m_curRow, fid);
}

QelField* QelRecord::getField(unsigned row, QelFID fid) {
  if (row >= m_rows.size()) return nullptr;
  int at = findField(m_rows[row], fid);
  return at < 0 ? nullptr : m_rows[row][static_cast<std::size_t>(at)];
}

QelField* QelRecord::getFieldByNum(unsigned fidnum) {
  if (m_curRow >= m_rows.size()) return nullptr;
  const FieldVec& row = m_rows[m_curRow];
  return fidnum < row.size() ? row[fidnum] : nullptr;
}

unsigned QelRecord::getRowNumFIDs() const {
  return m_curRow < m_rows.size() ? static_cast<unsigned>(m_rows[m_curRow].size()) : 0;
}

bool QelRecord::selectRow(unsigned row) {
  if (row >= m_rows.size()) return false;
  m_curRow = row;
  return true;
}

bool QelRecord::deleteRow(unsigned row) {
  if (row >= m_rows.size()) return false;
  if (m_hdlRowDelCb) m_hdlRowDelCb->handleRowDelete(*this, static_cast<int>(row));
  // The listener may have changed the record; check the row is still there.
  if (row >= m_rows.size()) return false;
  FieldVec& fields = m_rows[row];
  for (QelField* field : fields) {
    m_updateLen -= static_cast<std::uint32_t>(field->getSize());
    QelField::release(field);
  }
  if (!fields.empty()) m_updateLen -= ROW_OVERHEAD;
  m_rows.erase(m_rows.begin() + row);
  if (m_rows.empty())
    m_curRow = 0;
  else if (m_curRow >= m_rows.size())
    m_curRow = static_cast<std::uint32_t>(m_rows.size() - 1);
  return true;
}

void QelRecord::deleteRow() { deleteRow(m_curRow); }

bool QelRecord::insertRow(unsigned row) {
  if (row >= m_rows.size()) return false;
  m_curRow = row;
  m_rows.emplace(m_rows.begin() + row);
  if (m_hdlRowInsertCb) m_hdlRowInsertCb->handleRowInsert(*this, static_cast<int>(row));
  return true;
}

void QelRecord::insertRow() { insertRow(m_curRow); }

void QelRecord::addRow() {
  if (!m_rows.empty()) ++m_curRow;
  m_rows.emplace_back();
  if (m_hdlRowAddCb) m_hdlRowAddCb->handleRowAdd(*this, static_cast<int>(m_curRow));
}

void QelRecord::clear() {
  deleteAll();
  m_updateLen = RECORD_OVERHEAD;
  m_curRow = 0;
  if (m_hdlClearCb) m_hdlClearCb->handleClear(*this);
}

bool QelRecord::toUpdate(QelUpdate& upd) {
  if (upd.getBufferLength() < m_updateLen) {
    LOG_ERR("update buffer is too small to contain record " << upd.getBufferLength() << " < " << m_updateLen);
    return false;
  }
  if (!upd.clear()) {
    LOG_ERR("couldn't clear update");
    return false;
  }
  for (const FieldVec& row : m_rows) {
    if (row.empty()) continue;
    if (!upd.addRow()) return false;
    for (const QelField* field : row)
      if (!upd.setField(field)) return false;
  }
  return true;
}

std::ostream& operator<<(std::ostream& out, const QelRecord& rec) {
  out << "m_rid=" << rec.m_rid << ", update_length=" << rec.m_updateLen << ", current_row=" << rec.m_curRow;
  for (std::size_t i = 0; i < rec.m_rows.size(); ++i) {
    out << "\nrow( " << i << " )=";
    for (const QelField* field : rec.m_rows[i]) out << *field;
  }
  return out;
}
