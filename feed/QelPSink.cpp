#include "feed/QelPSink.h"

#include <cstring>
#include <iostream>

#include "support/Log.h"

QelPSink::QelPSink() : m_hdlPubUpdCb(nullptr), m_hdlPubDelCb(nullptr), m_listFull(false) {
  m_publishList.setLimits(PUBLISH_LIST_MAX_ROWS, PUBLISH_LIST_MAX_BYTES);
  m_publishList.clear();
  m_publishList.registerHandleRowDelete(this);
  m_publishList.registerHandleFieldUpdate(this);
}

QelPSink::~QelPSink() { LOG_INF("destructing " << static_cast<const void*>(this)); }

bool QelPSink::handleRecvMessage(QelMessage* msg) {
  if (QelSink::handleRecvMessage(msg)) return true;
  if (msg->getType() != QELMSG_PUBLISH) return false;
  QelUpdate update;
  update.setBuffer(msg->getData(), msg->getDataLength());
  handlePublishUpdate(msg->getRID(), msg->getRIDLength(), update);
  return true;
}

bool QelPSink::handlePublishUpdate(QelRID rid, unsigned ridLength, QelUpdate& upd) {
  // All of the frame's identifier, so that "p#" followed by a NUL and more is no match.
  if (ridLength != 2 || std::memcmp(rid, "p#", 2) != 0) {
    static LogLimit invalid;
    if (invalid.allow(2, __FILE__, __func__, __LINE__)) {
      std::cout << "QelPSink::handlePublish invalid publish update\n";
      std::cout.flush();
    }
    return false;
  }
  std::uint64_t refused = m_publishList.getRefusals();
  upd.apply(m_publishList);
  bool full = m_publishList.getRefusals() != refused;
  if (full && !m_listFull)
    LOG_WRN_CAPPED("publish list is full at " << m_publishList.getNumRows() << " rows and "
                                               << m_publishList.getUpdateLength() << " bytes (limits "
                                               << PUBLISH_LIST_MAX_ROWS << " and " << PUBLISH_LIST_MAX_BYTES
                                               << "): dropping what does not fit");
  m_listFull = full;
  return true;
}

const char* QelPSink::publishedRid(QelRecord& rec, int row) {
  QelField* ridField = rec.getField(static_cast<unsigned>(row), 0);
  if (!ridField) return nullptr;
  // The field's data carries no terminator of its own; hand out a terminated copy.
  m_ridText.assign(ridField->getData(), ridField->getLength());
  return m_ridText.c_str();
}

void QelPSink::handleRowDelete(QelRecord& rec, int row) {
  if (!m_hdlPubDelCb) return;
  if (const char* rid = publishedRid(rec, row)) m_hdlPubDelCb->handlePublishedDelete(*this, rid);
}

void QelPSink::handleFieldUpdate(QelRecord& rec, int row, QelField& field) {
  if (!m_hdlPubUpdCb) return;
  if (const char* rid = publishedRid(rec, row)) m_hdlPubUpdCb->handlePublishedField(*this, rid, field);
}
