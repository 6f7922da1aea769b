#pragma once
// Subscription statuses of the records the client has asked about, with the
// fixed transition table that says what an event does to each status, and a
// set of records that can be walked while its members change. A record is in
// the set exactly while its status is not CLOSED; ERROR and NO_CHANGE are only
// transition results and are never stored.

#include <cstdint>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <string_view>
#include <unordered_map>

#include "net/QelMessage.h"

enum {
  QELSTATUS_CLOSED = 0,
  QELSTATUS_OPEN_WAIT = 1,
  QELSTATUS_SNAPSHOT_WAIT = 2,
  QELSTATUS_OPEN = 3,
  QELSTATUS_OPEN_SNAPSHOT_WAIT = 4,
  QELSTATUS_STALE = 5,
  QELSTATUS_STALE_OPEN_WAIT = 6,
  QELSTATUS_ERROR = 7,
  QELSTATUS_NO_CHANGE = 8,
  QELSTATUS_MAX = 8,
};

enum {
  QELACTION_OPEN = 0,
  QELACTION_SNAPSHOT = 1,
  QELACTION_CLOSE = 2,
  QELACTION_IMAGE = 3,
  QELACTION_UPDATE = 4,
  QELACTION_STATUS_ERROR = 5,
  QELACTION_STATUS_CLOSED = 6,
  QELACTION_STATUS_STALE = 7,
  QELACTION_REOPEN = 8,
  QELACTION_DISCONNECT = 9,
  QELACTION_COUNT = 10,
};

class QelRecordStatus {
 public:
  QelRecordStatus(int s = QELSTATUS_CLOSED) : status(s), owner(nullptr) {}
  // ERROR for a status or action outside the table.
  int getTransitionState(int action) const;
  static const char* statusName(int status);

  static const int transition[QELSTATUS_MAX + 1][QELACTION_COUNT];
  int status;
  // Whatever the record's opener tagged it with (setRecordOwner); kept while
  // the record is in the set.
  void* owner;
};

// "(OPEN)", or "(INVALID)" for a value outside the table.
std::ostream& operator<<(std::ostream& os, const QelRecordStatus& status);

class QelRecordSet {
 public:
  QelRecordSet();
  virtual ~QelRecordSet() = default;
  QelRecordSet(const QelRecordSet&) = delete;
  QelRecordSet& operator=(const QelRecordSet&) = delete;

  int setRecordStatus(QelRID rid, int status);
  int setRecordStatus(int status);  // the record last returned by nextRecord
  QelRecordStatus getRecordStatus(QelRID rid) const;
  QelRecordStatus getRecordStatus() const;
  // Tags a record in the set with its owner, which the sink hands back with
  // each of its images and updates: the owner is then found without a lookup
  // by name per frame. Nothing happens for a record not in the set.
  void setRecordOwner(QelRID rid, void* owner);
  int numRecords() const { return static_cast<int>(m_records.size()); }
  // Records now in `status`, kept as statuses are stored: the tray tip asks
  // after every event, and a walk would cost a lookup per record.
  int countRecords(int status) const {
    return status >= 0 && status <= QELSTATUS_MAX ? m_counts[status] : 0;
  }

  void iterateRecords();
  bool nextRecord(std::string& rid);
  void iterateRecordsEnd();

 private:
  // Transparent, so that a lookup by a received identifier builds no string.
  typedef std::map<std::string, QelRecordStatus, std::less<>> RecordMap;
  int storeStatus(RecordMap::iterator it, const std::string& rid, int status);

  RecordMap m_records;
  // The same records by hash, for the lookup every feed frame makes; the
  // keys are the map's own, which stay where they are while in the map.
  std::unordered_map<std::string_view, RecordMap::iterator> m_byName;
  int m_counts[QELSTATUS_MAX + 1] = {};
  RecordMap::iterator cur_record;
  RecordMap::iterator last_record;  // returned by the latest nextRecord
  bool iterating;
};
