// The publish sink fed frames as the channel delivers them: which frames reach
// the publish list, and what its two listeners are told.
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "feed/QelPSink.h"
#include "tests/TestSupport.h"

namespace {

std::string field(QelFID fid, const std::string& data) {
  return le32(fid) + le32(static_cast<std::uint32_t>(data.size())) + std::string(2, '\0') + data;
}

// An update stream: the item count is not read by anyone, so 0 will do.
std::string stream(const std::string& commands) { return le32(0) + commands; }
std::string clearCmd() { return "\x05"; }
std::string addRow(const std::vector<std::string>& fields) {
  std::string s = "\x01" + le32(static_cast<std::uint32_t>(fields.size()));
  for (const std::string& f : fields) s += f;
  return s;
}
std::string selectRow(std::uint32_t row, const std::vector<std::string>& fields) {
  std::string s = "\x04" + le32(row) + le32(static_cast<std::uint32_t>(fields.size()));
  for (const std::string& f : fields) s += f;
  return s;
}
std::string deleteRow(std::uint32_t row) { return "\x03" + le32(row); }

const std::string VOD = "L1^LSE^VOD";

class QelPSinkTest : public ::testing::Test, public QelPublishListener {
 protected:
  void SetUp() override { m_oldCout = std::cout.rdbuf(m_cout.rdbuf()); }
  void TearDown() override { std::cout.rdbuf(m_oldCout); }

  void handlePublishedField(QelPSink& s, QelRID rid, QelField& f) override {
    events.push_back("field " + std::string(rid) + " " + std::to_string(f.getFID()) + "=" +
                     std::string(f.getData(), f.getLength()));
    EXPECT_EQ(&s, &sink);
  }
  void handlePublishedDelete(QelPSink& s, QelRID rid) override {
    // Told before the row goes: it is still in the list.
    events.push_back("delete " + std::string(rid) + " rows " + std::to_string(s.getPublishList().getNumRows()));
  }
  void listen() {
    sink.registerHandlePublishUpdate(this);
    sink.registerHandlePublishDelete(this);
  }
  void publish(const std::string& rid, const std::string& data, unsigned char type = QELMSG_PUBLISH) {
    const std::string f = frame(type, rid, data);
    sink.receive(f.data(), f.size());
  }
  const QelRecord& list() { return sink.getPublishList(); }
  std::string invalidText() const { return m_cout.str(); }

  QelPSink sink;
  std::vector<std::string> events;
  LogCapture quiet{0};

 private:
  std::ostringstream m_cout;
  std::streambuf* m_oldCout = nullptr;
};

TEST_F(QelPSinkTest, RowWithRidFirstReportsEveryFieldWithThatRid) {
  listen();
  publish("p#", stream(clearCmd() + addRow({field(0, VOD), field(4, "12.5")})));
  ASSERT_EQ(list().getNumRows(), 1u);
  EXPECT_EQ(events, std::vector<std::string>({"field L1^LSE^VOD 0=L1^LSE^VOD", "field L1^LSE^VOD 4=12.5"}));
  // A later change of a field is an update, never a delete.
  events.clear();
  publish("p#", stream(selectRow(0, {field(4, "12.75")})));
  EXPECT_EQ(events, std::vector<std::string>({"field L1^LSE^VOD 4=12.75"}));
  EXPECT_EQ(invalidText(), "");
}

TEST_F(QelPSinkTest, FieldBeforeTheRidIsNotReported) {
  listen();
  publish("p#", stream(clearCmd() + addRow({field(4, "12.5"), field(0, VOD)})));
  EXPECT_EQ(events, std::vector<std::string>({"field L1^LSE^VOD 0=L1^LSE^VOD"}));
}

TEST_F(QelPSinkTest, DeleteRowIsReportedOnceBeforeTheRowGoes) {
  listen();
  publish("p#", stream(clearCmd() + addRow({field(0, VOD), field(4, "1")})));
  events.clear();
  publish("p#", stream(deleteRow(0)));
  EXPECT_EQ(events, std::vector<std::string>({"delete L1^LSE^VOD rows 1"}));
  EXPECT_EQ(list().getNumRows(), 0u);
}

TEST_F(QelPSinkTest, OnlyTheExactListNameIsApplied) {
  listen();
  // "p#" with more after it, also behind a NUL inside the identifier, or another name.
  for (const std::string& rid : {std::string("p#x"), std::string("p#\0x", 4), std::string("p"), std::string("q#")}) {
    publish(rid, stream(clearCmd() + addRow({field(0, VOD)})));
    EXPECT_EQ(list().getNumRows(), 0u) << rid;
  }
  EXPECT_TRUE(events.empty());
  std::istringstream lines(invalidText());
  int n = 0;
  for (std::string line; std::getline(lines, line); ++n) EXPECT_EQ(line, "QelPSink::handlePublish invalid publish update");
  EXPECT_EQ(n, 4);
}

TEST_F(QelPSinkTest, ImageForTheListNameNeverReachesTheList) {
  listen();
  publish("p#", stream(clearCmd() + addRow({field(0, VOD)})), QELMSG_IMAGE);
  EXPECT_EQ(list().getNumRows(), 0u);
  EXPECT_TRUE(events.empty());
}

TEST_F(QelPSinkTest, WithoutListenersPublishFramesStillUpdateTheList) {
  publish("p#", stream(clearCmd() + addRow({field(0, VOD), field(4, "1")}) + addRow({field(0, "L1^LSE^BARC")})));
  ASSERT_EQ(list().getNumRows(), 2u);
  publish("p#", stream(selectRow(1, {field(4, "2")})));
  EXPECT_EQ(list().getUpdateLength(), 5u + (5 + 20 + 11) + (5 + 21 + 11));
}

}  // namespace
