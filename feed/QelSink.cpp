#include "feed/QelSink.h"

#include "support/Assert.h"
#include "support/Log.h"

namespace {
const char* const SOURCE = "QelSink";
std::time_t (*sinkClock)() = nullptr;
std::time_t sinkNow() { return sinkClock ? sinkClock() : std::time(nullptr); }
}  // namespace

void QelSink::setClock(std::time_t (*clock)()) { sinkClock = clock; }

void QelSinkListener::handleImage(QelSink&, QelMessage*) { TAVRO_ASSERT(false, SOURCE); }
void QelSinkListener::handleUpdate(QelSink&, QelMessage*) { TAVRO_ASSERT(false, SOURCE); }
void QelSinkListener::handleStatus(QelSink&, QelRID, int, int) { TAVRO_ASSERT(false, SOURCE); }
void QelSinkListener::handlePing(QelSink&) { TAVRO_ASSERT(false, SOURCE); }
void QelSinkListener::handlePingAck(QelSink&) { TAVRO_ASSERT(false, SOURCE); }
void QelSinkListener::handleDisconnect(QelSink&) { TAVRO_ASSERT(false, SOURCE); }
void QelSinkListener::handleConnect(QelSink&) { TAVRO_ASSERT(false, SOURCE); }
void QelSinkListener::openSent(QelSink&, QelRID) { TAVRO_ASSERT(false, SOURCE); }
void QelSinkListener::snapSent(QelSink&, QelRID) { TAVRO_ASSERT(false, SOURCE); }
void QelSinkListener::closeSent(QelSink&, QelRID) { TAVRO_ASSERT(false, SOURCE); }

QelSink::QelSink()
    : next_stale_check(sinkNow()),
      m_recordOwner(nullptr),
      m_hdlImageCb(nullptr),
      m_hdlUpdateCb(nullptr),
      m_hdlStatusCb(nullptr),
      m_hdlPingCb(nullptr),
      m_hdlPingAckCb(nullptr),
      m_hdlDisconnectCb(nullptr),
      m_hdlConnectCb(nullptr),
      m_openSentCb(nullptr),
      m_snapSentCb(nullptr),
      m_closeSentCb(nullptr) {}

bool QelSink::sendRequest(QelRID rid, int action, unsigned char type,
                          void (QelSinkListener::*told)(QelSink&, QelRID), QelSinkListener* listener) {
  if (!rid) return false;
  QelRecordStatus status = getRecordStatus(rid);
  LOG_DBG(static_cast<const void*>(this) << " " << loggableRID(rid) << " " << status);
  int next = status.getTransitionState(action);
  if (next == QELSTATUS_ERROR) {
    LOG_ERR_CAPPED(static_cast<const void*>(this) << " record in bad state " << loggableRID(rid) << " " << status);
    return false;
  }
  if (next == QELSTATUS_NO_CHANGE) return true;
  if (!sendMessage(type, rid)) return false;
  setRecordStatus(rid, next);
  if (listener) (listener->*told)(*this, rid);
  return true;
}

bool QelSink::sendOpen(QelRID rid) {
  return sendRequest(rid, QELACTION_OPEN, QELMSG_OPEN, &QelSinkListener::openSent, m_openSentCb);
}

bool QelSink::sendSnapshot(QelRID rid) {
  return sendRequest(rid, QELACTION_SNAPSHOT, QELMSG_SNAPSHOT, &QelSinkListener::snapSent, m_snapSentCb);
}

bool QelSink::sendClose(QelRID rid) {
  return sendRequest(rid, QELACTION_CLOSE, QELMSG_CLOSE, &QelSinkListener::closeSent, m_closeSentCb);
}

bool QelSink::sendPing() { return sendMessage(QELMSG_PING, ""); }

bool QelSink::sendPingAck() { return sendMessage(QELMSG_PING_ACK, ""); }

bool QelSink::handleRecvMessage(QelMessage* msg) {
  if (QelChannel::handleRecvMessage(msg)) return true;
  switch (msg->getType()) {
    case QELMSG_IMAGE:
      handleImage(msg);
      return true;
    case QELMSG_UPDATE:
      handleUpdate(msg);
      return true;
    case QELMSG_STATUS:
      if (msg->getDataLength() < 4) {
        // No whole status value to read: never read past the frame's data.
        LOG_ERR_CAPPED(static_cast<const void*>(this) << " bad status " << loggableRID(msg->getRID()) << " status frame of "
                                               << msg->getDataLength() << " data bytes");
        return true;
      }
      handleStatus(msg->getRID(), static_cast<std::int32_t>(readLE32(msg->getData())));
      return true;
    case QELMSG_PING:
      handlePing();
      return true;
    case QELMSG_PING_ACK:
      handlePingAck();
      return true;
    default:
      return false;
  }
}

void QelSink::handleImage(QelMessage* msg) {
  QelRID rid = msg->getRID();
  QelRecordStatus status = getRecordStatus(rid);
  LOG_DBG(static_cast<const void*>(this) << " " << loggableRID(rid) << " " << status);
  int next = status.getTransitionState(QELACTION_IMAGE);
  if (next == QELSTATUS_ERROR) {
    LOG_ERR_CAPPED(static_cast<const void*>(this) << " record in bad state " << loggableRID(rid) << " " << status);
    return;
  }
  if (next == QELSTATUS_NO_CHANGE) return;
  setRecordStatus(rid, next);
  m_recordOwner = status.owner;
  if (m_hdlImageCb) m_hdlImageCb->handleImage(*this, msg);
  m_recordOwner = nullptr;
}

void QelSink::handleUpdate(QelMessage* msg) {
  QelRID rid = msg->getRID();
  QelRecordStatus status = getRecordStatus(rid);
  LOG_DBG(static_cast<const void*>(this) << " " << loggableRID(rid) << " " << status);
  int next = status.getTransitionState(QELACTION_UPDATE);
  if (next == QELSTATUS_ERROR) {
    LOG_ERR_CAPPED(static_cast<const void*>(this) << " record in bad state " << loggableRID(rid) << " " << status);
    return;
  }
  m_recordOwner = status.owner;
  if (m_hdlUpdateCb) m_hdlUpdateCb->handleUpdate(*this, msg);
  m_recordOwner = nullptr;
}

void QelSink::handleStatus(QelRID rid, int new_status) {
  QelRecordStatus status = getRecordStatus(rid);
  const char* name = QelRecordStatus::statusName(new_status);
  LOG_DBG(static_cast<const void*>(this) << " " << loggableRID(rid) << " " << status << " ==> " << name);
  int next;
  switch (new_status) {
    case QELSTATUS_STALE:
      next = status.getTransitionState(QELACTION_STATUS_STALE);
      break;
    case QELSTATUS_ERROR:
      next = status.getTransitionState(QELACTION_STATUS_ERROR);
      break;
    case QELSTATUS_CLOSED:
      next = status.getTransitionState(QELACTION_STATUS_CLOSED);
      break;
    default:
      LOG_ERR_CAPPED(static_cast<const void*>(this) << " bad status " << loggableRID(rid) << " " << name);
      next = QELSTATUS_ERROR;
  }
  if (next == QELSTATUS_ERROR) {
    LOG_ERR_CAPPED(static_cast<const void*>(this) << " record in bad state " << loggableRID(rid) << " " << status << " ==> " << name);
    return;
  }
  if (next == QELSTATUS_NO_CHANGE) return;
  setRecordStatus(rid, next);
  if (m_hdlStatusCb) m_hdlStatusCb->handleStatus(*this, rid, status.status, new_status);
}

void QelSink::handlePing() {
  if (!sendPingAck()) LOG_ERR("sendPingAck failed");
  if (m_hdlPingCb) m_hdlPingCb->handlePing(*this);
}

void QelSink::handlePingAck() {
  if (m_hdlPingAckCb) m_hdlPingAckCb->handlePingAck(*this);
}

void QelSink::handleDisconnect() {
  LOG_DBG(static_cast<const void*>(this) << " set all open records stale");
  QelChannel::handleDisconnect();
  if (m_hdlDisconnectCb) m_hdlDisconnectCb->handleDisconnect(*this);

  // The disconnect column is applied directly (not through the STALE-status
  // column), so a record caught in STALE_OPEN_WAIT becomes STALE and is reopened.
  std::string rid;
  iterateRecords();
  while (nextRecord(rid)) {
    QelRecordStatus status = getRecordStatus();
    int next = status.getTransitionState(QELACTION_DISCONNECT);
    if (next == QELSTATUS_ERROR) {
      LOG_ERR_CAPPED(static_cast<const void*>(this) << " record in bad state " << loggableRID(rid.c_str()) << " " << status);
      continue;
    }
    if (next == QELSTATUS_NO_CHANGE) continue;
    LOG_DBG(static_cast<const void*>(this) << " " << loggableRID(rid.c_str()) << " " << status << " ==> "
                                           << QelRecordStatus::statusName(next));
    setRecordStatus(next);
    if (m_hdlStatusCb) m_hdlStatusCb->handleStatus(*this, rid.c_str(), status.status, next);
  }
  iterateRecordsEnd();
}

void QelSink::handleConnect() {
  QelChannel::handleConnect();
  if (numRecords() > 0) LOG_INF("trying to reopen " << numRecords());
  std::string rid;
  iterateRecords();
  while (nextRecord(rid)) {
    QelRecordStatus status = getRecordStatus();
    int next = status.getTransitionState(QELACTION_REOPEN);
    if (next == QELSTATUS_ERROR) {
      LOG_ERR_CAPPED(static_cast<const void*>(this) << " record in bad state " << loggableRID(rid.c_str()) << " " << status);
    } else if (next == QELSTATUS_STALE_OPEN_WAIT) {
      if (sendMessage(QELMSG_OPEN, rid.c_str())) setRecordStatus(QELSTATUS_STALE_OPEN_WAIT);
    } else if (next != QELSTATUS_NO_CHANGE) {
      setRecordStatus(next);
    }
  }
  iterateRecordsEnd();
  if (m_hdlConnectCb) m_hdlConnectCb->handleConnect(*this);
}

void QelSink::process() {
  std::time_t now = sinkNow();
  if (now > next_stale_check && isConnected()) {
    next_stale_check = now + 1;
    int count = 0;
    std::string rid;
    iterateRecords();
    while (nextRecord(rid)) {
      int next = getRecordStatus().getTransitionState(QELACTION_REOPEN);
      if (next == QELSTATUS_ERROR) continue;
      TAVRO_ASSERT(next == QELSTATUS_STALE_OPEN_WAIT, SOURCE);
      if (sendMessage(QELMSG_OPEN, rid.c_str())) setRecordStatus(QELSTATUS_STALE_OPEN_WAIT);
      ++count;
    }
    iterateRecordsEnd();
    if (count > 0) LOG_INF("reopened stale " << count);
  }
  QelChannel::process();
}
