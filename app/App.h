#pragma once
// The program's one sink listener: routes each image, update and ERROR status
// the feed sends to the right cached instrument or to the login flow.

#include "feed/QelSink.h"

class App : public QelSinkListener {
 public:
  void handleImage(QelSink& sink, QelMessage* msg) override;
  void handleUpdate(QelSink& sink, QelMessage* msg) override;
  void handleStatus(QelSink& sink, QelRID rid, int old_status, int new_status) override;
  void handleDisconnect(QelSink& sink) override;
  void handleRecord(QelSink& sink, QelMessage* msg);
};
