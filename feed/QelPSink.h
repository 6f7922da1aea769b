#pragma once
// The sink the program runs: a subscription sink that also keeps the feed's
// publish list "p#", one row per published record (FID 0 holds its record
// identifier), applying every publish frame to it and reporting row deletions
// and field changes to up to two publish listeners (not owned).
//
// The feed sends publish frames unasked, so the list is bounded: at most
// PUBLISH_LIST_MAX_ROWS rows and PUBLISH_LIST_MAX_BYTES bytes of fields (its
// update length). Rows and fields past either limit are dropped, with one log
// line when the list fills; frames keep being read, and what fits (deletions,
// replacements, a CLEAR) is still applied.

#include "feed/QelRecord.h"
#include "feed/QelSink.h"
#include "feed/QelUpdate.h"

class QelPSink;

class QelPublishListener {
 public:
  virtual ~QelPublishListener() = default;
  virtual void handlePublishedField(QelPSink& sink, QelRID rid, QelField& field) = 0;
  virtual void handlePublishedDelete(QelPSink& sink, QelRID rid) = 0;
};

class QelPSink : public QelSink, public QelRecordListener {
 public:
  static constexpr unsigned PUBLISH_LIST_MAX_ROWS = 10000;
  static constexpr std::uint32_t PUBLISH_LIST_MAX_BYTES = 1024 * 1024;

  QelPSink();
  ~QelPSink() override;

  bool handleRecvMessage(QelMessage* msg) override;
  void handleRowDelete(QelRecord& rec, int row) override;
  void handleFieldUpdate(QelRecord& rec, int row, QelField& field) override;

  void registerHandlePublishUpdate(QelPublishListener* l) { m_hdlPubUpdCb = l; }
  void registerHandlePublishDelete(QelPublishListener* l) { m_hdlPubDelCb = l; }
  const QelRecord& getPublishList() const { return m_publishList; }

 private:
  bool handlePublishUpdate(QelRID rid, unsigned ridLength, QelUpdate& upd);
  // The row's FID 0 data as a terminated identifier, or null when it has none.
  const char* publishedRid(QelRecord& rec, int row);

  QelPublishListener* m_hdlPubUpdCb;
  QelPublishListener* m_hdlPubDelCb;
  QelRecord m_publishList;
  std::string m_ridText;
  // The list refused something since it last took a frame whole.
  bool m_listFull;
};
