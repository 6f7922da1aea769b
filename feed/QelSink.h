#pragma once
// The client end of the subscription protocol: a channel that also knows the
// subscription status of every record it asked for. Requests are sent only
// when the transition table allows them; received images, updates and statuses
// advance the statuses and reach the registered listeners. A lost connection
// marks open records stale; a new one reopens them. Listeners are not owned.

#include <ctime>

#include "feed/QelRecordSet.h"
#include "net/QelChannel.h"

class QelSink;

// Every default body is a trap: a listener overrides exactly what it registers for.
class QelSinkListener {
 public:
  virtual ~QelSinkListener() = default;
  virtual void handleImage(QelSink& sink, QelMessage* msg);
  virtual void handleUpdate(QelSink& sink, QelMessage* msg);
  virtual void handleStatus(QelSink& sink, QelRID rid, int old_status, int new_status);
  virtual void handlePing(QelSink& sink);
  virtual void handlePingAck(QelSink& sink);
  virtual void handleDisconnect(QelSink& sink);
  virtual void handleConnect(QelSink& sink);
  virtual void openSent(QelSink& sink, QelRID rid);
  virtual void snapSent(QelSink& sink, QelRID rid);
  virtual void closeSent(QelSink& sink, QelRID rid);
};

class QelSink : public QelChannel, public QelRecordSet {
 public:
  QelSink();
  ~QelSink() override = default;

  void registerHandleImage(QelSinkListener* l) { m_hdlImageCb = l; }
  void registerHandleUpdate(QelSinkListener* l) { m_hdlUpdateCb = l; }
  void registerHandleStatus(QelSinkListener* l) { m_hdlStatusCb = l; }
  void registerHandlePing(QelSinkListener* l) { m_hdlPingCb = l; }
  void registerHandlePingAck(QelSinkListener* l) { m_hdlPingAckCb = l; }
  void registerHandleDisconnect(QelSinkListener* l) { m_hdlDisconnectCb = l; }
  void registerHandleConnect(QelSinkListener* l) { m_hdlConnectCb = l; }
  void registerOpenSent(QelSinkListener* l) { m_openSentCb = l; }
  void registerSnapSent(QelSinkListener* l) { m_snapSentCb = l; }
  void registerCloseSent(QelSinkListener* l) { m_closeSentCb = l; }

  virtual bool sendOpen(QelRID rid);
  virtual bool sendClose(QelRID rid);
  virtual bool sendSnapshot(QelRID rid);
  virtual bool sendPing();
  virtual bool sendPingAck();

  bool handleRecvMessage(QelMessage* msg) override;
  // The owner tag of the record whose image or update the listener is being
  // handed (QelRecordSet::setRecordOwner); null outside that call or untagged.
  void* recordOwner() const { return m_recordOwner; }
  void process();
  // Replaces the wall clock behind the stale check of process() (null restores).
  static void setClock(std::time_t (*clock)());

 protected:
  void handleConnect() override;
  void handleDisconnect() override;
  virtual void handleImage(QelMessage* msg);
  virtual void handleUpdate(QelMessage* msg);
  virtual void handleStatus(QelRID rid, int status);
  virtual void handlePing();
  virtual void handlePingAck();

 private:
  bool sendRequest(QelRID rid, int action, unsigned char type, void (QelSinkListener::*told)(QelSink&, QelRID),
                   QelSinkListener* listener);

  std::time_t next_stale_check;
  void* m_recordOwner;
  QelSinkListener* m_hdlImageCb;
  QelSinkListener* m_hdlUpdateCb;
  QelSinkListener* m_hdlStatusCb;
  QelSinkListener* m_hdlPingCb;
  QelSinkListener* m_hdlPingAckCb;
  QelSinkListener* m_hdlDisconnectCb;
  QelSinkListener* m_hdlConnectCb;
  QelSinkListener* m_openSentCb;
  QelSinkListener* m_snapSentCb;
  QelSinkListener* m_closeSentCb;
};
