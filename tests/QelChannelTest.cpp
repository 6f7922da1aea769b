#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "net/QelChannel.h"
#include "support/Log.h"
#include "platform/Socket.h"
#include "tests/TestSupport.h"

namespace {

class TestChannel : public QelChannel {
 public:
  std::vector<std::string> frames;
  int disconnectAfter = -1;  // disconnect from inside the handler after this many frames
  bool pending() const { return disconnect_pending; }

  bool handleRecvMessage(QelMessage* msg) override {
    if (QelChannel::handleRecvMessage(msg)) return true;
    frames.emplace_back(msg->bytes(), msg->getLength());
    if (static_cast<int>(frames.size()) == disconnectAfter) disconnect();
    return true;
  }
};

const std::string kNameFrame = frame(QELMSG_NAME, "default");

class QelChannelTest : public ::testing::Test {
 protected:
  void connect() {
    ASSERT_TRUE(server.listening());
    ASSERT_TRUE(channel.connect("127.0.0.1", server.port()));
    ASSERT_GE(server.accept(), 0);
    ASSERT_EQ(server.receive(kNameFrame.size()), kNameFrame);
    socketSetNonBlocking(channel.getFD(), true);
  }
  // Delivers every byte that has arrived (and waits up to `ms` for the first).
  void pump(int ms = 200) {
    while (channel.isConnected() && waitReadable(channel.getFD(), ms)) {
      channel.handleRead(channel.getFD());
      ms = 5;
    }
  }
  LoopbackServer server;
  TestChannel channel;
};

TEST_F(QelChannelTest, AnnouncesItsNameOnConnect) {
  connect();  // checks the exact announcement bytes
  EXPECT_EQ(channel.getMsgWriteStats()[QELMSG_NAME].total, 1u);
  EXPECT_EQ(channel.getMsgWriteStats()[QELMSG_NAME].totalBytes, 16u);
}

TEST_F(QelChannelTest, ReassemblesFramesSplitAtEveryByteBoundary) {
  connect();
  const std::vector<std::string> sent = {
      frame(QELMSG_PING, ""),
      frame(QELMSG_IMAGE, "L1^LSE^VOD", std::string("\x03\x00\x00\x00\x05\x01", 6) + std::string(40, 'd')),
      frame(QELMSG_STATUS, "ABC", le32(5)),
  };
  std::string stream;
  for (const std::string& f : sent) stream += f;

  for (std::size_t cut = 1; cut < stream.size(); ++cut) {
    channel.frames.clear();
    ASSERT_TRUE(server.send(stream.substr(0, cut)));
    pump();
    ASSERT_TRUE(server.send(stream.substr(cut)));
    ASSERT_TRUE(pollUntil([&] { return channel.frames.size() >= sent.size(); }, [&] { pump(50); }, 2000))
        << "cut at " << cut;
    EXPECT_EQ(channel.frames, sent) << "cut at " << cut;
  }
  EXPECT_FALSE(channel.pending());
}

TEST_F(QelChannelTest, OneBytePerReadDeliversOnceAfterTheLastByte) {
  connect();
  const std::string f = frame(QELMSG_UPDATE, "L1^NQ^MSFT^d", "xyz");
  for (std::size_t i = 0; i < f.size(); ++i) {
    EXPECT_TRUE(channel.frames.empty()) << "delivered early, before byte " << i;
    ASSERT_TRUE(server.send(f.substr(i, 1)));
    ASSERT_TRUE(waitReadable(channel.getFD(), 2000));
    channel.handleRead(channel.getFD());
  }
  ASSERT_EQ(channel.frames.size(), 1u);
  EXPECT_EQ(channel.frames[0], f);
}

TEST_F(QelChannelTest, ManyFramesInOneReadAndATailForLater) {
  connect();
  const std::string a = frame(QELMSG_IMAGE, "A", "1"), b = frame(QELMSG_UPDATE, "B", "22"),
                    c = frame(QELMSG_PING_ACK, ""), d = frame(QELMSG_UPDATE, "D", "4444");
  ASSERT_TRUE(server.send(a + b + c + d.substr(0, 2)));
  pump();
  EXPECT_EQ(channel.frames, std::vector<std::string>({a, b, c}));
  ASSERT_TRUE(server.send(d.substr(2)));
  pump();
  EXPECT_EQ(channel.frames, std::vector<std::string>({a, b, c, d}));
  EXPECT_EQ(channel.getMsgReadStats()[QELMSG_UPDATE].total, 2u);
  EXPECT_EQ(channel.getMsgReadStats()[QELMSG_UPDATE].totalBytes, b.size() + d.size());
}

TEST_F(QelChannelTest, FrameBufferGrowsOnlyForLongerFrames) {
  connect();
  LogCapture logs(4);
  const std::string f100 = frame(QELMSG_IMAGE, "R", std::string(90, 'x'));
  const std::string f50 = frame(QELMSG_IMAGE, "R", std::string(40, 'x'));
  const std::string f200 = frame(QELMSG_IMAGE, "R", std::string(190, 'x'));
  ASSERT_EQ(f100.size(), 100u);
  ASSERT_TRUE(server.send(f100 + f50));
  pump();
  ASSERT_EQ(channel.frames.size(), 2u);
  EXPECT_EQ(channel.getMaxMsgLength(), 100u);
  EXPECT_EQ(logs.count("growing msg 100"), 1);
  ASSERT_TRUE(server.send(f200));
  pump();
  EXPECT_EQ(logs.count("growing msg 200"), 1);
  EXPECT_EQ(channel.frames.back(), f200);
}

TEST_F(QelChannelTest, NameFrameSetsPeerNameAndIsNotPassedOn) {
  connect();
  LogCapture logs;
  ASSERT_TRUE(server.send(frame(QELMSG_NAME, "feedsim") + frame(QELMSG_PING, "")));
  pump();
  EXPECT_EQ(channel.getPeerName(), "feedsim");
  EXPECT_TRUE(logs.contains("NEW CHAN( feedsim )"));
  ASSERT_EQ(channel.frames.size(), 1u);
  EXPECT_EQ(channel.frames[0], frame(QELMSG_PING, ""));
  EXPECT_EQ(channel.getMsgReadStats()[QELMSG_NAME].total, 1u);
}

// The ten-second ping while a dialog waits wrote this line every time.
TEST_F(QelChannelTest, SendingWhileNotConnectedIsSaidOnceAndThenCounted) {
  LogCapture logs(3);
  for (int i = 0; i < 60; ++i) EXPECT_FALSE(channel.sendMessage(QELMSG_PING, ""));
  flushLogLimits();
  EXPECT_EQ(logs.count("sendMessage - not connected"), 1);
  EXPECT_TRUE(logs.contains("ERR - ... 59 more like this\n"));
}

TEST_F(QelChannelTest, TypesAboveNineAreDeliveredButNotCounted) {
  connect();
  ASSERT_TRUE(server.send(frame(42, "X")));
  pump();
  ASSERT_EQ(channel.frames.size(), 1u);
  std::uint32_t counted = 0;
  for (int t = 0; t < QELMSG_NUM_TYPES; ++t) counted += channel.getMsgReadStats()[t].total;
  EXPECT_EQ(counted, 0u);
}

struct Malformed {
  const char* name;
  std::string bytes;
  const char* logged;
};

class QelChannelMalformedTest : public QelChannelTest, public ::testing::WithParamInterface<Malformed> {};

TEST_P(QelChannelMalformedTest, IsDroppedLoggedAndMarksForDisconnect) {
  connect();
  LogCapture logs;
  const std::string good = frame(QELMSG_PING, "");
  ASSERT_TRUE(server.send(GetParam().bytes + good + good));
  pump();
  EXPECT_TRUE(channel.frames.empty());
  EXPECT_TRUE(channel.pending());
  EXPECT_TRUE(logs.contains(GetParam().logged)) << logs.text();
  // Nothing more is read; the next read event closes the connection.
  channel.handleRead(channel.getFD());
  EXPECT_FALSE(channel.isConnected());
  EXPECT_TRUE(channel.frames.empty());
  EXPECT_FALSE(channel.pending());
}

std::string withByte(std::string f, std::size_t at, char value) {
  f[at] = value;
  return f;
}

INSTANTIATE_TEST_SUITE_P(
    Frames, QelChannelMalformedTest,
    ::testing::Values(
        Malformed{"LengthZero", le32(0) + std::string(8, 'z'), "invalid message length 0"},
        Malformed{"LengthEight", le32(8) + std::string("\x06\x00\x00\x00", 4), "invalid message length 8"},
        // Frames past the cap may be well formed: the line says whose limit they pass.
        Malformed{"LengthHuge", le32(0xFFFFFFF0u) + "\x03\x01",
                  "ERR - QelChannel::recvMessage - frame of 4294967280 bytes exceeds this program's limit of "
                  "16777216 bytes\n"},
        Malformed{"LengthOneOverCap", le32(16u * 1024u * 1024u + 1u) + "\x03\x01",
                  "ERR - QelChannel::recvMessage - frame of 16777217 bytes exceeds this program's limit of "
                  "16777216 bytes\n"},
        Malformed{"RidPastTrailer", withByte(frame(QELMSG_IMAGE, "AB", "cd"), 5, 5), "invalid rid length 5"},
        Malformed{"RidPastLength", withByte(frame(QELMSG_IMAGE, "AB"), 5, static_cast<char>(200)),
                  "invalid rid length 200"},
        Malformed{"BadTrailer", withByte(frame(QELMSG_IMAGE, "AB", "cd"), 12, 'K'),
                  "QelChannel::recvMessage - invalid message"},
        Malformed{"BadTerminator", withByte(frame(QELMSG_IMAGE, "AB", "cd"), 9, 'x'),
                  "QelChannel::recvMessage - invalid message"}),
    [](const ::testing::TestParamInfo<Malformed>& info) { return std::string(info.param.name); });

TEST_F(QelChannelTest, PeerCloseMarksForDisconnectThenClosesOnNextRead) {
  connect();
  LogCapture logs;
  server.closePeer();
  ASSERT_TRUE(waitReadable(channel.getFD(), 2000));
  channel.handleRead(channel.getFD());
  EXPECT_TRUE(channel.pending());
  EXPECT_TRUE(channel.isConnected());
  channel.handleRead(channel.getFD());
  EXPECT_FALSE(channel.isConnected());
  EXPECT_TRUE(logs.contains("disconnecting!"));
  EXPECT_TRUE(logs.contains("CHAN DISCONNECT( none )"));
}

TEST_F(QelChannelTest, HandlerThatDisconnectsDropsTheRestOfTheRead) {
  connect();
  channel.disconnectAfter = 1;
  ASSERT_TRUE(server.send(frame(QELMSG_IMAGE, "A") + frame(QELMSG_IMAGE, "B") + frame(QELMSG_IMAGE, "C")));
  ASSERT_TRUE(waitReadable(channel.getFD(), 2000));
  channel.handleRead(channel.getFD());
  EXPECT_EQ(channel.frames.size(), 1u);
  EXPECT_FALSE(channel.isConnected());
}

TEST_F(QelChannelTest, PartialFrameIsDroppedOnDisconnect) {
  connect();
  const std::string f = frame(QELMSG_IMAGE, "A", "123");
  ASSERT_TRUE(server.send(f.substr(0, 6)));
  pump();
  channel.disconnect();
  // A fresh connection starts a fresh frame.
  ASSERT_TRUE(channel.connect("127.0.0.1", server.port()));
  ASSERT_GE(server.accept(), 0);
  server.receive(kNameFrame.size());
  socketSetNonBlocking(channel.getFD(), true);
  ASSERT_TRUE(server.send(f));
  pump();
  ASSERT_EQ(channel.frames.size(), 1u);
  EXPECT_EQ(channel.frames[0], f);
}

TEST_F(QelChannelTest, SendingWhileDisconnectedFailsWithoutCounting) {
  LogCapture logs;
  EXPECT_FALSE(channel.sendMessage(QELMSG_OPEN, "ABC"));
  EXPECT_TRUE(logs.contains("QelChannel::sendMessage - not connected"));
  EXPECT_EQ(channel.getMsgWriteStats()[QELMSG_OPEN].total, 0u);
}

TEST_F(QelChannelTest, SentFramesAreCountedAndArriveIntact) {
  connect();
  ASSERT_TRUE(channel.sendMessage(QELMSG_OPEN, "ABC"));
  EXPECT_EQ(hex(server.receive(12)), "0C 00 00 00 00 03 00 41 42 43 00 4A");
  EXPECT_EQ(channel.getMsgWriteStats()[QELMSG_OPEN].total, 1u);
  EXPECT_EQ(channel.getMsgWriteStats()[QELMSG_OPEN].totalBytes, 12u);
  std::string tooLong(300, 'r');
  EXPECT_FALSE(channel.sendMessage(QELMSG_OPEN, tooLong.c_str()));
  EXPECT_EQ(channel.getMsgWriteStats()[QELMSG_OPEN].total, 1u);
}

TEST_F(QelChannelTest, HostListKeepsDuplicatesAndRemovesFirstMatch) {
  channel.addHost("a", 1);
  channel.addHost("b", 2);
  channel.addHost("a", 3);
  channel.addHost(nullptr, 4);
  EXPECT_EQ(channel.getHostList().size(), 3u);
  EXPECT_TRUE(channel.removeHost("a"));
  ASSERT_EQ(channel.getHostList().size(), 2u);
  EXPECT_EQ(channel.getHostList()[0], std::make_pair(std::string("b"), 2));
  EXPECT_EQ(channel.getHostList()[1], std::make_pair(std::string("a"), 3));
  EXPECT_FALSE(channel.removeHost("zzz"));
  channel.clearHosts();
  EXPECT_TRUE(channel.getHostList().empty());
}

TEST_F(QelChannelTest, ProcessReconnectsFromTheHostList) {
  LogCapture logs;
  EXPECT_FALSE(channel.process());
  EXPECT_FALSE(channel.process());
  EXPECT_EQ(logs.count("hostlist empty cannot connect"), 2);

  channel.addHost("127.0.0.1", server.port());
  EXPECT_TRUE(channel.process());
  EXPECT_TRUE(logs.contains("reconnecting..."));
  EXPECT_TRUE(logs.contains("connected to: 127.0.0.1:" + std::to_string(server.port())));
  logs.clear();
  EXPECT_TRUE(channel.process());  // connected: nothing to do
  EXPECT_EQ(logs.text(), "");
}

TEST_F(QelChannelTest, ProcessCountsFailuresAndWaitsBetweenAttempts) {
  int port = server.port();
  server.closeListener();
  channel.addHost("127.0.0.1", port);
  channel.setRetryInterval(3600);
  LogCapture logs;
  EXPECT_FALSE(channel.process());  // first attempt is immediate
  EXPECT_EQ(logs.count("reconnecting..."), 1);
  EXPECT_FALSE(channel.process());  // too soon for another
  EXPECT_EQ(logs.count("reconnecting..."), 1);
  channel.setRetryInterval(0);
  channel.setMaxRetries(2);
  EXPECT_FALSE(channel.process());
  EXPECT_EQ(logs.count("reconnecting..."), 2);
  EXPECT_FALSE(channel.process());  // gave up after two failures
  EXPECT_EQ(logs.count("reconnecting..."), 2);
}

}  // namespace
