#include "feed/QelPSink.h"

#include <cstring>
#include <iostream>

#include "support/Log.h"

QelPSink::QelPSink() : m_hdlPubUpdCb(nullptr), m_hdlPubDelCb(nullptr) {
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
  handlePublishUpdate(msg->getRID(), update);
  return true;
}

bool QelPSink::handlePublishUpdate(QelRID rid, QelUpdate& upd) {
  if (std::strcmp(rid, "p#") != 0) {
    std::cout << "QelPSink::handlePublish invalid publish update\n";
    std::cout.flush();
    return false;
  }
  upd.apply(m_publishList);
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
