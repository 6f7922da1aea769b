#include <gtest/gtest.h>

#include <memory>

#include "net/QelChannel.h"
#include "tests/TestSupport.h"

// Kept apart so that no other channel of the process has touched the registry.
TEST(QelChannelRegistryTest, IdsAreDenseAndFreedIdsAreReusedLatestFirst) {
  auto c0 = std::make_unique<QelChannel>();
  auto c1 = std::make_unique<QelChannel>();
  auto c2 = std::make_unique<QelChannel>();
  EXPECT_EQ(c0->getID(), 0);
  EXPECT_EQ(c1->getID(), 1);
  EXPECT_EQ(c2->getID(), 2);
  EXPECT_EQ(QelChannel::getChannels().size(), 3u);

  c1.reset();
  auto c3 = std::make_unique<QelChannel>();
  EXPECT_EQ(c3->getID(), 1);

  c0.reset();
  c2.reset();
  auto c4 = std::make_unique<QelChannel>();
  auto c5 = std::make_unique<QelChannel>();
  EXPECT_EQ(c4->getID(), 2);
  EXPECT_EQ(c5->getID(), 0);
  EXPECT_EQ(QelChannel::getNumConnections(), 6u);

  LogCapture logs;
  QelChannel::removeFromChannelList(c4->getID());
  EXPECT_TRUE(logs.contains("removed channel with id=2"));
  EXPECT_EQ(QelChannel::getChannels().count(2), 0u);
  logs.clear();
  QelChannel::removeFromChannelList(99);
  EXPECT_EQ(logs.text(), "");
}
