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

// Below this many fields a row is searched from its start; from it on, indexed.
static const std::size_t INDEXED_ROW = 16;

QelRecord::Row& QelRecord::RowList::at(std::size_t i) {
  if (m_last && m_lastIndex == i) return *m_last;
  std::size_t chunk, offset;
  locate(i, chunk, offset);
  m_lastIndex = i;
  m_last = m_chunks[chunk][offset];
  return *m_last;
}

void QelRecord::RowList::locate(std::size_t i, std::size_t& chunk, std::size_t& offset) {
  chunk = m_hintChunk;
  std::size_t start = m_hintStart;
  if (chunk >= m_chunks.size()) chunk = start = 0;
  while (i < start) start -= m_chunks[--chunk].size();
  while (chunk + 1 < m_chunks.size() && i >= start + m_chunks[chunk].size()) start += m_chunks[chunk++].size();
  m_hintChunk = chunk;
  m_hintStart = start;
  offset = i - start;
}

void QelRecord::RowList::insert(std::size_t i) {
  m_last = nullptr;
  Row* row = new Row();
  if (m_chunks.empty()) m_chunks.emplace_back();
  std::size_t chunk, offset;
  locate(i == m_size && i > 0 ? i - 1 : i, chunk, offset);
  if (i == m_size && m_size > 0) ++offset;  // appending: after the last row
  std::vector<Row*>& into = m_chunks[chunk];
  into.insert(into.begin() + static_cast<std::ptrdiff_t>(offset), row);
  ++m_size;
  if (into.size() > MAX_CHUNK) {
    // The lower half stays where it is, so the hint still holds.
    std::vector<Row*> upper(into.begin() + static_cast<std::ptrdiff_t>(MAX_CHUNK / 2), into.end());
    into.resize(MAX_CHUNK / 2);
    m_chunks.insert(m_chunks.begin() + static_cast<std::ptrdiff_t>(chunk) + 1, std::move(upper));
  }
}

void QelRecord::RowList::erase(std::size_t i) {
  m_last = nullptr;
  std::size_t chunk, offset;
  locate(i, chunk, offset);
  std::vector<Row*>& from = m_chunks[chunk];
  delete from[offset];
  from.erase(from.begin() + static_cast<std::ptrdiff_t>(offset));
  --m_size;
  // Merge with a neighbour while both fit one chunk, so that chunks never
  // dwindle into many small ones.
  if (chunk + 1 < m_chunks.size() && from.size() + m_chunks[chunk + 1].size() <= MAX_CHUNK) {
    std::vector<Row*>& next = m_chunks[chunk + 1];
    from.insert(from.end(), next.begin(), next.end());
    m_chunks.erase(m_chunks.begin() + static_cast<std::ptrdiff_t>(chunk) + 1);
  } else if (chunk > 0 && m_chunks[chunk - 1].size() + from.size() <= MAX_CHUNK) {
    std::vector<Row*>& prev = m_chunks[chunk - 1];
    m_hintChunk = chunk - 1;
    m_hintStart -= prev.size();
    prev.insert(prev.end(), from.begin(), from.end());
    m_chunks.erase(m_chunks.begin() + static_cast<std::ptrdiff_t>(chunk));
  } else if (from.empty()) {
    // Only when it is the only chunk: any neighbour would have been merged.
    m_chunks.clear();
    m_hintChunk = m_hintStart = 0;
  }
}

void QelRecord::RowList::clear() {
  for (std::vector<Row*>& chunk : m_chunks)
    for (Row* row : chunk) delete row;
  m_chunks.clear();
  m_size = 0;
  m_last = nullptr;
  m_hintChunk = m_hintStart = 0;
}

QelRecord::QelRecord() : m_maxRows(~0u), m_maxUpdateLen(0xFFFFFFFFu), m_refusals(0) { init(); }

QelRecord::QelRecord(const std::string& rid) : m_maxRows(~0u), m_maxUpdateLen(0xFFFFFFFFu), m_refusals(0) {
  init();
  m_rid = rid;
}

QelRecord::~QelRecord() { deleteAll(); }

void QelRecord::init() {
  m_updateLen = RECORD_OVERHEAD;
  m_curRow = 0;
  m_rows.clear();
  m_rows.insert(0);
  m_rid.clear();
  m_hdlFieldUpdCb = nullptr;
  m_hdlRowDelCb = nullptr;
  m_hdlRowInsertCb = nullptr;
  m_hdlRowAddCb = nullptr;
  m_hdlClearCb = nullptr;
}

void QelRecord::setLimits(unsigned maxRows, std::uint32_t maxUpdateLength) {
  m_maxRows = maxRows;
  m_maxUpdateLen = maxUpdateLength;
}

void QelRecord::deleteAll() {
  m_rows.forEach([](const Row& row) {
    for (QelField* field : row.fields) QelField::release(field);
  });
  m_rows.clear();
}

int QelRecord::findField(const Row& row, QelFID fid) const {
  if (!row.index.empty()) {
    auto it = row.index.find(fid);
    return it == row.index.end() ? -1 : static_cast<int>(it->second);
  }
  for (std::size_t i = 0; i < row.fields.size(); ++i)
    if (row.fields[i]->getFID() == fid) return static_cast<int>(i);
  return -1;
}

void QelRecord::setField(const QelField* field) {
  if (!field) return;
  if (m_curRow >= m_rows.size()) {
    LOG_ERR("no row to hold field " << field->getFID() << " in record " << m_rid);
    return;
  }
  Row& row = m_rows.at(m_curRow);
  int at = findField(row, field->getFID());
  // Work out the new length before copying anything, so that a length no
  // record could encode is refused without reading the block's data.
  std::uint64_t newLen = static_cast<std::uint64_t>(m_updateLen) + field->getSize();
  if (at >= 0)
    newLen -= row.fields[static_cast<std::size_t>(at)]->getSize();
  else if (row.fields.empty())
    newLen += ROW_OVERHEAD;
  if (newLen > 0xFFFFFFFFu) {
    LOG_ERR("field " << field->getFID() << " of " << field->getLength() << " bytes is too long for record "
                     << m_rid);
    return;
  }
  if (newLen > m_maxUpdateLen && newLen > m_updateLen) {
    ++m_refusals;
    return;
  }
  QelField* copy = QelField::clone(*field);
  if (!copy) return;
  if (at >= 0) {
    QelField::release(row.fields[static_cast<std::size_t>(at)]);
    row.fields[static_cast<std::size_t>(at)] = copy;
  } else {
    row.fields.push_back(copy);
    if (!row.index.empty()) {
      row.index.emplace(copy->getFID(), static_cast<std::uint32_t>(row.fields.size() - 1));
    } else if (row.fields.size() >= INDEXED_ROW) {
      for (std::size_t i = 0; i < row.fields.size(); ++i)
        row.index.emplace(row.fields[i]->getFID(), static_cast<std::uint32_t>(i));
    }
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
  Row& r = m_rows.at(row);
  int at = findField(r, fid);
  return at < 0 ? nullptr : r.fields[static_cast<std::size_t>(at)];
}

QelField* QelRecord::getFieldByNum(unsigned fidnum) {
  if (m_curRow >= m_rows.size()) return nullptr;
  const FieldVec& fields = m_rows.at(m_curRow).fields;
  return fidnum < fields.size() ? fields[fidnum] : nullptr;
}

unsigned QelRecord::getRowNumFIDs() const {
  if (m_curRow >= m_rows.size()) return 0;
  // at() only moves the row list's lookup cache.
  return static_cast<unsigned>(const_cast<RowList&>(m_rows).at(m_curRow).fields.size());
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
  FieldVec& fields = m_rows.at(row).fields;
  for (QelField* field : fields) {
    m_updateLen -= static_cast<std::uint32_t>(field->getSize());
    QelField::release(field);
  }
  if (!fields.empty()) m_updateLen -= ROW_OVERHEAD;
  m_rows.erase(row);
  if (m_rows.empty())
    m_curRow = 0;
  else if (m_curRow >= m_rows.size())
    m_curRow = static_cast<std::uint32_t>(m_rows.size() - 1);
  return true;
}

void QelRecord::deleteRow() { deleteRow(m_curRow); }

bool QelRecord::insertRow(unsigned row) {
  if (row >= m_rows.size()) return false;
  if (m_rows.size() >= m_maxRows) {
    ++m_refusals;
    return false;
  }
  m_curRow = row;
  m_rows.insert(row);
  if (m_hdlRowInsertCb) m_hdlRowInsertCb->handleRowInsert(*this, static_cast<int>(row));
  return true;
}

void QelRecord::insertRow() { insertRow(m_curRow); }

bool QelRecord::addRow() {
  if (m_rows.size() >= m_maxRows || m_rows.size() >= 0xFFFFFFFFu) {
    ++m_refusals;
    return false;
  }
  if (!m_rows.empty()) ++m_curRow;
  m_rows.insert(m_rows.size());
  if (m_hdlRowAddCb) m_hdlRowAddCb->handleRowAdd(*this, static_cast<int>(m_curRow));
  return true;
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
  bool written = true;
  m_rows.forEach([&](const Row& row) {
    if (!written || row.fields.empty()) return;
    written = upd.addRow();
    for (const QelField* field : row.fields)
      if (written) written = upd.setField(field);
  });
  return written;
}

std::ostream& operator<<(std::ostream& out, const QelRecord& rec) {
  out << "m_rid=" << rec.m_rid << ", update_length=" << rec.m_updateLen << ", current_row=" << rec.m_curRow;
  std::size_t i = 0;
  rec.m_rows.forEach([&](const QelRecord::Row& row) {
    out << "\nrow( " << i++ << " )=";
    for (const QelField* field : row.fields) out << *field;
  });
  return out;
}
