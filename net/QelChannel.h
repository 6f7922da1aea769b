#pragma once
// The framed-message channel over one SocketClient connection: reassembles
// frames from any split of the byte stream, validates each before handing it
// to handleRecvMessage (in place, valid only for that call), sends frames,
// exchanges channel names with the peer, keeps per-type statistics, and can
// reconnect to one of a list of hosts. Every live channel is registered under
// a small integer id. Knows nothing of subscriptions.

#include <ctime>
#include <map>
#include <stack>
#include <string>
#include <utility>
#include <vector>

#include "net/QelMessage.h"
#include "net/SocketClient.h"

struct MessageStats {
  std::uint32_t total;
  std::uint32_t totalBytes;
};

class QelChannel : public SocketClient {
 public:
  typedef std::vector<std::pair<std::string, int>> HostList;

  static constexpr std::uint16_t DEFAULT_MAX_RETRIES = 1000;
  static constexpr int MSG_REPORT_INTERVAL = 5;  // seconds
  static constexpr int READ_BUFFER_SIZE = 102400;
  static constexpr int READS_PER_EVENT = 8;
  // Frames longer than this are refused as malformed rather than allocated.
  static constexpr std::uint32_t MAX_MSG_LENGTH = 16u * 1024u * 1024u;

  QelChannel();
  ~QelChannel() override;

  bool process();
  void addHost(const char* hostname, int port);
  bool removeHost(const char* hostname);
  void clearHosts() { m_hostList.clear(); }

  using SocketClient::handleRead;
  void handleRead() override;
  virtual bool handleRecvMessage(QelMessage* msg);
  // Takes bytes as if they had been read from the connection: the same
  // reassembly, checks and deliveries, without a socket (fuzzing, benchmarks).
  void receive(const char* data, std::size_t length);
  virtual bool sendMessage(unsigned char type, QelRID rid);
  virtual bool sendMessage(QelMessage* msg);

  int getMaxRetries() const { return m_maxRetries; }
  void setMaxRetries(int n) { m_maxRetries = n; }
  int getRetryInterval() const { return m_retryInterval; }
  void setRetryInterval(int seconds) { m_retryInterval = seconds; }
  const HostList& getHostList() const { return m_hostList; }
  const MessageStats* getMsgWriteStats() const { return m_msgsWritten; }
  const MessageStats* getMsgReadStats() const { return m_msgsRead; }
  int getID() const { return m_id; }
  const std::string& getPeerName() const { return m_peerName; }
  std::uint32_t getMaxMsgLength() const { return max_msg_length; }

  static const std::map<int, QelChannel*>& getChannels() { return m_channels; }
  static void removeFromChannelList(int id);
  static void setName(const std::string& name) { m_name = name; }
  static std::uint32_t getNumConnections() { return m_numConnections; }
  static void resetConnectionCounter() { m_numConnections = 0; }

 protected:
  void handleConnect() override;
  void handleDisconnect() override;

 private:
  // Reassembles input[buffer_pos, buffer_length).
  void processBuffer(const char* input);
  bool startFrame();
  void deliver();
  void rejectFrame();

  char* buffer;
  char* msg;
  int buffer_length;
  int buffer_pos;
  std::uint32_t msg_length;
  std::uint32_t msg_pos;
  std::uint32_t max_msg_length;
  unsigned char length_buffer[4];
  HostList m_hostList;
  int m_maxRetries;
  int m_numRetries;
  std::time_t m_lastConnectTime;
  int m_retryInterval;
  MessageStats m_msgsWritten[QELMSG_NUM_TYPES];
  MessageStats m_msgsRead[QELMSG_NUM_TYPES];
  std::uint32_t m_msgsWrittenCounter;
  std::uint32_t m_msgsReadCounter;
  std::time_t m_reportTime;
  std::string m_peerName;
  int m_id;
  // A handler may re-enter the event loop (a modal dialog) and so this reader;
  // a frame buffer outgrown meanwhile is kept until the outer delivery ends.
  int m_deliveryDepth;
  std::vector<char*> m_retired;

  static std::map<int, QelChannel*> m_channels;
  static std::stack<int> m_availableIDs;
  static std::string m_name;
  static std::uint32_t m_numConnections;
};
