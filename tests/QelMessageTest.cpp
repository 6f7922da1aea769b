#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "net/QelMessage.h"
#include "tests/TestSupport.h"

namespace {

std::string bytesOf(const QelMessage* m) { return std::string(m->bytes(), m->getLength()); }

struct Released {
  void operator()(QelMessage* m) const { QelMessage::release(m); }
};
using MessagePtr = std::unique_ptr<QelMessage, Released>;

TEST(QelMessageTest, BuildsTheWireBytesOfDataLessFrames) {
  struct Case {
    unsigned char type;
    const char* rid;
    const char* expected;
  } cases[] = {
      {QELMSG_PING, nullptr, "09 00 00 00 06 00 00 00 4A"},
      {QELMSG_OPEN, "ABC", "0C 00 00 00 00 03 00 41 42 43 00 4A"},
      {QELMSG_NAME, "default", "10 00 00 00 09 07 00 64 65 66 61 75 6C 74 00 4A"},
  };
  for (const Case& c : cases) {
    MessagePtr m(QelMessage::create(c.type, c.rid, 64));
    ASSERT_TRUE(m);
    EXPECT_EQ(hex(bytesOf(m.get())), c.expected);
    EXPECT_TRUE(m->isValid());
    EXPECT_EQ(m->getDataLength(), 0u);
  }
}

TEST(QelMessageTest, DataFollowsTheRidAndMovesTheTrailer) {
  MessagePtr m(QelMessage::create(QELMSG_STATUS, "ABC", 64));
  const char status[4] = {5, 0, 0, 0};
  m->set(status, 4);
  EXPECT_EQ(hex(bytesOf(m.get())), "10 00 00 00 05 03 00 41 42 43 00 05 00 00 00 4A");
  EXPECT_EQ(m->getDataLength(), 4u);
  EXPECT_EQ(std::string(m->getData(), 4), std::string(status, 4));
  EXPECT_STREQ(m->getRID(), "ABC");
  EXPECT_EQ(m->getRIDLength(), 3u);
  EXPECT_TRUE(m->isValid());
  // Rewriting as data-less keeps nothing of the old data.
  ASSERT_TRUE(m->set(QELMSG_CLOSE, "XY"));
  EXPECT_EQ(hex(bytesOf(m.get())), "0B 00 00 00 01 02 00 58 59 00 4A");
}

TEST(QelMessageTest, RefusesRidsLongerThanAFrameCarries) {
  std::string longest(255, 'R');
  MessagePtr ok(QelMessage::create(QELMSG_OPEN, longest.c_str(), 0));
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->getLength(), 9u + 255u);
  EXPECT_EQ(ok->getRIDLength(), 255u);

  LogCapture logs;
  std::string tooLong(256, 'R');
  EXPECT_EQ(QelMessage::create(QELMSG_OPEN, tooLong.c_str(), 64), nullptr);
  EXPECT_FALSE(ok->set(QELMSG_OPEN, tooLong.c_str()));
  EXPECT_EQ(ok->getRIDLength(), 255u);  // unchanged
  EXPECT_TRUE(logs.contains("too long for a frame"));
}

TEST(QelMessageTest, ValidityNeedsTrailerTerminatorAndConsistentLengths) {
  auto valid = [](std::string f) { return QelMessage::at(&f[0])->isValid(); };
  std::string good = frame(QELMSG_IMAGE, "L1^LSE^VOD", "data");
  EXPECT_TRUE(valid(good));

  std::string badTrailer = good;
  badTrailer.back() = 'K';
  EXPECT_FALSE(valid(badTrailer));

  std::string badTerminator = good;
  badTerminator[7 + 10] = 'x';
  EXPECT_FALSE(valid(badTerminator));

  std::string shortLength = good;
  shortLength[0] = 8;
  EXPECT_FALSE(valid(shortLength));

  // rid_length puts the terminator on the trailer.
  std::string ridOnTrailer = frame(QELMSG_IMAGE, "AB");
  ridOnTrailer[5] = 3;
  EXPECT_FALSE(valid(ridOnTrailer));
  EXPECT_EQ(QelMessage::at(&ridOnTrailer[0])->getDataLength(), 0u);
}

}  // namespace

namespace {

TEST(QelMessageTest, LoggedIdentifiersNeverCarryThePassword) {
  EXPECT_EQ(loggableRID("AUTH^demo^s3cret"), "AUTH^demo^***");
  EXPECT_EQ(loggableRID("AUTH^demo"), "AUTH^demo***");
  EXPECT_EQ(loggableRID("AUTH^"), "AUTH^***");
  EXPECT_EQ(loggableRID("L1^LSE^VOD"), "L1^LSE^VOD");
  EXPECT_EQ(loggableRID(nullptr), "");
}

}  // namespace
