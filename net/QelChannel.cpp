#include "net/QelChannel.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iomanip>
#include <new>

#include "platform/Socket.h"
#include "support/Assert.h"
#include "support/Log.h"
#include "support/TavroUtil.h"

std::map<int, QelChannel*> QelChannel::m_channels;
std::stack<int> QelChannel::m_availableIDs;
std::string QelChannel::m_name = "default";
std::uint32_t QelChannel::m_numConnections = 0;

QelChannel::QelChannel()
    : buffer(new char[READ_BUFFER_SIZE]),
      msg(nullptr),
      buffer_length(0),
      buffer_pos(0),
      msg_length(0),
      msg_pos(0),
      max_msg_length(0),
      length_buffer{0, 0, 0, 0},
      m_maxRetries(DEFAULT_MAX_RETRIES),
      m_numRetries(0),
      m_lastConnectTime(0),
      m_retryInterval(1),
      m_msgsWritten{},
      m_msgsRead{},
      m_msgsWrittenCounter(0),
      m_msgsReadCounter(0),
      m_reportTime(std::time(nullptr) + MSG_REPORT_INTERVAL),
      m_peerName("none"),
      m_deliveryDepth(0) {
  if (!m_availableIDs.empty()) {
    m_id = m_availableIDs.top();
    m_availableIDs.pop();
  } else {
    m_id = static_cast<int>(m_channels.size());
  }
  m_channels.insert(std::make_pair(m_id, this));
  ++m_numConnections;
}

QelChannel::~QelChannel() {
  delete[] msg;
  for (char* old : m_retired) delete[] old;
  delete[] buffer;
  auto it = m_channels.find(m_id);
  if (it != m_channels.end() && it->second == this) {
    m_availableIDs.push(m_id);
    m_channels.erase(it);
  }
}

void QelChannel::removeFromChannelList(int id) {
  auto it = m_channels.find(id);
  if (it == m_channels.end()) return;
  m_availableIDs.push(id);
  m_channels.erase(it);
  LOG_INF("removed channel with id=" << id);
}

void QelChannel::addHost(const char* hostname, int port) {
  if (hostname) m_hostList.push_back(std::make_pair(std::string(hostname), port));
}

namespace {
struct HostEqual {
  std::string m_hostname;
  bool operator()(const std::pair<std::string, int>& entry) const { return entry.first == m_hostname; }
};
}  // namespace

bool QelChannel::removeHost(const char* hostname) {
  if (!hostname) return false;
  auto it = std::find_if(m_hostList.begin(), m_hostList.end(), HostEqual{hostname});
  if (it == m_hostList.end()) return false;
  m_hostList.erase(it);
  return true;
}

bool QelChannel::process() {
  if (isConnected()) return true;
  if (m_numRetries >= m_maxRetries) return false;
  if (m_hostList.empty()) {
    LOG_INF("hostlist empty cannot connect");
    return false;
  }
  std::time_t now = std::time(nullptr);
  if (std::difftime(now, m_lastConnectTime) < static_cast<double>(m_retryInterval)) return false;
  LOG_INF("reconnecting...");
  const auto& host = m_hostList[static_cast<std::size_t>(TavroUtil::randInt(static_cast<int>(m_hostList.size())))];
  if (SocketClient::connect(host.first.c_str(), host.second)) {
    LOG_INF("connected to: " << host.first << ":" << host.second);
    m_numRetries = 0;
    return true;
  }
  ++m_numRetries;
  m_lastConnectTime = std::time(nullptr);
  return false;
}

void QelChannel::handleRead() {
  // A read that fills the buffer says more is waiting: a few reads per event
  // take in what the feed sent while the loop served others.
  for (int round = 0; round < READS_PER_EVENT && !disconnect_pending; ++round) {
    int n = 0;
    if (buffer_pos >= buffer_length) {
      n = read(buffer, READ_BUFFER_SIZE);
      if (n == 0) {
        disconnect_pending = true;
        return;
      }
      if (n < 0) {
        int err = socketLastError();
        if (socketErrorIsInterrupted(err) || socketErrorIsWouldBlock(err)) {
          LOG_DBG("no data");
          return;
        }
        LOG_ERR("QelChannel::handleRead( " << getFD() << " ) - " << socketErrorText(err));
        disconnect_pending = true;
        return;
      }
      buffer_pos = 0;
      buffer_length = n;
    }
    processBuffer(buffer);
    if (n < READ_BUFFER_SIZE || buffer_pos < buffer_length) return;
  }
}

void QelChannel::receive(const char* data, std::size_t length) {
  // Taken in place, as a read into the receive buffer would have left them.
  while (length > 0 && !disconnect_pending) {
    int n = length < static_cast<std::size_t>(READ_BUFFER_SIZE) ? static_cast<int>(length) : READ_BUFFER_SIZE;
    buffer_pos = 0;
    buffer_length = n;
    processBuffer(data);
    buffer_pos = buffer_length = 0;  // nothing of the caller's bytes is kept
    data += n;
    length -= static_cast<std::size_t>(n);
  }
}

void QelChannel::processBuffer(const char* input) {
  // Members are re-read on every pass: a handler may disconnect (emptying the
  // buffer) or re-enter this reader from a nested event loop.
  while (buffer_pos < buffer_length && !disconnect_pending) {
    if (msg_pos < 4) {
      length_buffer[msg_pos++] = static_cast<unsigned char>(input[buffer_pos++]);
      if (msg_pos == 4 && !startFrame()) return;
      continue;
    }
    std::uint32_t want = msg_length - msg_pos;
    std::uint32_t have = static_cast<std::uint32_t>(buffer_length - buffer_pos);
    std::uint32_t n = want < have ? want : have;
    // Up to the rid_length byte first, so a bad one is refused before the body is awaited.
    if (msg_pos < 6 && msg_pos + n > 6) n = 6 - msg_pos;
    std::memcpy(msg + msg_pos, input + buffer_pos, n);
    msg_pos += n;
    buffer_pos += static_cast<int>(n);
    if (msg_pos == 6 && QELMSG_MIN_LENGTH + static_cast<unsigned char>(msg[5]) > msg_length) {
      LOG_ERR_CAPPED("QelChannel::recvMessage - invalid rid length " << static_cast<unsigned>(static_cast<unsigned char>(msg[5]))
                                                               << " in a frame of " << msg_length << " bytes");
      rejectFrame();
      return;
    }
    if (msg_pos == msg_length) {
      msg_pos = 0;
      if (!QelMessage::at(msg)->isValid()) {
        LOG_ERR_CAPPED("QelChannel::recvMessage - invalid message");
        rejectFrame();
        return;
      }
      deliver();
    }
  }
}

bool QelChannel::startFrame() {
  msg_length = readLE32(length_buffer);
  if (msg_length > MAX_MSG_LENGTH) {
    // Well formed, perhaps, but more than this program takes in one frame.
    LOG_ERR_CAPPED("QelChannel::recvMessage - frame of " << msg_length << " bytes exceeds this program's limit of "
                                                         << MAX_MSG_LENGTH << " bytes");
    rejectFrame();
    return false;
  }
  if (msg_length < QELMSG_MIN_LENGTH) {
    LOG_ERR_CAPPED("QelChannel::recvMessage - invalid message length " << msg_length);
    rejectFrame();
    return false;
  }
  if (msg_length > max_msg_length) {
    char* grown = new (std::nothrow) char[msg_length]();
    if (!grown) {
      LOG_ERR("couldn't allocate " << msg_length << " bytes");
      msg_length = 0;
      max_msg_length = 0;
      disconnect_pending = true;
      return false;
    }
    if (m_deliveryDepth > 0 && msg)
      m_retired.push_back(msg);
    else
      delete[] msg;
    msg = grown;
    max_msg_length = msg_length;
    LOG_DBG("growing msg " << max_msg_length);
  }
  std::memcpy(msg, length_buffer, 4);
  return true;
}

void QelChannel::rejectFrame() {
  msg_pos = 0;
  disconnect_pending = true;
}

void QelChannel::deliver() {
  QelMessage* frame = QelMessage::at(msg);
  unsigned type = frame->getType();
  if (type < static_cast<unsigned>(QELMSG_NUM_TYPES)) {
    ++m_msgsRead[type].total;
    m_msgsRead[type].totalBytes += frame->getLength();
  }
  ++m_msgsReadCounter;
  ++m_deliveryDepth;
  handleRecvMessage(frame);
  if (--m_deliveryDepth == 0) {
    for (char* old : m_retired) delete[] old;
    m_retired.clear();
  }
}

bool QelChannel::handleRecvMessage(QelMessage* message) {
  std::time_t now = std::time(nullptr);
  if (now >= m_reportTime) {
    LOG_INF("CHAN( " << m_peerName << " ) #MSGS: R= " << std::left << std::setw(8) << m_msgsReadCounter
                     << " W= " << std::setw(8) << m_msgsWrittenCounter);
    m_reportTime = now + MSG_REPORT_INTERVAL;
    m_msgsReadCounter = 0;
    m_msgsWrittenCounter = 0;
  }
  if (message->getType() == QELMSG_NAME) {
    // Only a new name is news: a peer repeating its name writes nothing.
    if (m_peerName != message->getRID()) {
      m_peerName = message->getRID();
      LOG_INF_CAPPED("NEW CHAN( " << m_peerName << " )");
    }
    return true;
  }
  return false;
}

bool QelChannel::sendMessage(unsigned char type, QelRID rid) {
  QelMessage* message = QelMessage::create(type, rid, 64);
  if (!message) return false;
  bool sent = sendMessage(message);
  QelMessage::release(message);
  return sent;
}

bool QelChannel::sendMessage(QelMessage* message) {
  if (!isConnected()) {
    // The ping timer asks every 10 s while a dialog waits: a window longer
    // than that period is what caps it (one line, then a count every 10 minutes).
    static LogLimit notConnected(1, 600);
    LOG_ERR_LIMITED(notConnected, "QelChannel::sendMessage - not connected");
    return false;
  }
  TAVRO_ASSERT(message->getLength() > 0, "QelChannel");
  unsigned type = message->getType();
  if (type < static_cast<unsigned>(QELMSG_NUM_TYPES)) {
    ++m_msgsWritten[type].total;
    m_msgsWritten[type].totalBytes += message->getLength();
  }
  ++m_msgsWrittenCounter;
  write(message->bytes(), static_cast<int>(message->getLength()));
  return true;
}

void QelChannel::handleConnect() {
  if (!sendMessage(QELMSG_NAME, m_name.c_str())) LOG_WRN("unable to send name to peer");
}

void QelChannel::handleDisconnect() {
  LOG_INF("CHAN DISCONNECT( " << m_peerName << " )");
  msg_pos = 0;
  buffer_pos = 0;
  buffer_length = 0;
}
