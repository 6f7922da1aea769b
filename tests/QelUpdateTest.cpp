#include "feed/QelUpdate.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "feed/QelRecord.h"
#include "net/QelMessage.h"
#include "tests/RecordText.h"
#include "tests/TestSupport.h"

namespace {

std::string fieldBytes(QelFID fid, const std::string& data) {
  return le32(fid) + le32(static_cast<std::uint32_t>(data.size())) + std::string(2, '\0') + data;
}

// Clear, then one row holding FID 4 = "12.5".
const unsigned char EXAMPLE[24] = {0x03, 0x00, 0x00, 0x00, 0x05, 0x01, 0x01, 0x00, 0x00, 0x00, 0x04, 0x00,
                                   0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x31, 0x32, 0x2E, 0x35};
const std::string EXAMPLE_STREAM(reinterpret_cast<const char*>(EXAMPLE), sizeof EXAMPLE);

// A heap copy of exactly the stream's bytes, so that any read past the end
// is a heap overflow the address sanitizer reports.
struct HeapStream {
  explicit HeapStream(const std::string& bytes) : size(bytes.size()), data(new char[bytes.size()]) {
    if (size) std::memcpy(data.get(), bytes.data(), size);
  }
  std::size_t size;
  std::unique_ptr<char[]> data;
};

// A writer over its own working buffer of `capacity` bytes.
struct Writer {
  explicit Writer(unsigned capacity) : buffer(new char[capacity]) { upd.setWorkingBuffer(buffer.get(), capacity); }
  std::string bytes() { return std::string(upd.getBuffer(), upd.getDataLength()); }
  std::unique_ptr<char[]> buffer;
  QelUpdate upd;
};

const unsigned UNSET = 0xDEADBEEF;

// Every command and field of a stream as text: "ADD_ROW n=2", "INSERT_ROW 1 n=1",
// "DELETE_ROW 3", "CLEAR", and "fid=data" for a field. Row numbers and field
// counts appear only when the reader wrote them.
std::vector<std::string> readAll(const std::string& bytes) {
  HeapStream s(bytes);
  QelUpdate upd;
  upd.setBuffer(s.data.get(), static_cast<unsigned>(s.size));
  upd.startIterating();
  std::vector<std::string> out;
  char command = 0;
  unsigned row = UNSET, count = UNSET;
  while (upd.getCommand(command, row, count)) {
    std::ostringstream line;
    QelUpdate::printCommand(line, command);
    if (row != UNSET) line << " " << row;
    if (count != UNSET) line << " n=" << count;
    out.push_back(line.str());
    row = count = UNSET;
    QelField* field = nullptr;
    while (upd.getField(field)) out.push_back(std::to_string(field->getFID()) + "=" + dataOf(field));
  }
  upd.stopIterating();
  return out;
}

class RecordingListener : public QelRecordListener {
 public:
  void handleFieldUpdate(QelRecord&, int row, QelField& field) override {
    events.push_back("field " + std::to_string(row) + " " + std::to_string(field.getFID()) + "=" + dataOf(&field));
  }
  void handleRowDelete(QelRecord&, int row) override { events.push_back("delete " + std::to_string(row)); }
  void handleRowInsert(QelRecord&, int row) override { events.push_back("insert " + std::to_string(row)); }
  void handleRowAdd(QelRecord&, int row) override { events.push_back("add " + std::to_string(row)); }
  void handleClear(QelRecord&) override { events.push_back("clear"); }
  std::vector<std::string> events;
};

void applyStream(const std::string& bytes, QelRecord& rec) {
  HeapStream s(bytes);
  QelUpdate upd;
  upd.setBuffer(s.data.get(), static_cast<unsigned>(s.size));
  upd.apply(rec);
}

TEST(QelUpdateTest, WriterProducesTheClearAndAddRowExample) {
  Writer w(64);
  EXPECT_TRUE(w.upd.clear());
  EXPECT_TRUE(w.upd.addRow());
  EXPECT_TRUE(w.upd.setField(makeField(4, "12.5").get()));
  EXPECT_EQ(hex(w.bytes()), hex(EXAMPLE_STREAM));
  EXPECT_EQ(w.upd.getDataLength(), 24u);
  EXPECT_EQ(w.upd.getBufferLength(), 64u);
}

TEST(QelUpdateTest, ReaderDecodesTheClearAndAddRowExample) {
  EXPECT_EQ(readAll(EXAMPLE_STREAM), (std::vector<std::string>{"CLEAR", "ADD_ROW n=1", "4=12.5"}));
}

TEST(QelUpdateTest, FieldsAreHandedOutInPlace) {
  HeapStream s(EXAMPLE_STREAM);
  QelUpdate upd;
  upd.setBuffer(s.data.get(), 24);
  upd.startIterating();
  char command;
  unsigned row, count;
  ASSERT_TRUE(upd.getCommand(command, row, count));
  ASSERT_TRUE(upd.getCommand(command, row, count));
  QelField* field = nullptr;
  ASSERT_TRUE(upd.getField(field));
  EXPECT_EQ(field->bytes(), s.data.get() + 10);
  // The last field ends at the data end: no more fields, no more commands, no complaint.
  LogCapture log;
  EXPECT_FALSE(upd.getField(field));
  EXPECT_FALSE(upd.getCommand(command, row, count));
  EXPECT_EQ(log.text(), "");
}

TEST(QelUpdateTest, StreamsOfFourBytesOrFewerHoldNoCommand) {
  const std::string header = le32(5);
  for (std::size_t n = 0; n <= 4; ++n)
    EXPECT_TRUE(readAll(header.substr(0, n)).empty()) << n << " bytes";
  QelUpdate fresh;
  char command;
  unsigned row, count;
  fresh.startIterating();
  EXPECT_FALSE(fresh.getCommand(command, row, count));
}

TEST(QelUpdateTest, GetCommandRefusesWhileFieldsRemain) {
  const std::string stream = le32(3) + "\x01" + le32(2) + fieldBytes(4, "a") + fieldBytes(5, "b") + "\x05";
  HeapStream s(stream);
  QelUpdate upd;
  upd.setBuffer(s.data.get(), static_cast<unsigned>(s.size));
  upd.startIterating();
  char command;
  unsigned row, count;
  ASSERT_TRUE(upd.getCommand(command, row, count));
  EXPECT_FALSE(upd.getCommand(command, row, count));
  QelField* field = nullptr;
  EXPECT_TRUE(upd.getField(field));
  EXPECT_TRUE(upd.getField(field));
  EXPECT_FALSE(upd.getField(field));
  ASSERT_TRUE(upd.getCommand(command, row, count));
  EXPECT_EQ(command, QelUpdate::CLEAR);
}

TEST(QelUpdateTest, StopIteratingEndsThePass) {
  HeapStream s(EXAMPLE_STREAM);
  QelUpdate upd;
  upd.setBuffer(s.data.get(), 24);
  upd.startIterating();
  upd.stopIterating();
  char command;
  unsigned row, count;
  EXPECT_FALSE(upd.getCommand(command, row, count));
}

struct RoundTripCase {
  const char* name;
  std::function<void(QelRecord&)> setup;
  std::function<bool(QelUpdate&)> write;
  std::vector<std::string> read;
  std::string rows;
  unsigned currentRow;
  std::vector<std::string> events;
};

bool withFields(QelUpdate& u, bool command, std::vector<std::pair<QelFID, std::string>> fields) {
  bool ok = command;
  for (auto& f : fields) ok = u.setField(makeField(f.first, f.second).get()) && ok;
  return ok;
}

TEST(QelUpdateTest, EveryCommandSurvivesWriteReadAndApply) {
  auto newRecord = [](QelRecord&) {};
  const RoundTripCase cases[] = {
      {"ADD_ROW on a new record", newRecord,
       [](QelUpdate& u) { return withFields(u, u.addRow(), {{4, "a"}, {5, "bc"}}); },
       {"ADD_ROW n=2", "4=a", "5=bc"}, "|a,bc", 1, {"add 1", "field 1 4=a", "field 1 5=bc"}},
      {"ADD_ROW after CLEAR", newRecord,
       [](QelUpdate& u) { return u.clear() && withFields(u, u.addRow(), {{4, "a"}, {5, "bc"}}); },
       {"CLEAR", "ADD_ROW n=2", "4=a", "5=bc"}, "a,bc", 0, {"clear", "add 0", "field 0 4=a", "field 0 5=bc"}},
      {"INSERT_ROW", fillThreeRows, [](QelUpdate& u) { return withFields(u, u.insertRow(1), {{2, "x"}}); },
       {"INSERT_ROW 1 n=1", "2=x"}, "a|x|b|c", 1, {"insert 1", "field 1 2=x"}},
      {"INSERT_ROW past the last row", fillThreeRows,
       [](QelUpdate& u) { return withFields(u, u.insertRow(3), {{2, "x"}}); }, {"INSERT_ROW 3 n=1", "2=x"},
       "a|b|c", 0, {}},
      {"SELECT_ROW", fillThreeRows, [](QelUpdate& u) { return withFields(u, u.selectRow(2), {{1, "z"}, {3, "y"}}); },
       {"SELECT_ROW 2 n=2", "1=z", "3=y"}, "a|b|z,y", 2, {"field 2 1=z", "field 2 3=y"}},
      {"SELECT_ROW with no fields", fillThreeRows, [](QelUpdate& u) { return u.selectRow(1); },
       {"SELECT_ROW 1 n=0"}, "a|b|c", 1, {}},
      {"DELETE_ROW", fillThreeRows, [](QelUpdate& u) { return u.deleteRow(0); }, {"DELETE_ROW 0"}, "b|c", 0,
       {"delete 0"}},
      {"DELETE_ROW past the last row", fillThreeRows, [](QelUpdate& u) { return u.deleteRow(5); },
       {"DELETE_ROW 5"}, "a|b|c", 0, {}},
      {"CLEAR", fillThreeRows, [](QelUpdate& u) { return u.clear(); }, {"CLEAR"}, "", 0, {"clear"}},
  };
  for (const RoundTripCase& c : cases) {
    SCOPED_TRACE(c.name);
    Writer w(256);
    ASSERT_TRUE(c.write(w.upd));
    EXPECT_EQ(readAll(w.bytes()), c.read);
    QelRecord rec;
    c.setup(rec);
    RecordingListener l;
    listenToAll(rec, &l);
    applyStream(w.bytes(), rec);
    EXPECT_EQ(rowsOf(rec), c.rows);
    EXPECT_EQ(rec.getCurrentRow(), c.currentRow);
    EXPECT_EQ(l.events, c.events);
  }
}

TEST(QelUpdateTest, ItemCountCountsCommandsAndFieldLists) {
  Writer w(128);
  ASSERT_TRUE(w.upd.clear());
  ASSERT_TRUE(w.upd.addRow());
  ASSERT_TRUE(w.upd.setField(makeField(4, "a").get()));
  ASSERT_TRUE(w.upd.setField(makeField(5, "b").get()));
  ASSERT_TRUE(w.upd.deleteRow(0));
  EXPECT_EQ(readLE32(w.buffer.get()), 4u);
  EXPECT_EQ(readLE32(w.buffer.get() + 6), 2u);  // after count and CLEAR, ADD_ROW's field count
  EXPECT_EQ(w.upd.getDataLength(), 4u + 1 + 5 + 11 + 11 + 5);
}

TEST(QelUpdateTest, NineByteBufferTakesOneAddRowAndNoField) {
  LogCapture log;
  Writer w(9);
  EXPECT_EQ(w.upd.getDataLength(), 4u);
  EXPECT_TRUE(w.upd.addRow());
  EXPECT_EQ(w.upd.getDataLength(), 9u);
  EXPECT_FALSE(w.upd.setField(makeField(4, "").get()));
  EXPECT_TRUE(log.contains("attempted overwrite 19/9\n"));
  EXPECT_EQ(w.upd.getDataLength(), 9u);
  EXPECT_EQ(readLE32(w.buffer.get() + 5), 0u);
}

TEST(QelUpdateTest, EveryCommandNeedsFiveFreeBytes) {
  LogCapture log;
  Writer w(8);
  EXPECT_FALSE(w.upd.addRow());
  EXPECT_FALSE(w.upd.clear());
  EXPECT_FALSE(w.upd.deleteRow(0));
  EXPECT_EQ(w.upd.getDataLength(), 4u);
  EXPECT_EQ(readLE32(w.buffer.get()), 0u);
  EXPECT_EQ(log.count("attempted overwrite 4 8\n"), 3);
}

TEST(QelUpdateTest, RowNumberCommandsWithFieldListNeedNineFreeBytes) {
  LogCapture log;
  Writer w(12);
  EXPECT_FALSE(w.upd.insertRow(1));
  EXPECT_FALSE(w.upd.selectRow(1));
  EXPECT_EQ(log.count("attempted overwrite 4 12\n"), 2);
  EXPECT_TRUE(w.upd.deleteRow(1));
  EXPECT_EQ(w.upd.getDataLength(), 9u);
}

TEST(QelUpdateTest, BufferOfFourBytesOrFewerTakesNothing) {
  LogCapture log;
  for (unsigned n = 0; n <= 4; ++n) {
    Writer w(n);
    EXPECT_EQ(w.upd.getDataLength(), 0u);
    EXPECT_FALSE(w.upd.clear());
  }
}

TEST(QelUpdateTest, FieldWithoutListIsRefused) {
  const struct {
    const char* name;
    std::function<void(QelUpdate&)> before;
  } cases[] = {
      {"fresh writer", [](QelUpdate&) {}},
      {"after DELETE_ROW", [](QelUpdate& u) { u.addRow(); u.deleteRow(0); }},
      {"after CLEAR", [](QelUpdate& u) { u.addRow(); u.clear(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    Writer w(128);
    c.before(w.upd);
    const std::string before = w.bytes();
    EXPECT_FALSE(w.upd.setField(makeField(4, "x").get()));
    EXPECT_TRUE(log.contains("no command, or adding after delete\n"));
    EXPECT_EQ(w.bytes(), before);
  }
}

TEST(QelUpdateTest, NewWorkingBufferStartsAFreshStream) {
  LogCapture log;
  std::unique_ptr<char[]> first(new char[32]);
  std::unique_ptr<char[]> second(new char[32]);
  QelUpdate upd;
  upd.setWorkingBuffer(first.get(), 32);
  ASSERT_TRUE(upd.addRow());
  const std::string firstStream(first.get(), upd.getDataLength());
  upd.setWorkingBuffer(second.get(), 32);
  EXPECT_EQ(upd.getDataLength(), 4u);
  EXPECT_FALSE(upd.setField(makeField(4, "x").get()));
  EXPECT_TRUE(log.contains("no command, or adding after delete"));
  EXPECT_EQ(std::string(first.get(), firstStream.size()), firstStream);
  EXPECT_EQ(readLE32(second.get()), 0u);
}

TEST(QelUpdateTest, WriterRefusesFieldWhoseLengthNearlyFillsFourGigabytes) {
  // A bare header claiming 2^32 - 10 data bytes: the size must not wrap to 0.
  char header[10];
  writeLE32(header, 4);
  writeLE32(header + 4, 0xFFFFFFF6u);
  header[8] = header[9] = 0;
  LogCapture log;
  Writer w(64);
  ASSERT_TRUE(w.upd.addRow());
  EXPECT_FALSE(w.upd.setField(QelField::at(header)));
  EXPECT_TRUE(log.contains("attempted overwrite 4294967305/64"));
  EXPECT_EQ(w.upd.getDataLength(), 9u);
}

TEST(QelUpdateTest, AddRowAppliedToNewRecordFillsRowOne) {
  const std::string stream = le32(2) + "\x01" + le32(2) + fieldBytes(4, "a") + fieldBytes(5, "b");
  QelRecord rec;
  applyStream(stream, rec);
  EXPECT_EQ(rowsOf(rec), "|a,b");
  EXPECT_EQ(rec.getCurrentRow(), 1u);
  QelRecord cleared;
  cleared.clear();
  applyStream(stream, cleared);
  EXPECT_EQ(rowsOf(cleared), "a,b");
  EXPECT_EQ(cleared.getCurrentRow(), 0u);
}

TEST(QelUpdateTest, SelectRowOutOfRangeDropsItsFieldsAndGoesOn) {
  const std::string stream = le32(4) + "\x04" + le32(7) + le32(3) + fieldBytes(1, "p") + fieldBytes(2, "q") +
                             fieldBytes(3, "r") + "\x04" + le32(1) + le32(1) + fieldBytes(1, "s");
  QelRecord rec;
  rec.setField(makeField(1, "a").get());
  rec.addRow();
  rec.setField(makeField(1, "b").get());
  RecordingListener l;
  listenToAll(rec, &l);
  applyStream(stream, rec);
  EXPECT_EQ(rowsOf(rec), "a|s");
  EXPECT_EQ(l.events, std::vector<std::string>{"field 1 1=s"});
}

TEST(QelUpdateTest, BadCommandEndsThePassAndKeepsWhatCameBefore) {
  const std::string stream = le32(4) + "\x05" + "\x01" + le32(1) + fieldBytes(4, "a") + "\x09" + "\x01" + le32(0);
  LogCapture log;
  QelRecord rec;
  RecordingListener l;
  listenToAll(rec, &l);
  applyStream(stream, rec);
  EXPECT_EQ(l.events, (std::vector<std::string>{"clear", "add 0", "field 0 4=a"}));
  EXPECT_EQ(rowsOf(rec), "a");
  EXPECT_TRUE(log.contains("bad command 9\n"));
  EXPECT_TRUE(log.contains(" | ERR - "));
}

TEST(QelUpdateTest, BadCommandByteIsLoggedAsSignedNumber) {
  const struct {
    unsigned char byte;
    const char* logged;
  } cases[] = {{0x00, "bad command 0\n"}, {0x06, "bad command 6\n"}, {0x07, "bad command 7\n"},
               {0x7F, "bad command 127\n"}, {0x80, "bad command -128\n"}, {0xFF, "bad command -1\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.logged);
    LogCapture log;
    EXPECT_TRUE(readAll(le32(1) + std::string(1, static_cast<char>(c.byte))).empty());
    EXPECT_TRUE(log.contains(c.logged));
  }
}

TEST(QelUpdateTest, TruncatedItemIsLoggedWithItsPosition) {
  const std::string full = le32(2) + "\x01" + le32(1) + fieldBytes(4, "abc");
  const struct {
    std::size_t cut;
    const char* logged;
  } cases[] = {
      {7, "truncated update stream at 4\n"},   // inside ADD_ROW's field count
      {9, "truncated update stream at 9\n"},   // no room for the field header
      {15, "truncated update stream at 9\n"},  // inside the field header
      {21, "truncated update stream at 9\n"},  // inside the field data
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cut);
    LogCapture log;
    readAll(full.substr(0, c.cut));
    EXPECT_TRUE(log.contains(c.logged)) << log.text();
    EXPECT_TRUE(log.contains(" | ERR - "));
  }
}

TEST(QelUpdateTest, FieldLengthNearFourGigabytesEndsThePass) {
  for (std::uint32_t length : {0xFFFFFFFFu, 0xFFFFFFF6u, 0xFFFFFFF5u, 0x80000000u}) {
    SCOPED_TRACE(length);
    const std::string stream = le32(3) + "\x01" + le32(2) + le32(4) + le32(length) + std::string(2, '\0') + "xyz" +
                               fieldBytes(5, "b") + "\x05";
    LogCapture log;
    QelRecord rec;
    RecordingListener l;
    listenToAll(rec, &l);
    applyStream(stream, rec);
    EXPECT_EQ(l.events, std::vector<std::string>{"add 1"});
    EXPECT_TRUE(log.contains("truncated update stream at 9\n"));
  }
}

// One stream with every command, each item noted with where it ends, how
// many record events applying it adds, and whether a cut right after it
// leaves a complete stream (no field list still open).
struct Item {
  std::uint32_t end;
  int events;
  bool complete;
};

struct FullStream {
  std::string bytes;
  std::vector<Item> items;
};

FullStream everyCommandStream() {
  Writer w(512);
  FullStream s;
  auto note = [&](bool ok, int events, bool complete) {
    EXPECT_TRUE(ok);
    s.items.push_back({w.upd.getDataLength(), events, complete});
  };
  auto field = [&](QelFID fid, const char* data, bool last) {
    note(w.upd.setField(makeField(fid, data).get()), 1, last);
  };
  note(w.upd.clear(), 1, true);
  note(w.upd.addRow(), 1, false);
  field(1, "a", false);
  field(2, "bb", true);
  note(w.upd.addRow(), 1, false);
  field(1, "c", true);
  note(w.upd.insertRow(0), 1, false);
  field(3, "ddd", true);
  note(w.upd.selectRow(1), 0, false);
  field(4, "e", true);
  note(w.upd.deleteRow(2), 1, true);
  note(w.upd.addRow(), 1, true);
  note(w.upd.selectRow(0), 0, false);
  field(5, "", true);
  s.bytes = w.bytes();
  return s;
}

TEST(QelUpdateTest, ListenersFireInStreamOrderDuringApply) {
  FullStream s = everyCommandStream();
  QelRecord rec;
  RecordingListener l;
  listenToAll(rec, &l);
  applyStream(s.bytes, rec);
  EXPECT_EQ(l.events, (std::vector<std::string>{"clear", "add 0", "field 0 1=a", "field 0 2=bb", "add 1",
                                                "field 1 1=c", "insert 0", "field 0 3=ddd", "field 1 4=e",
                                                "delete 2", "add 2", "field 0 5="}));
  EXPECT_EQ(rowsOf(rec), "ddd,|a,bb,e|");
  EXPECT_EQ(rec.getCurrentRow(), 0u);
}

TEST(QelUpdateTest, StreamCutAtEveryByteAppliesWhatCameBeforeTheCut) {
  FullStream s = everyCommandStream();
  std::vector<std::string> all;
  {
    QelRecord rec;
    RecordingListener l;
    listenToAll(rec, &l);
    applyStream(s.bytes, rec);
    all = l.events;
  }
  for (std::size_t cut = 0; cut < s.bytes.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    std::size_t expected = 0;
    bool atCompleteItem = cut <= 4;
    for (const Item& item : s.items) {
      if (item.end > cut) break;
      expected += static_cast<std::size_t>(item.events);
      atCompleteItem = item.end == cut && item.complete;
    }
    LogCapture log;
    QelRecord rec;
    RecordingListener l;
    listenToAll(rec, &l);
    applyStream(s.bytes.substr(0, cut), rec);
    EXPECT_EQ(l.events, std::vector<std::string>(all.begin(), all.begin() + static_cast<long>(expected)));
    EXPECT_EQ(log.contains("truncated update stream at "), !atCompleteItem) << log.text();
  }
}

TEST(QelUpdateTest, PrintCommandNamesTheFiveCommands) {
  const struct {
    char command;
    const char* name;
  } cases[] = {{1, "ADD_ROW"}, {2, "INSERT_ROW"}, {3, "DELETE_ROW"}, {4, "SELECT_ROW"}, {5, "CLEAR"},
               {0, "ERROR - bad command"}, {6, "ERROR - bad command"}, {-1, "ERROR - bad command"}};
  for (const auto& c : cases) {
    std::ostringstream out;
    QelUpdate::printCommand(out, c.command);
    EXPECT_EQ(out.str(), c.name) << static_cast<int>(c.command);
  }
}

TEST(QelUpdateTest, PrintsLengthsItemCountAndEveryCommandAndField) {
  Writer w(64);
  ASSERT_TRUE(w.upd.clear());
  ASSERT_TRUE(w.upd.addRow());
  ASSERT_TRUE(w.upd.setField(makeField(4, "12.5").get()));
  ASSERT_TRUE(w.upd.selectRow(2));
  ASSERT_TRUE(w.upd.setField(makeField(5, "a").get()));
  ASSERT_TRUE(w.upd.setField(makeField(6, "b").get()));
  ASSERT_TRUE(w.upd.deleteRow(1));
  std::ostringstream out;
  out << w.upd;
  EXPECT_EQ(out.str(),
            "data_length=60, buffer_length=64, numRows=6\n"
            "row( 0 )=CLEAR\n"
            "row( 1 )=ADD_ROW\n"
            "row( 2, 1 )= ( 4, 4, 12.5 )\n"
            "row( 3 )=SELECT_ROW 2\n"
            "row( 4, 2 )= ( 5, 1, a ) ( 6, 1, b )\n"
            "row( 5 )=DELETE_ROW 1\n");
}

TEST(QelUpdateTest, PrintingAShortStreamShowsNoItemCount) {
  HeapStream s(std::string("\x01\x02", 2));
  QelUpdate upd;
  upd.setBuffer(s.data.get(), 2);
  std::ostringstream out;
  out << upd;
  EXPECT_EQ(out.str(), "data_length=2, buffer_length=2, numRows=0\n");
}

TEST(QelUpdateTest, RecordEncodesAsClearAndOneAddRowPerRow) {
  QelRecord rec;
  rec.setField(makeField(4, "12.5").get());
  Writer w(rec.getUpdateLength());
  ASSERT_TRUE(rec.toUpdate(w.upd));
  EXPECT_EQ(hex(w.bytes()), hex(EXAMPLE_STREAM));
}

TEST(QelUpdateTest, RecordNeedsBufferOfItsUpdateLength) {
  QelRecord rec;
  rec.setField(makeField(4, "abc").get());
  rec.setField(makeField(5, "abcde").get());
  ASSERT_EQ(rec.getUpdateLength(), 38u);
  Writer fits(38);
  EXPECT_TRUE(rec.toUpdate(fits.upd));
  EXPECT_EQ(fits.upd.getDataLength(), 38u);
  LogCapture log;
  Writer shorter(37);
  EXPECT_FALSE(rec.toUpdate(shorter.upd));
  EXPECT_TRUE(log.contains("update buffer is too small to contain record 37 < 38\n"));
  EXPECT_EQ(shorter.upd.getDataLength(), 4u);
}

TEST(QelUpdateTest, RecordWithoutFieldsNeedsNineBytesForItsClear) {
  QelRecord rec;
  rec.addRow();
  LogCapture log;
  Writer five(5);
  EXPECT_FALSE(rec.toUpdate(five.upd));
  EXPECT_TRUE(log.contains("couldn't clear update\n"));
  Writer nine(9);
  EXPECT_TRUE(rec.toUpdate(nine.upd));
  EXPECT_EQ(hex(nine.bytes()), hex(le32(1) + "\x05"));
}

TEST(QelUpdateTest, EncodedRecordRebuildsItsNonEmptyRowsInOrder) {
  QelRecord rec("L1^LSE^VOD");
  rec.setField(makeField(1, "a").get());
  rec.setField(makeField(2, "b").get());
  rec.addRow();
  rec.addRow();
  rec.setField(makeField(1, "c").get());
  rec.selectRow(0);
  Writer w(rec.getUpdateLength());
  ASSERT_TRUE(rec.toUpdate(w.upd));
  EXPECT_EQ(w.upd.getDataLength(), rec.getUpdateLength());
  QelRecord copy;
  fillThreeRows(copy);
  applyStream(w.bytes(), copy);
  EXPECT_EQ(rowsOf(copy), "a,b|c");
  EXPECT_EQ(copy.getCurrentRow(), 1u);
  EXPECT_EQ(copy.getUpdateLength(), rec.getUpdateLength());
}

TEST(QelUpdateTest, EncodingTakesExactlyTheUpdateLengthAfterManyOperations) {
  QelRecord rec;
  TestRandom random(777);
  auto next = [&random](std::uint32_t n) { return random.below(n); };
  for (int step = 0; step < 500; ++step) {
    unsigned rows = rec.getNumRows();
    switch (next(6)) {
      case 0:
      case 1:
        if (rows) rec.setField(makeField(next(5), std::string(next(9), 'v')).get());
        break;
      case 2:
        rec.addRow();
        break;
      case 3:
        rec.insertRow(next(rows + 1));
        break;
      case 4:
        rec.deleteRow(next(rows + 1));
        break;
      case 5:
        rec.selectRow(next(rows + 1));
        break;
    }
    if (step % 10) continue;
    SCOPED_TRACE("step " + std::to_string(step));
    Writer w(rec.getUpdateLength() < 9 ? 9 : rec.getUpdateLength());
    ASSERT_TRUE(rec.toUpdate(w.upd));
    EXPECT_EQ(w.upd.getDataLength(), rec.getUpdateLength());
    QelRecord copy;
    applyStream(w.bytes(), copy);
    EXPECT_EQ(copy.getUpdateLength(), rec.getUpdateLength());
  }
}

}  // namespace
