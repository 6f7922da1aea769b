#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>

#include "net/SocketClient.h"
#include "platform/Socket.h"
#include "tests/TestSupport.h"

namespace {

class TestClient : public SocketClient {
 public:
  int connects = 0;
  int disconnects = 0;
  int reads = 0;
  using SocketClient::handleRead;
  bool pending() const { return disconnect_pending; }

 protected:
  void handleConnect() override { ++connects; }
  void handleDisconnect() override { ++disconnects; }
  void handleRead() override { ++reads; }
};

// Fills the client's socket until the kernel takes no more, behind the client's back.
void fillSocket(int fd) {
  ASSERT_TRUE(socketSetNonBlocking(fd, true));
  std::string block(65536, 'f');
  while (socketSend(fd, block.data(), static_cast<int>(block.size())) > 0) {
  }
}

class SocketClientTest : public ::testing::Test {
 protected:
  void connectClient() {
    ASSERT_TRUE(server.listening());
    ASSERT_TRUE(client.connect("127.0.0.1", server.port()));
    ASSERT_GE(server.accept(), 0);
    socketSetBufferSizes(client.getFD(), 4096, 0);
    socketSetBufferSizes(server.peer(), 0, 4096);
  }
  LoopbackServer server;
  TestClient client;
};

TEST_F(SocketClientTest, ConnectsAndRunsTheHooks) {
  connectClient();
  EXPECT_TRUE(client.isConnected());
  EXPECT_EQ(client.connects, 1);
  EXPECT_EQ(client.getConnectionInfo(), std::make_pair(std::string("127.0.0.1"), server.port()));
  client.disconnect();
  EXPECT_FALSE(client.isConnected());
  EXPECT_EQ(client.disconnects, 1);
  EXPECT_EQ(client.getConnectionInfo(), std::make_pair(std::string("none"), 0));
}

TEST_F(SocketClientTest, ConnectToClosedPortFailsWithWarning) {
  int port = server.port();
  server.closeListener();
  LogCapture logs;
  EXPECT_FALSE(client.connect("127.0.0.1", port));
  EXPECT_FALSE(client.isConnected());
  EXPECT_EQ(client.connects, 0);
  EXPECT_TRUE(logs.contains("WRN - (127.0.0.1," + std::to_string(port) + ") - connect - ")) << logs.text();
}

TEST_F(SocketClientTest, UnresolvableHostIsAnError) {
  LogCapture logs;
  EXPECT_FALSE(client.connect("", 7000));
  EXPECT_TRUE(logs.contains("ERR - (, 7000 ) - gethostbyname - ")) << logs.text();
  EXPECT_FALSE(client.connect(nullptr, 7000));
}

TEST_F(SocketClientTest, ConnectIsRefusedSilentlyWhileConnectedOrPending) {
  connectClient();
  LogCapture logs;
  EXPECT_FALSE(client.connect("127.0.0.1", server.port()));
  EXPECT_EQ(logs.text(), "");
  EXPECT_EQ(client.connects, 1);
}

TEST_F(SocketClientTest, DisconnectWithoutConnectionOnlyResetsState) {
  LogCapture logs;
  client.setConnectionInfo("somewhere", 12);
  client.disconnect();
  EXPECT_EQ(logs.text(), "");
  EXPECT_EQ(client.disconnects, 0);
  EXPECT_EQ(client.getConnectionInfo(), std::make_pair(std::string("none"), 0));
}

TEST_F(SocketClientTest, WriteWithoutConnectionIsDroppedWithWarning) {
  LogCapture logs;
  client.write("hello");
  EXPECT_TRUE(logs.contains(" attempted write when fd=-1"));
  EXPECT_FALSE(client.hasQueuedOutput());
}

TEST_F(SocketClientTest, UnsentBytesAreQueuedInChunksAndDrainInOrder) {
  connectClient();
  fillSocket(client.getFD());
  std::string big(20000, 'a');
  client.write(big.data(), static_cast<int>(big.size()));
  EXPECT_EQ(client.queuedChunkSizes(), std::vector<int>({20000}));
  client.write("0123456789");
  EXPECT_EQ(client.queuedChunkSizes(), std::vector<int>({20000, 10240}));
  client.write("abc");  // fits the last chunk
  EXPECT_EQ(client.queuedChunkSizes(), std::vector<int>({20000, 10240}));
  EXPECT_EQ(client.queuedBytes(), 20013u);

  // Drain: the filler first, then exactly our bytes in write order.
  std::string received;
  ASSERT_TRUE(pollUntil([&] { return !client.hasQueuedOutput(); },
                        [&] {
                          received += server.drain(1);
                          if (waitWritable(client.getFD(), 10)) client.handleWrite(client.getFD());
                        }));
  received += server.drain(50);
  ASSERT_GE(received.size(), 20013u);
  EXPECT_EQ(received.substr(received.size() - 20013), big + "0123456789abc");
  EXPECT_FALSE(client.pending());
}

TEST_F(SocketClientTest, PartlyWrittenChunkStaysWithItsRest) {
  connectClient();
  fillSocket(client.getFD());
  std::string big(200000, 'b');
  client.write(big.data(), static_cast<int>(big.size()));
  ASSERT_EQ(client.queuedChunks(), 1u);
  // Make some room, far less than the chunk needs.
  ASSERT_TRUE(pollUntil([&] { return waitWritable(client.getFD(), 20); }, [&] { server.drain(1); }));
  client.handleWrite(client.getFD());
  EXPECT_EQ(client.queuedChunks(), 1u);
  EXPECT_LT(client.queuedBytes(), big.size());
  EXPECT_GT(client.queuedBytes(), 0u);
}

TEST_F(SocketClientTest, QueueObserverSeesQueueStartAndEnd) {
  connectClient();
  std::vector<bool> seen;
  client.setQueueObserver([&](bool queued) { seen.push_back(queued); });
  fillSocket(client.getFD());
  client.write("x");
  client.write("y");
  EXPECT_EQ(seen, std::vector<bool>({true}));
  ASSERT_TRUE(pollUntil([&] { return !client.hasQueuedOutput(); },
                        [&] {
                          server.drain(1);
                          if (waitWritable(client.getFD(), 10)) client.handleWrite(client.getFD());
                        }));
  EXPECT_EQ(seen, std::vector<bool>({true, false}));
}

TEST_F(SocketClientTest, QueueOverSixThousandChunksMarksForDisconnect) {
  connectClient();
  fillSocket(client.getFD());
  std::string chunk(SocketClient::MIN_BUFFER_SIZE + 1, 'c');  // one chunk per write
  for (std::uint32_t i = 0; i <= SocketClient::MAX_WRITE_BUFFER_LENGTH; ++i)
    client.write(chunk.data(), static_cast<int>(chunk.size()));
  ASSERT_EQ(client.queuedChunks(), 6001u);
  EXPECT_FALSE(client.pending());

  LogCapture logs;
  client.write("more");
  EXPECT_TRUE(client.pending());
  EXPECT_EQ(logs.count("disconnecting due to write buffer max exceeded " + std::to_string(client.getFD())), 1);
  client.write("dropped");
  EXPECT_EQ(logs.count("write buffer max exceeded"), 1);
  EXPECT_EQ(client.queuedChunks(), 6001u);

  // The next read event disconnects instead of reading.
  client.handleRead(client.getFD());
  EXPECT_FALSE(client.isConnected());
  EXPECT_EQ(client.reads, 0);
  EXPECT_FALSE(client.pending());
}

TEST_F(SocketClientTest, HardSendFailureMarksForDisconnect) {
  connectClient();
  socketSetNonBlocking(client.getFD(), true);
  server.closePeer();
  ASSERT_TRUE(pollUntil([&] { return client.pending(); }, [&] { client.write("ping"); }, 2000));
  EXPECT_TRUE(client.isConnected());  // not closed on the spot
  client.handleRead(client.getFD());
  EXPECT_FALSE(client.isConnected());
  EXPECT_EQ(client.disconnects, 1);
}

TEST_F(SocketClientTest, ReadEventReachesTheHookWhenNothingIsPending) {
  connectClient();
  client.handleRead(client.getFD());
  EXPECT_EQ(client.reads, 1);
}

TEST_F(SocketClientTest, PrintFNeverOverrunsItsBuffer) {
  connectClient();
  std::string longText(3000, 'p');
  client.clientPrintF("%s|%d", longText.c_str(), 42);
  std::string got = server.receive(1023, 2000);
  EXPECT_EQ(got, std::string(1023, 'p'));
  EXPECT_EQ(server.drain(50), "");
  client.clientPrintF("n=%d", 7);
  EXPECT_EQ(server.receive(3, 2000), "n=7");
}

}  // namespace
