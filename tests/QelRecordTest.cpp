#include "feed/QelRecord.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "net/QelMessage.h"
#include "tests/RecordText.h"
#include "tests/TestSupport.h"

namespace {

// Notes every call as one line of text; a row delete also notes what the
// record still held in that row at the time of the call.
class RecordingListener : public QelRecordListener {
 public:
  void handleFieldUpdate(QelRecord& rec, int row, QelField& field) override {
    std::ostringstream s;
    s << "field " << row << " " << field.getFID() << "=" << dataOf(&field)
      << (rec.getField(static_cast<unsigned>(row), field.getFID()) == &field ? "" : " (not stored)");
    events.push_back(s.str());
  }
  void handleRowDelete(QelRecord& rec, int row) override {
    std::ostringstream s;
    s << "delete " << row << " rows=" << rec.getNumRows();
    if (watchFid) s << " " << watchFid << "=" << dataOf(rec.getField(static_cast<unsigned>(row), watchFid));
    events.push_back(s.str());
  }
  void handleRowInsert(QelRecord& rec, int row) override {
    events.push_back("insert " + std::to_string(row) + " rows=" + std::to_string(rec.getNumRows()));
  }
  void handleRowAdd(QelRecord& rec, int row) override {
    events.push_back("add " + std::to_string(row) + " rows=" + std::to_string(rec.getNumRows()));
  }
  void handleClear(QelRecord& rec) override { events.push_back("clear rows=" + std::to_string(rec.getNumRows())); }

  std::vector<std::string> events;
  QelFID watchFid = 0;
};

// The encoded length as it follows from the rows the record holds now.
std::uint32_t recomputedLength(QelRecord& rec) {
  std::uint32_t current = rec.getCurrentRow();
  std::uint32_t length = 5;
  for (unsigned r = 0; r < rec.getNumRows(); ++r) {
    rec.selectRow(r);
    if (rec.getRowNumFIDs() == 0) continue;
    length += 5;
    for (unsigned i = 0; i < rec.getRowNumFIDs(); ++i) length += 10 + rec.getFieldByNum(i)->getLength();
  }
  if (rec.getNumRows()) rec.selectRow(current);
  return length;
}

TEST(QelFieldTest, HeaderIsLittleEndianAndUnaligned) {
  // One byte in front so that the header sits at an odd address.
  const unsigned char bytes[] = {0xEE, 0x04, 0x03, 0x02, 0x01, 0x02, 0, 0, 0, 0x34, 0x12, 'h', 'i'};
  const QelField* f = QelField::at(reinterpret_cast<const char*>(bytes) + 1);
  EXPECT_EQ(f->getFID(), 0x01020304u);
  EXPECT_EQ(f->getLength(), 2u);
  EXPECT_EQ(f->getFlags(), 0x1234);
  EXPECT_EQ(std::string(f->getData(), 2), "hi");
  EXPECT_EQ(f->getSize(), 12u);
}

TEST(QelFieldTest, CreateLaysOutTheBlock) {
  FieldPtr f = makeField(0x0A0B0C0D, "xyz", 0xBEEF);
  ASSERT_TRUE(f);
  const std::string expected("\x0D\x0C\x0B\x0A\x03\x00\x00\x00\xEF\xBExyz", 13);
  EXPECT_EQ(std::string(f->bytes(), 13), expected);
}

TEST(QelFieldTest, CloneCopiesEveryByte) {
  FieldPtr f = makeField(7, "12.5", 3);
  FieldPtr c(QelField::clone(*f), &QelField::release);
  ASSERT_TRUE(c);
  EXPECT_NE(c.get(), f.get());
  EXPECT_EQ(std::string(c->bytes(), 14), std::string(f->bytes(), 14));
}

TEST(QelFieldTest, CreateRefusesLengthWhoseBlockWouldNotFit) {
  LogCapture log;
  EXPECT_EQ(QelField::create(1, nullptr, 0xFFFFFFF6u), nullptr);
  EXPECT_TRUE(log.contains("too long"));
}

TEST(QelFieldTest, PrintsFidLengthAndDataButNotFlags) {
  FieldPtr f = makeField(4, "1.5", 9);
  std::ostringstream out;
  out << *f;
  EXPECT_EQ(out.str(), " ( 4, 3, 1.5 )");
}

TEST(QelRecordTest, NewRecordHasOneEmptyRowAndLengthFive) {
  QelRecord rec;
  EXPECT_EQ(rec.getNumRows(), 1u);
  EXPECT_EQ(rec.getCurrentRow(), 0u);
  EXPECT_EQ(rec.getRowNumFIDs(), 0u);
  EXPECT_EQ(rec.getUpdateLength(), 5u);
  EXPECT_EQ(rec.getRid(), "");
  QelRecord named("L1^LSE^VOD");
  EXPECT_EQ(named.getRid(), "L1^LSE^VOD");
  EXPECT_EQ(named.getNumRows(), 1u);
  named.setRid("SYM^LSE^VOD");
  EXPECT_EQ(named.getRid(), "SYM^LSE^VOD");
}

TEST(QelRecordTest, ClearLeavesNoRowsAndLengthFive) {
  QelRecord rec;
  fillThreeRows(rec);
  rec.selectRow(2);
  rec.clear();
  EXPECT_EQ(rec.getNumRows(), 0u);
  EXPECT_EQ(rec.getCurrentRow(), 0u);
  EXPECT_EQ(rec.getUpdateLength(), 5u);
  EXPECT_EQ(rec.getField(1), nullptr);
  EXPECT_EQ(rec.getFieldByNum(0), nullptr);
  EXPECT_EQ(rec.getRowNumFIDs(), 0u);
}

TEST(QelRecordTest, FirstFieldOfRowAddsRowOverheadAndReplacingKeepsPosition) {
  QelRecord rec;
  rec.setField(makeField(4, "abc").get());
  EXPECT_EQ(rec.getUpdateLength(), 23u);
  rec.setField(makeField(6, "z").get());
  EXPECT_EQ(rec.getUpdateLength(), 34u);
  rec.setField(makeField(4, "12345").get());
  EXPECT_EQ(rec.getUpdateLength(), 36u);
  ASSERT_EQ(rec.getRowNumFIDs(), 2u);
  EXPECT_EQ(rec.getFieldByNum(0)->getFID(), 4u);
  EXPECT_EQ(dataOf(rec.getFieldByNum(0)), "12345");
  EXPECT_EQ(rec.getFieldByNum(1)->getFID(), 6u);
  EXPECT_EQ(rec.getFieldByNum(2), nullptr);
}

TEST(QelRecordTest, ReplacingOnlyFieldGivesTwentyFive) {
  QelRecord rec;
  rec.setField(makeField(4, "abc").get());
  rec.setField(makeField(4, "abcde").get());
  EXPECT_EQ(rec.getUpdateLength(), 25u);
  EXPECT_EQ(rec.getRowNumFIDs(), 1u);
}

TEST(QelRecordTest, SecondFidAddsOnlyItsOwnSize) {
  QelRecord rec;
  rec.setField(makeField(4, "abc").get());
  std::uint32_t before = rec.getUpdateLength();
  rec.setField(makeField(5, "").get());
  EXPECT_EQ(rec.getUpdateLength(), before + 10);
}

TEST(QelRecordTest, StoresItsOwnCopyOfEveryField) {
  QelRecord rec;
  FieldPtr f = makeField(4, "abc", 0x0102);
  rec.setField(f.get());
  f->getData()[0] = 'X';
  f->setFID(99);
  QelField* stored = rec.getField(4);
  ASSERT_NE(stored, nullptr);
  EXPECT_NE(stored, f.get());
  EXPECT_EQ(dataOf(stored), "abc");
  EXPECT_EQ(stored->getFlags(), 0x0102);
  EXPECT_EQ(rec.getField(99), nullptr);
}

TEST(QelRecordTest, NullFieldIsIgnored) {
  QelRecord rec;
  RecordingListener l;
  listenToAll(rec, &l);
  rec.setField(nullptr);
  EXPECT_TRUE(rec.setField(0u, nullptr));
  EXPECT_EQ(rec.getUpdateLength(), 5u);
  EXPECT_EQ(rec.getRowNumFIDs(), 0u);
  EXPECT_TRUE(l.events.empty());
}

TEST(QelRecordTest, FieldOnRecordWithoutRowsIsDroppedWithLogLine) {
  LogCapture log;
  QelRecord rec;
  rec.clear();
  rec.setField(makeField(4, "abc").get());
  EXPECT_EQ(rec.getNumRows(), 0u);
  EXPECT_EQ(rec.getUpdateLength(), 5u);
  EXPECT_TRUE(log.contains("no row to hold field 4"));
}

TEST(QelRecordTest, FieldWhoseLengthWouldWrapTheRecordLengthIsRefusedUnread) {
  // A bare header claiming almost 4 GiB of data: refused before any data is copied.
  char header[10];
  writeLE32(header, 4);
  writeLE32(header + 4, 0xFFFFFFF0u);
  header[8] = header[9] = 0;
  LogCapture log;
  QelRecord rec;
  RecordingListener l;
  listenToAll(rec, &l);
  rec.setField(QelField::at(header));
  EXPECT_EQ(rec.getUpdateLength(), 5u);
  EXPECT_EQ(rec.getRowNumFIDs(), 0u);
  EXPECT_TRUE(l.events.empty());
  EXPECT_TRUE(log.contains("too long for record"));
}

TEST(QelRecordTest, DeleteRowSubtractsItsFieldsAndRowOverhead) {
  QelRecord rec;
  rec.setField(makeField(4, "abc").get());
  rec.setField(makeField(5, "abcde").get());
  rec.addRow();
  rec.setField(makeField(4, "q").get());
  std::uint32_t before = rec.getUpdateLength();
  EXPECT_TRUE(rec.deleteRow(0u));
  EXPECT_EQ(rec.getUpdateLength(), before - (13 + 15 + 5));
  EXPECT_EQ(rowsOf(rec), "q");
}

TEST(QelRecordTest, DeletingEmptyRowSubtractsNothing) {
  QelRecord rec;
  rec.setField(makeField(4, "abc").get());
  rec.addRow();
  std::uint32_t before = rec.getUpdateLength();
  EXPECT_TRUE(rec.deleteRow(1u));
  EXPECT_EQ(rec.getUpdateLength(), before);
  EXPECT_EQ(rec.getNumRows(), 1u);
}

TEST(QelRecordTest, DeletingCurrentLastRowMovesCurrentToNewLast) {
  QelRecord rec;
  fillThreeRows(rec);
  rec.selectRow(2);
  rec.deleteRow();
  EXPECT_EQ(rec.getNumRows(), 2u);
  EXPECT_EQ(rec.getCurrentRow(), 1u);
  EXPECT_EQ(dataOf(rec.getField(1)), "b");
}

TEST(QelRecordTest, DeletingRowBeforeCurrentKeepsCurrentIndex) {
  QelRecord rec;
  fillThreeRows(rec);
  rec.selectRow(1);
  EXPECT_TRUE(rec.deleteRow(0u));
  EXPECT_EQ(rec.getCurrentRow(), 1u);
  EXPECT_EQ(dataOf(rec.getField(1)), "c");
}

TEST(QelRecordTest, DeletingOnlyRowLeavesNoRowsAndCurrentZero) {
  QelRecord rec;
  rec.setField(makeField(4, "abc").get());
  rec.deleteRow();
  EXPECT_EQ(rec.getNumRows(), 0u);
  EXPECT_EQ(rec.getCurrentRow(), 0u);
  EXPECT_EQ(rec.getUpdateLength(), 5u);
  // Nothing left: the current-row forms do nothing.
  rec.deleteRow();
  rec.insertRow();
  EXPECT_EQ(rec.getNumRows(), 0u);
}

TEST(QelRecordTest, RowIndexOutOfRangeIsRefusedWithoutChangeOrListenerCall) {
  QelRecord rec;
  fillThreeRows(rec);
  rec.selectRow(1);
  RecordingListener l;
  listenToAll(rec, &l);
  const std::string before = rowsOf(rec);
  EXPECT_FALSE(rec.selectRow(3));
  EXPECT_FALSE(rec.deleteRow(3u));
  EXPECT_FALSE(rec.insertRow(3u));
  EXPECT_FALSE(rec.setField(3u, makeField(1, "x").get()));
  EXPECT_EQ(rec.getField(3u, 1), nullptr);
  EXPECT_EQ(rec.getCurrentRow(), 1u);
  EXPECT_EQ(rowsOf(rec), before);
  EXPECT_TRUE(l.events.empty());
}

TEST(QelRecordTest, InsertRowAtRowCountIsRefused) {
  QelRecord rec;
  rec.addRow();
  EXPECT_FALSE(rec.insertRow(2u));
  EXPECT_EQ(rec.getNumRows(), 2u);
}

TEST(QelRecordTest, InsertRowMakesNewEmptyRowCurrentAndShiftsLaterRows) {
  QelRecord rec;
  fillThreeRows(rec);
  std::uint32_t before = rec.getUpdateLength();
  EXPECT_TRUE(rec.insertRow(1u));
  EXPECT_EQ(rec.getCurrentRow(), 1u);
  EXPECT_EQ(rec.getRowNumFIDs(), 0u);
  EXPECT_EQ(rowsOf(rec), "a||b|c");
  EXPECT_EQ(rec.getUpdateLength(), before);
  rec.selectRow(3);
  rec.insertRow();
  EXPECT_EQ(rowsOf(rec), "a||b||c");
  EXPECT_EQ(rec.getCurrentRow(), 3u);
}

TEST(QelRecordTest, AddRowMakesRowAfterCurrentCurrentNotTheNewLast) {
  QelRecord rec;
  fillThreeRows(rec);
  RecordingListener l;
  rec.registerHandleRowAdd(&l);
  std::uint32_t before = rec.getUpdateLength();
  rec.addRow();
  EXPECT_EQ(rec.getNumRows(), 4u);
  EXPECT_EQ(rec.getCurrentRow(), 1u);
  EXPECT_EQ(rowsOf(rec), "a|b|c|");
  EXPECT_EQ(rec.getUpdateLength(), before);
  EXPECT_EQ(l.events, std::vector<std::string>{"add 1 rows=4"});
}

TEST(QelRecordTest, AddRowOnNewRecordKeepsEmptyRowZero) {
  QelRecord rec;
  rec.addRow();
  EXPECT_EQ(rec.getNumRows(), 2u);
  EXPECT_EQ(rec.getCurrentRow(), 1u);
  rec.setField(makeField(4, "x").get());
  EXPECT_EQ(rowsOf(rec), "|x");
}

TEST(QelRecordTest, AddRowAfterClearMakesRowZero) {
  QelRecord rec;
  rec.clear();
  rec.addRow();
  EXPECT_EQ(rec.getNumRows(), 1u);
  EXPECT_EQ(rec.getCurrentRow(), 0u);
}

TEST(QelRecordTest, RowDeleteListenerCanStillReadTheRow) {
  QelRecord rec;
  fillThreeRows(rec);
  RecordingListener l;
  l.watchFid = 1;
  rec.registerHandleRowDelete(&l);
  rec.deleteRow(1u);
  EXPECT_EQ(l.events, std::vector<std::string>{"delete 1 rows=3 1=b"});
  EXPECT_EQ(rowsOf(rec), "a|c");
}

TEST(QelRecordTest, SetFieldOnRowRestoresCurrentRow) {
  QelRecord rec;
  rec.addRow();
  rec.selectRow(0);
  RecordingListener l;
  rec.registerHandleFieldUpdate(&l);
  EXPECT_TRUE(rec.setField(1u, makeField(4, "x").get()));
  EXPECT_EQ(rec.getCurrentRow(), 0u);
  EXPECT_EQ(rowsOf(rec), "|x");
  EXPECT_EQ(l.events, std::vector<std::string>{"field 1 4=x"});
}

TEST(QelRecordTest, SetFieldOnMissingRowReturnsFalseAndKeepsCurrentRow) {
  QelRecord rec;
  rec.addRow();
  EXPECT_FALSE(rec.setField(5u, makeField(4, "x").get()));
  EXPECT_EQ(rec.getCurrentRow(), 1u);
  EXPECT_EQ(rec.getUpdateLength(), 5u);
}

TEST(QelRecordTest, GetFieldOfRowLeavesCurrentRow) {
  QelRecord rec;
  fillThreeRows(rec);
  EXPECT_EQ(dataOf(rec.getField(2u, 1)), "c");
  EXPECT_EQ(rec.getField(2u, 2), nullptr);
  EXPECT_EQ(rec.getCurrentRow(), 0u);
  EXPECT_EQ(dataOf(rec.getField(1)), "a");
}

TEST(QelRecordTest, ListenersAreCalledInOrderAfterTheirChange) {
  QelRecord rec;
  RecordingListener l;
  listenToAll(rec, &l);
  rec.setField(makeField(4, "a").get());
  rec.addRow();
  rec.setField(makeField(5, "b").get());
  rec.setField(makeField(5, "c").get());
  rec.insertRow(0u);
  rec.deleteRow(2u);
  rec.clear();
  EXPECT_EQ(l.events, (std::vector<std::string>{"field 0 4=a", "add 1 rows=2", "field 1 5=b", "field 1 5=c",
                                                "insert 0 rows=3", "delete 2 rows=3", "clear rows=0"}));
}

TEST(QelRecordTest, RegisteringReplacesThePreviousListenerOfThatKind) {
  QelRecord rec;
  RecordingListener first, second;
  rec.registerHandleRowAdd(&first);
  rec.registerHandleRowAdd(&second);
  rec.addRow();
  EXPECT_TRUE(first.events.empty());
  EXPECT_EQ(second.events.size(), 1u);
  rec.registerHandleRowAdd(nullptr);
  rec.addRow();
  EXPECT_EQ(second.events.size(), 1u);
}

// Rows of (fid, data) in stored order, kept the plain way.
struct ModelRecord {
  std::vector<std::vector<std::pair<QelFID, std::string>>> rows{1};
  std::size_t current = 0;
  void set(std::size_t row, QelFID fid, const std::string& data) {
    for (auto& f : rows[row])
      if (f.first == fid) {
        f.second = data;
        return;
      }
    rows[row].emplace_back(fid, data);
  }
  std::string picture() const {
    std::string out;
    for (std::size_t r = 0; r < rows.size(); ++r) {
      if (r) out += "|";
      for (std::size_t i = 0; i < rows[r].size(); ++i) out += (i ? "," : "") + rows[r][i].second;
    }
    return out;
  }
};

TEST(QelRecordTest, FollowsAPlainModelThroughManyOperations) {
  // Thousands of rows, so that rows are inserted and deleted across chunk
  // boundaries, and rows of up to 40 FIDs, so that long rows are indexed.
  QelRecord rec;
  ModelRecord model;
  TestRandom random(12345);
  auto next = [&random](std::uint32_t n) { return random.below(n); };
  for (int step = 0; step < 20000; ++step) {
    unsigned rows = rec.getNumRows();
    bool growing = step < 10000;
    std::string data = std::to_string(step);
    QelFID fid = next(next(4) == 0 ? 40 : 4);
    switch (next(10)) {
      case 0:
      case 1:
        if (rows) {
          rec.setField(makeField(fid, data).get());
          model.set(model.current, fid, data);
        }
        break;
      case 2: {
        unsigned row = rows ? next(rows + 1) : 0;
        if (rec.setField(row, makeField(fid, data).get())) model.set(row, fid, data);
        break;
      }
      case 3:
      case 4:
        if (growing) {
          rec.addRow();
          if (!model.rows.empty()) ++model.current;
          model.rows.emplace_back();
        }
        break;
      case 5:
      case 6: {
        unsigned row = next(rows + 1);
        if (growing && rec.insertRow(row)) {
          model.rows.emplace(model.rows.begin() + row);
          model.current = row;
        }
        break;
      }
      case 7:
      case 8: {
        unsigned row = next(rows + 1);
        if (!growing && rec.deleteRow(row)) {
          model.rows.erase(model.rows.begin() + row);
          if (model.rows.empty()) model.current = 0;
          else if (model.current >= model.rows.size()) model.current = model.rows.size() - 1;
        }
        break;
      }
      case 9:
        if (rec.selectRow(next(rows + 1))) model.current = rec.getCurrentRow();
        break;
    }
    ASSERT_EQ(rec.getNumRows(), model.rows.size()) << "after step " << step;
    ASSERT_EQ(rec.getCurrentRow(), model.current) << "after step " << step;
    if (step % 500 == 0 || step == 19999) {
      ASSERT_EQ(rowsOf(rec), model.picture()) << "after step " << step;
      ASSERT_EQ(rec.getUpdateLength(), recomputedLength(rec)) << "after step " << step;
    }
  }
}

TEST(QelRecordTest, PrintsRidLengthCurrentRowAndEveryRow) {
  QelRecord rec("L1^LSE^VOD");
  rec.setField(makeField(4, "12.5").get());
  rec.setField(makeField(5, "13").get());
  rec.addRow();
  rec.addRow();
  rec.setField(makeField(67, "Vodafone").get());
  std::ostringstream out;
  out << rec;
  EXPECT_EQ(out.str(),
            "m_rid=L1^LSE^VOD, update_length=59, current_row=2"
            "\nrow( 0 )= ( 4, 4, 12.5 ) ( 5, 2, 13 )"
            "\nrow( 1 )="
            "\nrow( 2 )= ( 67, 8, Vodafone )");
}

class UnregisteredListener : public QelRecordListener {};

TEST(QelRecordListenerDeathTest, DefaultBodiesAreAssertionTraps) {
  QelRecord rec;
  FieldPtr f = makeField(4, "x");
  UnregisteredListener l;
  EXPECT_DEATH(l.handleFieldUpdate(rec, 0, *f), "false");
  EXPECT_DEATH(l.handleRowDelete(rec, 0), "false");
  EXPECT_DEATH(l.handleRowInsert(rec, 0), "false");
  EXPECT_DEATH(l.handleRowAdd(rec, 0), "false");
  EXPECT_DEATH(l.handleClear(rec), "false");
}

}  // namespace
