#include <gtest/gtest.h>
#include <stdlib.h>

#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "dde/DDEInterface.h"
#include "dde/DdeFormats.h"
#include "dde/Stock.h"
#include "feed/Market.h"
#include "feed/QelUpdate.h"
#include "feed/StdFID.h"
#include "feed/TradeCodes.h"
#include "support/Log.h"
#include "tests/RecordText.h"
#include "tests/TestSupport.h"

namespace {

const int BID = 4, VOLUME = 16, LAST_TRADE_TIME = 42, NAME = 67, FLAGS = 23, LAST_TRADE_FLAGS = 44,
          LAST_TRADE_TYPE = 43;

class DdeFormatsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitializeFIDs();
    initTradeCodes();
    market = new Market("LSE", "LSE", 'R', 0);
    stock.market = market;
  }
  void TearDown() override { delete market; }
  std::string xl(const char* text, int fid) { return hex(renderXlTable(&stock, text, fid)); }
  std::string text(const char* t, int fid) { return renderText(&stock, t, fid); }
  TimeZoneGuard utc{"UTC0"};
  Market* market = nullptr;
  Stock stock;
};

TEST_F(DdeFormatsTest, NumberCellIsTwentyBytesWithALittleEndianDouble) {
  EXPECT_EQ(xl("12.5", BID), "10 00 04 00 01 00 01 00 01 00 08 00 00 00 00 00 00 00 29 40");
  EXPECT_EQ(xl("12.5", VOLUME), xl("12.5", BID));
  // A leading number is read and the rest ignored; no number at all is 0.0.
  EXPECT_EQ(xl("12.5xyz", BID), xl("12.5", BID));
  const std::string zero = "10 00 04 00 01 00 01 00 01 00 08 00 00 00 00 00 00 00 00 00";
  EXPECT_EQ(xl("abc", BID), zero);
  EXPECT_EQ(xl("", BID), zero);
  EXPECT_EQ(xl(" ", BID), zero);  // the placeholder of a pending request
}

TEST_F(DdeFormatsTest, NumbersTheFeedCannotHaveMeantGoOutAsTheirText) {
  for (const char* t : {"nan", "-inf", "Infinity", "1e400", "-1e400", "0x10", " -0X1p3"})
    EXPECT_EQ(renderXlTable(&stock, t, BID), xltableStringBytes(t)) << t;
  EXPECT_EQ(xl("1e-400", BID), xl("0", BID));  // underflow is a number, zero
}

TEST_F(DdeFormatsTest, StringCellCountsItsTrailingZero) {
  EXPECT_EQ(xl("abc", NAME), "10 00 04 00 01 00 01 00 02 00 05 00 03 61 62 63 00");
  EXPECT_EQ(xl("", NAME), xl("0", NAME));  // an empty text field is the string "0"
  EXPECT_EQ(xl(" ", NAME), "10 00 04 00 01 00 01 00 02 00 03 00 01 20 00");
  EXPECT_EQ(text("", NAME), std::string("\0", 1));
}

TEST_F(DdeFormatsTest, LongStringsAreCutToFitTheOneByteSize) {
  std::string longText(300, 'x');
  std::string bytes = renderXlTable(&stock, longText.c_str(), NAME);
  ASSERT_EQ(bytes.size(), 253u + 14u);
  EXPECT_EQ(static_cast<unsigned char>(bytes[10]), 255u);  // 253 + count byte + zero
  EXPECT_EQ(static_cast<unsigned char>(bytes[12]), 253u);
  EXPECT_EQ(bytes.back(), '\0');
  std::string fits(253, 'y');
  EXPECT_EQ(renderXlTable(&stock, fits.c_str(), NAME).size(), 253u + 14u);
}

TEST_F(DdeFormatsTest, NumbersAreTheirWholeValueOrErrorInBothFormatsNeverCut) {
  xltableFmt = 0xC0A1;
  struct Case {
    std::string text;
    bool asText, inTable;
  };
  const std::string pastTheLimit(DDE_MAX_VALUE_BYTES, '9');
  for (const Case& c : {
           Case{"1e" + std::string(251, '9'), true, true},   // no double, fits a string cell whole
           Case{"1e" + std::string(252, '9'), true, false},  // no double, too long for a cell
           Case{"1.5" + pastTheLimit, false, false},         // past the transport's limit as text
           Case{"1.5" + std::string(300, '0'), true, true},  // a long decimal is its number
       }) {
    std::string bytes;
    EXPECT_TRUE(renderValue(&stock, c.text.c_str(), CF_TEXT, BID, bytes));
    EXPECT_EQ(bytes.size() <= DDE_MAX_VALUE_BYTES, c.asText) << c.text.size();
    EXPECT_EQ(renderValue(&stock, c.text.c_str(), xltableFmt, BID, bytes), c.inTable) << c.text.size();
    if (c.inTable) {
      EXPECT_EQ(bytes, renderXlTable(&stock, c.text.c_str(), BID));
    }
  }
  // Descriptive texts alone are cut to a cell.
  std::string bytes;
  EXPECT_TRUE(renderValue(&stock, std::string(300, 'x').c_str(), xltableFmt, NAME, bytes));
  EXPECT_EQ(bytes.size(), 253u + 14u);
  xltableFmt = 0;
}

TEST_F(DdeFormatsTest, RenderingsCompareAsTheClientWouldSeeThem) {
  xltableFmt = 0xC0A1;
  struct Case {
    const char *a, *b;
    int fid;
    bool sameText, sameTable;
  };
  const std::string longA(DDE_MAX_VALUE_BYTES, 'a'), longB(DDE_MAX_VALUE_BYTES, 'b');
  for (const Case& c : {
           Case{"12.5", "12.50", BID, false, true},
           Case{"12.5", "12.6", BID, false, false},
           Case{"1709283907", "1709283907.5", LAST_TRADE_TIME, true, true},  // the same second
           Case{"1709283907", "1709283908", LAST_TRADE_TIME, false, false},
           Case{"", "0", NAME, false, true},                                  // an empty text is "0" in a table
           Case{"5", "13", LAST_TRADE_FLAGS, false, false},
           Case{longA.c_str(), longB.c_str(), NAME, true, false},            // "ERROR" both as text
       }) {
    EXPECT_EQ(sameRendering(&stock, c.a, c.b, CF_TEXT, c.fid), c.sameText) << c.a << " " << c.b;
    EXPECT_EQ(sameRendering(&stock, c.a, c.b, xltableFmt, c.fid), c.sameTable) << c.a << " " << c.b;
  }
  xltableFmt = 0;
}

TEST_F(DdeFormatsTest, LongDescriptiveTextsAreKeptWholeAndCutOnlyInATable) {
  std::string name = "Soci\xC3\xA9t\xC3\xA9 " + std::string(300, 'n');
  std::string bytes = updateRow({{FID_LANGUAGE, "en_GB"}, {NAME, name}});
  QelUpdate reader;
  reader.setBuffer(&bytes[0], static_cast<unsigned>(bytes.size()));
  stock.symbolImage(&reader);
  EXPECT_EQ(stock.values[NAME], "Soci\xE9t\xE9 " + std::string(300, 'n'));
  EXPECT_EQ(renderXlTable(&stock, stock.values[NAME].c_str(), NAME).size(), 253u + 14u);
}

TEST_F(DdeFormatsTest, FieldIdsOutsideTheTableAreNotKept) {
  std::vector<std::pair<QelFID, std::string>> fields;
  for (QelFID fid = 1; fid <= 50000; ++fid) fields.emplace_back(fid * 7, "1");
  std::string bytes = updateRow(fields);
  QelUpdate reader;
  reader.setBuffer(&bytes[0], static_cast<unsigned>(bytes.size()));
  stock.image(&reader);
  EXPECT_LE(stock.values.size(), static_cast<std::size_t>(NUM_FIDS));
  EXPECT_EQ(stock.values[7], "1");
  reader.setBuffer(&bytes[0], static_cast<unsigned>(bytes.size()));
  stock.symbolImage(&reader);
  EXPECT_LE(stock.values.size(), static_cast<std::size_t>(NUM_FIDS));
}

TEST_F(DdeFormatsTest, ADescriptiveImageOfManyRowsLogsAFewLines) {
  std::string buffer(4 + 5 * 100000, '\0');
  QelUpdate writer;
  writer.setWorkingBuffer(&buffer[0], static_cast<unsigned>(buffer.size()));
  while (writer.addRow()) {
  }
  QelUpdate reader;
  reader.setBuffer(&buffer[0], writer.getDataLength());
  LogCapture logs(3);
  stock.symbolImage(&reader);
  EXPECT_EQ(logs.count("en_GB en_GB"), static_cast<int>(LOG_LIMIT_LINES));
  EXPECT_TRUE(logs.contains("... 99995 more like this"));
  EXPECT_LT(logs.text().size(), 2000u);
}

TEST_F(DdeFormatsTest, TimesAreShownAsTimeOfDay) {
  // 1709283907 is 09:05:07 UTC.
  EXPECT_EQ(text("1709283907", LAST_TRADE_TIME), std::string("09:05:07\0", 9));
  EXPECT_EQ(renderXlTable(&stock, "1709283907", LAST_TRADE_TIME), xltableStringBytes("09:05:07"));
  // Empty: "00:00:00" in a table, the epoch's local time as text.
  EXPECT_EQ(renderXlTable(&stock, "", LAST_TRADE_TIME), xltableStringBytes("00:00:00"));
  EXPECT_EQ(text("", LAST_TRADE_TIME), std::string("00:00:00\0", 9));
  EXPECT_EQ(text(" ", LAST_TRADE_TIME), std::string("00:00:00\0", 9));
  // A time the platform cannot show is an empty string, never garbage.
  EXPECT_EQ(timeOfDay("99999999999999999999"), "");
  EXPECT_EQ(timeOfDay("-99999999999999999"), "");
}

TEST_F(DdeFormatsTest, CodedFieldsAreWordsInTablesAndNumbersInText) {
  EXPECT_EQ(renderXlTable(&stock, "5", LAST_TRADE_FLAGS), xltableStringBytes("B L "));
  EXPECT_EQ(renderXlTable(&stock, "3", FLAGS), xltableStringBytes("A S "));
  EXPECT_EQ(renderXlTable(&stock, "1", LAST_TRADE_TYPE), xltableStringBytes("B"));
  EXPECT_EQ(text("5", LAST_TRADE_FLAGS), std::string("5\0", 2));
  // The sign bit is a flag too.
  EXPECT_EQ(renderXlTable(&stock, "4294967295", FLAGS), renderXlTable(&stock, "-1", FLAGS));
  stock.market = nullptr;
  EXPECT_EQ(renderXlTable(&stock, "5", LAST_TRADE_FLAGS), xltableStringBytes(""));
}

TEST_F(DdeFormatsTest, FormatsAreComparedByTheirLowSixteenBits) {
  xltableFmt = 0xC0A1;
  EXPECT_TRUE(isXlTable(0xFFFFC0A1u));
  EXPECT_TRUE(isServedFormat(CF_TEXT));
  EXPECT_TRUE(isServedFormat(0xC0A1));
  EXPECT_FALSE(isServedFormat(CF_UNICODETEXT));
  EXPECT_FALSE(isServedFormat(0xC0A2));
  xltableFmt = 0;
}

}  // namespace
