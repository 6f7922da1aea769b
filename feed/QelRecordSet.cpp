#include "feed/QelRecordSet.h"

#include <string_view>

#include "support/Assert.h"

namespace {
const char* const SOURCE = "QelRecordSet";
const char* const statusNames[QELSTATUS_MAX + 1] = {
    "CLOSED", "OPEN_WAIT", "SNAPSHOT_WAIT", "OPEN", "OPEN_SNAPSHOT_WAIT", "STALE", "STALE_OPEN_WAIT", "ERROR", "NO_CHANGE",
};
}  // namespace

// Rows: current status. Columns: open, snapshot, close, image, update,
// status ERROR, status CLOSED, status STALE, reopen, disconnect.
#define C QELSTATUS_CLOSED
#define OW QELSTATUS_OPEN_WAIT
#define SW QELSTATUS_SNAPSHOT_WAIT
#define O QELSTATUS_OPEN
#define OSW QELSTATUS_OPEN_SNAPSHOT_WAIT
#define S QELSTATUS_STALE
#define SOW QELSTATUS_STALE_OPEN_WAIT
#define E QELSTATUS_ERROR
#define NC QELSTATUS_NO_CHANGE
const int QelRecordStatus::transition[QELSTATUS_MAX + 1][QELACTION_COUNT] = {
    /* CLOSED             */ {OW, SW, NC, E, E, E, E, E, NC, NC},
    /* OPEN_WAIT          */ {NC, E, C, O, E, C, E, E, E, E},
    /* SNAPSHOT_WAIT      */ {E, E, E, C, E, C, E, E, E, E},
    /* OPEN               */ {OSW, OSW, C, E, NC, E, C, S, E, S},
    /* OPEN_SNAPSHOT_WAIT */ {E, E, C, O, NC, C, C, S, E, S},
    /* STALE              */ {SOW, SOW, C, O, E, S, C, E, SOW, NC},
    /* STALE_OPEN_WAIT    */ {NC, NC, C, O, E, S, C, E, E, S},
    /* ERROR              */ {C, C, C, C, C, C, C, C, C, C},
    /* NO_CHANGE          */ {C, C, C, C, C, C, C, C, C, C},
};
#undef C
#undef OW
#undef SW
#undef O
#undef OSW
#undef S
#undef SOW
#undef E
#undef NC

int QelRecordStatus::getTransitionState(int action) const {
  if (status < 0 || status > QELSTATUS_MAX || action < 0 || action >= QELACTION_COUNT) return QELSTATUS_ERROR;
  return transition[status][action];
}

const char* QelRecordStatus::statusName(int status) {
  return status >= 0 && status <= QELSTATUS_MAX ? statusNames[status] : "INVALID";
}

std::ostream& operator<<(std::ostream& os, const QelRecordStatus& status) {
  return os << "(" << QelRecordStatus::statusName(status.status) << ")";
}

QelRecordSet::QelRecordSet() : cur_record(m_records.end()), last_record(m_records.end()), iterating(false) {}

int QelRecordSet::storeStatus(RecordMap::iterator it, const std::string& rid, int status) {
  TAVRO_ASSERT(status != QELSTATUS_ERROR, SOURCE);
  TAVRO_ASSERT(status != QELSTATUS_NO_CHANGE, SOURCE);
  TAVRO_ASSERT(status >= 0 && status <= QELSTATUS_MAX, SOURCE);
  if (it != m_records.end()) {
    int previous = it->second.status;
    --m_counts[previous];
    if (status == QELSTATUS_CLOSED) {
      std::size_t size = m_records.size();
      if (it == last_record) last_record = m_records.end();
      if (it == cur_record) ++cur_record;
      m_byName.erase(std::string_view(it->first));
      m_records.erase(it);
      TAVRO_ASSERT(m_records.size() == size - 1, SOURCE);
    } else {
      it->second.status = status;
      ++m_counts[status];
    }
    return previous;
  }
  TAVRO_ASSERT(status != QELSTATUS_CLOSED, SOURCE);
  auto inserted = m_records.insert(std::make_pair(rid, QelRecordStatus(status)));
  TAVRO_ASSERT(inserted.second, SOURCE);
  m_byName[std::string_view(inserted.first->first)] = inserted.first;
  ++m_counts[status];
  return QELSTATUS_CLOSED;
}

int QelRecordSet::setRecordStatus(QelRID rid, int status) {
  TAVRO_ASSERT(rid, SOURCE);
  std::string key(rid);
  auto known = m_byName.find(std::string_view(key));
  return storeStatus(known == m_byName.end() ? m_records.end() : known->second, key, status);
}

int QelRecordSet::setRecordStatus(int status) {
  TAVRO_ASSERT(iterating, SOURCE);
  TAVRO_ASSERT(last_record != m_records.end(), SOURCE);
  std::string key = last_record->first;
  return storeStatus(last_record, key, status);
}

QelRecordStatus QelRecordSet::getRecordStatus(QelRID rid) const {
  TAVRO_ASSERT(rid, SOURCE);
  auto it = m_byName.find(std::string_view(rid));
  return it == m_byName.end() ? QelRecordStatus(QELSTATUS_CLOSED) : it->second->second;
}

void QelRecordSet::setRecordOwner(QelRID rid, void* owner) {
  TAVRO_ASSERT(rid, SOURCE);
  auto it = m_byName.find(std::string_view(rid));
  if (it != m_byName.end()) it->second->second.owner = owner;
}

QelRecordStatus QelRecordSet::getRecordStatus() const {
  TAVRO_ASSERT(iterating, SOURCE);
  TAVRO_ASSERT(last_record != m_records.end(), SOURCE);
  return last_record->second;
}

void QelRecordSet::iterateRecords() {
  TAVRO_ASSERT(!iterating, SOURCE);
  iterating = true;
  cur_record = m_records.begin();
  last_record = m_records.end();
}

bool QelRecordSet::nextRecord(std::string& rid) {
  TAVRO_ASSERT(iterating, SOURCE);
  if (cur_record == m_records.end()) return false;
  last_record = cur_record++;
  rid = last_record->first;
  return true;
}

void QelRecordSet::iterateRecordsEnd() {
  TAVRO_ASSERT(iterating, SOURCE);
  iterating = false;
  cur_record = m_records.end();
  last_record = m_records.end();
}
