// The DDE client side: the XlTable decoder and value formatting on exact
// bytes and on damaged ones, the live table's drawing, the client library's
// failures, and the ddeclient program run as a child against a server in
// this process.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/EventLoop.h"
#include "platform/ddeml.h"
#include "tests/ChildProcess.h"
#include "tests/TestSupport.h"
#include "tools/ddeclient/DdeClient.h"
#include "tools/ddeclient/WatchTable.h"
#include "tools/ddeclient/XlTable.h"

namespace {

const std::string kFloat125("\x10\x00\x04\x00\x01\x00\x01\x00\x01\x00\x08\x00\x00\x00\x00\x00\x00\x00\x29\x40", 20);
const std::string kStringAbc("\x10\x00\x04\x00\x01\x00\x01\x00\x02\x00\x05\x00\x03\x61\x62\x63\x00", 17);

std::string u16(unsigned v) { return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)}; }

std::string record(unsigned type, const std::string& data) { return u16(type) + u16(static_cast<unsigned>(data.size())) + data; }

std::string table(unsigned rows, unsigned cols) { return record(0x10, u16(rows) + u16(cols)); }

std::string dbl(double v) {
  std::string s(8, '\0');
  std::memcpy(&s[0], &v, 8);  // little-endian hosts only, as the format is
  return s;
}

std::string floatTable(double v) { return table(1, 1) + record(0x01, dbl(v)); }

// ---- XlTable

TEST(XlTableTest, DecodesTheNumberCellExample) {
  XlTable t;
  std::string error;
  ASSERT_TRUE(decodeXlTable(kFloat125, t, error)) << error;
  EXPECT_EQ(t.rows, 1u);
  EXPECT_EQ(t.columns, 1u);
  ASSERT_EQ(t.cells.size(), 1u);
  EXPECT_EQ(t.cells[0].type, XlCell::Float);
  EXPECT_EQ(t.cells[0].number, 12.5);
  EXPECT_EQ(formatTable(t), "12.5");
  EXPECT_EQ(floatTable(12.5), kFloat125);
}

TEST(XlTableTest, DecodesTheStringCellExampleWithItsTrailingZero) {
  XlTable t;
  std::string error;
  ASSERT_TRUE(decodeXlTable(kStringAbc, t, error)) << error;
  ASSERT_EQ(t.cells.size(), 1u);
  EXPECT_EQ(t.cells[0].type, XlCell::String);
  EXPECT_EQ(t.cells[0].text, "abc");
}

TEST(XlTableTest, DecodesAStringRecordWithoutTrailingZero) {
  XlTable t;
  std::string error;
  ASSERT_TRUE(decodeXlTable(table(1, 1) + record(0x02, "\x03" "abc"), t, error)) << error;
  EXPECT_EQ(t.cells.at(0).text, "abc");
  // Where the table has room, a zero byte after a string is the next, empty string.
  ASSERT_TRUE(decodeXlTable(table(1, 2) + record(0x02, std::string("\x03" "abc\0", 5)), t, error)) << error;
  ASSERT_EQ(t.cells.size(), 2u);
  EXPECT_EQ(t.cells[1].type, XlCell::String);
  EXPECT_EQ(t.cells[1].text, "");
}

TEST(XlTableTest, DecodesEveryCellTypeRowByRow) {
  std::string bytes = table(3, 3) + record(0x01, dbl(1.5) + dbl(-2)) + record(0x02, "\x01x") +
                      record(0x03, u16(1) + u16(0)) + record(0x04, u16(42)) + record(0x06, u16(0xFFF9)) +
                      record(0x05, u16(1)) + record(0x07, u16(1));
  XlTable t;
  std::string error;
  ASSERT_TRUE(decodeXlTable(bytes, t, error)) << error;
  ASSERT_EQ(t.cells.size(), 9u);
  EXPECT_EQ(formatTable(t), "1.5\t-2\tx; TRUE\tFALSE\t#N/A; -7\t\t");
  EXPECT_EQ(t.cells[7].type, XlCell::Blank);
}

struct BadTable {
  const char* name;
  std::string bytes;
  const char* reason;
};

TEST(XlTableTest, RefusesTablesThatDoNotAddUp) {
  const BadTable cases[] = {
      {"empty", "", "no table record"},
      {"value before the table", record(0x01, dbl(1)) + table(1, 1), "no table record"},
      {"table record of the wrong size", record(0x10, u16(1) + u16(1) + u16(0)), "no table record"},
      {"no rows", table(0, 1) + record(0x01, dbl(1)), "table of 0x1"},
      {"too many cells", table(0xFFFF, 2) + record(0x01, dbl(1)), "table of 65535x2"},
      {"record past the end", table(1, 1) + u16(0x01) + u16(8) + "abc", "record of 8 bytes with 3 left"},
      {"odd float record", table(1, 1) + record(0x01, "1234567"), "float record of 7"},
      {"string past its record", table(1, 1) + record(0x02, "\x05" "ab"), "runs past its record"},
      {"second table", table(1, 1) + table(1, 1), "second table record"},
      {"unknown type", table(1, 1) + record(0x09, "ab"), "unknown record type 9"},
      {"torn header", table(1, 1) + "\x01", "truncated record header"},
      {"too few values", table(1, 2) + record(0x01, dbl(1)), "values for 1 of 2"},
      {"too many values", table(1, 1) + record(0x01, dbl(1) + dbl(2)), "more values than"},
      {"run of the wrong size", table(1, 3) + record(0x05, "abc"), "run record of 3"},
      {"run past the table", table(1, 2) + record(0x07, u16(3)), "more values than"},
      {"odd bool record", table(1, 1) + record(0x03, "a"), "odd size"},
  };
  for (const BadTable& bad : cases) {
    SCOPED_TRACE(bad.name);
    XlTable t;
    std::string error;
    EXPECT_FALSE(decodeXlTable(bad.bytes, t, error));
    EXPECT_NE(error.find(bad.reason), std::string::npos) << error;
  }
}

TEST(XlTableTest, RefusesEveryTruncationOfTheExamples) {
  for (const std::string& whole : {kFloat125, kStringAbc}) {
    for (std::size_t n = 0; n < whole.size(); ++n) {
      SCOPED_TRACE(n);
      // An exact-size copy, so a read past the end is caught by the sanitizer.
      std::string cut = whole.substr(0, n);
      XlTable t;
      std::string error;
      EXPECT_FALSE(decodeXlTable(cut, t, error));
      EXPECT_FALSE(error.empty());
    }
  }
}

TEST(XlTableTest, GarbageIsRefusedOrDecodedConsistently) {
  std::mt19937 random(20240611);
  int accepted = 0;
  for (int i = 0; i < 5000; ++i) {
    std::string bytes(random() % 48, '\0');
    for (char& c : bytes) c = static_cast<char>(random() % 4 == 0 ? random() % 16 : random());
    if (i % 2) bytes = table(1 + random() % 3, 1 + random() % 3) + bytes;
    XlTable t;
    std::string error;
    if (decodeXlTable(bytes, t, error)) {
      ++accepted;
      EXPECT_EQ(t.cells.size(), static_cast<std::size_t>(t.rows) * t.columns);
      formatTable(t);
    } else {
      EXPECT_FALSE(error.empty());
    }
  }
  EXPECT_LT(accepted, 5000);
}

struct NumberCase {
  double value;
  const char* text;
};

TEST(XlTableTest, NumbersPrintAsTheShortestTextThatReadsBack) {
  const NumberCase cases[] = {{12.5, "12.5"},   {0.1, "0.1"},         {100, "100"},
                              {1e21, "1e+21"},  {-3.25, "-3.25"},     {1.0 / 3, "0.3333333333333333"},
                              {0, "0"},         {123456789, "123456789"}, {0.000125, "0.000125"},
                              {101.25, "101.25"}, {1e16, "10000000000000000"}, {1e17, "1e+17"}, {2.5e-7, "2.5e-07"},
                              {-1500, "-1500"}};
  for (const NumberCase& c : cases) EXPECT_EQ(formatNumber(c.value), c.text) << c.text;
}

struct ValueCase {
  const char* name;
  DdeBridgeFormat format;
  std::string data;
  std::string text;
};

TEST(XlTableTest, ValuesBecomeOnePrintableLine) {
  const ValueCase cases[] = {
      {"text to its zero", DdeBridgeFormat::standard(1), std::string("12.5\0junk", 9), "12.5"},
      {"text without a zero", DdeBridgeFormat::standard(1), "12.5", "12.5"},
      {"line end dropped", DdeBridgeFormat::standard(1), "abc\r\n", "abc"},
      {"terminal control", DdeBridgeFormat::standard(1), "\x1b[2Jx", "?[2Jx"},
      {"table by name", DdeBridgeFormat::registered("xltable"), kFloat125, "12.5"},
      {"table string", DdeBridgeFormat::registered("XlTable"), kStringAbc, "abc"},
      {"bad table", DdeBridgeFormat::registered("XlTable"), "\x10\x00", "#BAD XlTable: no table record"},
      {"other format", DdeBridgeFormat::standard(13), "abcd", "<4 bytes in format 13>"},
  };
  for (const ValueCase& c : cases) EXPECT_EQ(formatValue(c.format, c.data), c.text) << c.name;
}

// ---- The live table

TEST(WatchTableTest, DrawsARowPerTopicAndRedrawsInPlace) {
  WatchTable t({"LSE_VOD", "LSE_BP"}, {"BID", "ASK"});
  EXPECT_EQ(t.lines(), 3u);
  EXPECT_TRUE(t.dirty());
  std::string first = t.render();
  EXPECT_EQ(first,
            "TOPIC         BID       ASK\x1b[K\n"
            "LSE_VOD         -         -\x1b[K\n"
            "LSE_BP          -         -\x1b[K\n");
  EXPECT_FALSE(t.dirty());
  EXPECT_TRUE(t.set(1, "ASK", "101.25"));
  EXPECT_TRUE(t.dirty());
  std::string second = t.render();
  EXPECT_EQ(second.substr(0, 5), "\r\x1b[3A");
  EXPECT_NE(second.find("LSE_BP          -    101.25"), std::string::npos) << second;
  EXPECT_TRUE(t.set(1, "ASK", "101.25"));
  EXPECT_FALSE(t.dirty());
  EXPECT_FALSE(t.set(2, "ASK", "1"));
  EXPECT_FALSE(t.set(0, "CUR", "1"));
}

// ---- Against a server in this process

struct ChildRun {
  int status = -1;
  std::string out, err;
};

class DdeClientTest;
DdeClientTest* server = nullptr;
HDDEDATA CALLBACK serverCallback(UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR);

class DdeClientTest : public ::testing::Test {
 public:
  // Topics but "BAD" are accepted; BID is 12.5, NAME is "abc", NONE has no
  // value; each advise request gets the next of 1.5, 2.5, ...
  HDDEDATA answer(UINT type, UINT fmt, const std::string& topic, HSZ hsz2) {
    char item[256];
    DdeQueryStringA(inst, hsz2, item, sizeof item, CP_WINANSI);
    switch (type) {
      case XTYP_CONNECT:
        return reinterpret_cast<HDDEDATA>(static_cast<std::uintptr_t>(topic == "BAD" ? FALSE : TRUE));
      case XTYP_REQUEST: {
        std::string name = item;
        if (name == "NONE") return nullptr;
        bool number = name != "NAME";
        std::string bytes = fmt == xltable ? (number ? kFloat125 : kStringAbc) : std::string(number ? "12.5" : "abc") + '\0';
        return data(bytes, hsz2, fmt);
      }
      case XTYP_ADVSTART:
        ++loops;
        return reinterpret_cast<HDDEDATA>(TRUE);
      case XTYP_ADVREQ: {
        double v = ++advised + 0.5;
        if (fmt == xltable) return data(floatTable(v), hsz2, fmt);
        return data(formatNumber(v) + '\0', hsz2, CF_TEXT);
      }
      default:
        return nullptr;
    }
  }
  DWORD inst = 0;

 protected:
  void SetUp() override {
    server = this;
    ASSERT_EQ(DdeInitializeW(&inst, &serverCallback, CBF_FAIL_EXECUTES, 0), DMLERR_NO_ERROR);
    xltable = RegisterClipboardFormatA("XlTable");
    service = DdeCreateStringHandleA(inst, "TAVRO", CP_WINANSI);
    ASSERT_NE(DdeNameService(inst, service, nullptr, DNS_REGISTER), nullptr);
  }
  void TearDown() override {
    DdeUninitialize(inst);
    server = nullptr;
  }

  HDDEDATA data(const std::string& bytes, HSZ item, UINT fmt) {
    return DdeCreateDataHandle(inst, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), 0,
                               item, fmt, 0);
  }

  // Runs ddeclient with `args` while this process serves it; `tick` runs
  // between loop turns. Killed after `timeoutMs`.
  ChildRun run(const std::vector<std::string>& args, const std::function<void()>& tick = {}, int timeoutMs = 10000) {
    std::vector<std::string> argv{DDECLIENT_EXECUTABLE};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess child;
    ChildRun result;
    if (!child.start(argv, {}, "", "")) return result;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (child.running() && std::chrono::steady_clock::now() < deadline) {
      loop.runOnce(5);
      if (tick) tick();
    }
    child.stop(SIGKILL, 2000);
    result.status = child.exitCode();
    result.out = child.out();
    result.err = child.err();
    return result;
  }

  // Posts an update of every loop of `topic` every 20 ms once loops exist.
  std::function<void()> feed(const char* topic) {
    HSZ t = DdeCreateStringHandleA(inst, topic, CP_WINANSI);
    auto last = std::make_shared<std::chrono::steady_clock::time_point>();
    return [this, t, last] {
      auto now = std::chrono::steady_clock::now();
      if (loops == 0 || now - *last < std::chrono::milliseconds(20)) return;
      *last = now;
      DdePostAdvise(inst, t, nullptr);
    };
  }

  static std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

  TempDir dir;
  EventLoop loop;
  UINT xltable = 0;
  HSZ service = nullptr;
  int loops = 0;
  int advised = 0;
};

HDDEDATA CALLBACK serverCallback(UINT type, UINT fmt, HCONV, HSZ hsz1, HSZ hsz2, HDDEDATA, ULONG_PTR, ULONG_PTR) {
  if (!server) return nullptr;
  char topic[256];
  DdeQueryStringA(server->inst, hsz1, topic, sizeof topic, CP_WINANSI);
  return server->answer(type, fmt, topic, hsz2);
}

struct ProgramCase {
  const char* name;
  std::vector<std::string> args;
  int status;
  const char* out;  // the whole standard output, or null for "not checked"
  const char* err;  // a piece of standard error, or null
};

TEST_F(DdeClientTest, RequestPrintsTheValueAndExitsWithItsStatus) {
  const ProgramCase cases[] = {
      {"text", {"request", "lse_vod", "BID"}, 0, "12.5\n", nullptr},
      {"table number", {"request", "lse_vod", "BID", "--xltable"}, 0, "12.5\n", nullptr},
      {"table string", {"--xltable", "request", "lse_vod", "NAME"}, 0, "abc\n", nullptr},
      {"service named", {"request", "lse_vod", "NAME", "--service", "tavro"}, 0, "abc\n", nullptr},
      {"no value", {"request", "lse_vod", "NONE"}, 3, "", "refused"},
      {"topic refused", {"request", "BAD", "BID"}, 2, "", "refused"},
      {"no such service", {"request", "lse_vod", "BID", "--service", "NOSUCH"}, 2, "", "no service"},
  };
  for (const ProgramCase& c : cases) {
    SCOPED_TRACE(c.name);
    ChildRun r = run(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    if (c.out) {
      EXPECT_EQ(r.out, c.out);
    }
    if (c.err) {
      EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
  }
}

TEST_F(DdeClientTest, UsageErrorsExitWithOneAndHelpWithZero) {
  const ProgramCase cases[] = {
      {"nothing", {}, 1, "", "usage:"},
      {"unknown command", {"fetch", "a", "b"}, 1, "", "unknown command fetch"},
      {"missing item", {"request", "lse_vod"}, 1, "", "usage:"},
      {"unknown option", {"request", "lse_vod", "BID", "--bogus"}, 1, "", "unknown option --bogus"},
      {"bad count", {"advise", "lse_vod", "BID", "--count", "x"}, 1, "", "--count"},
      {"watch without items", {"watch", "lse_vod"}, 1, "", "--items"},
      {"help", {"--help"}, 0, nullptr, nullptr},
  };
  for (const ProgramCase& c : cases) {
    SCOPED_TRACE(c.name);
    ChildRun r = run(c.args);
    EXPECT_EQ(r.status, c.status);
    if (c.out) {
      EXPECT_EQ(r.out, c.out);
    }
    if (c.err) {
      EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
  }
  ChildRun help = run({"--help"});
  for (const char* word : {"request TOPIC ITEM", "advise TOPIC ITEM...", "watch TOPIC...", "--xltable", "--count",
                           "--seconds", "--items", "TAVRO_DDE_DIR", "exit status"})
    EXPECT_NE(help.out.find(word), std::string::npos) << word;
}

TEST_F(DdeClientTest, AdvisePrintsOneLinePerUpdateUntilTheCount) {
  ChildRun r = run({"advise", "lse_vod", "BID", "--count", "3"}, feed("LSE_VOD"));
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> got = lines(r.out);
  ASSERT_EQ(got.size(), 3u) << r.out;
  double previous = 0;
  for (const std::string& line : got) {
    ASSERT_EQ(line.substr(0, 12), "lse_vod BID ");
    double v = std::atof(line.c_str() + 12);
    EXPECT_GT(v, previous);
    EXPECT_EQ(line.substr(12), formatNumber(v));
    previous = v;
  }
}

TEST_F(DdeClientTest, AdviseDecodesTableUpdatesAndStopsAfterItsTime) {
  auto start = std::chrono::steady_clock::now();
  ChildRun r = run({"advise", "lse_vod", "BID", "ASK", "--xltable", "--seconds", "0.5"}, feed("LSE_VOD"));
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_GE(took, std::chrono::milliseconds(450));
  std::vector<std::string> got = lines(r.out);
  ASSERT_GE(got.size(), 2u);
  bool bid = false, ask = false;
  for (const std::string& line : got) {
    bid = bid || line.rfind("lse_vod BID ", 0) == 0;
    ask = ask || line.rfind("lse_vod ASK ", 0) == 0;
    EXPECT_EQ(line.substr(line.size() - 2), ".5") << line;
  }
  EXPECT_TRUE(bid);
  EXPECT_TRUE(ask);
}

TEST_F(DdeClientTest, WatchPrintsPlainLinesWhenNotOnATerminal) {
  auto both = [bp = feed("LSE_BP"), vod = feed("LSE_VOD")] {
    vod();
    bp();
  };
  ChildRun r = run({"watch", "lse_vod", "LSE_BP", "--items", "BID,ASK", "--seconds", "0.5"}, both);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("\x1b["), std::string::npos);
  bool vod = false, bp = false;
  for (const std::string& line : lines(r.out)) {
    vod = vod || line.rfind("lse_vod ", 0) == 0;
    bp = bp || line.rfind("LSE_BP ", 0) == 0;
  }
  EXPECT_TRUE(vod) << r.out;
  EXPECT_TRUE(bp) << r.out;
}

TEST_F(DdeClientTest, WatchOfAMissingServiceExitsWithTwo) {
  ChildRun r = run({"watch", "lse_vod", "--items", "BID", "--service", "NOSUCH", "--seconds", "1"});
  EXPECT_EQ(r.status, 2);
}

TEST_F(DdeClientTest, CallsFailWhenTheServerGoesAway) {
  DdeClient c;
  c.setIdle([this] { loop.runOnce(2); });
  ASSERT_TRUE(c.open("TAVRO"));
  std::uint32_t conv = 0;
  ASSERT_EQ(c.connect("TAVRO", "lse_vod", conv), DdeReply::Ok);
  DdeUninitialize(inst);
  DdeBridgeFormat f;
  std::string d;
  EXPECT_EQ(c.request(conv, "BID", DdeBridgeFormat::standard(1), f, d), DdeReply::Failed);
  EXPECT_FALSE(c.isOpen());
  EXPECT_TRUE(c.terminated(conv));
  inst = 0;
  ASSERT_EQ(DdeInitializeW(&inst, &serverCallback, 0, 0), DMLERR_NO_ERROR);
}

TEST_F(DdeClientTest, CallWithoutAnAnswerTimesOut) {
  DdeClient c;
  c.setIdle([this] { loop.runOnce(2); });
  c.setTimeoutMs(200);
  ASSERT_TRUE(c.open("TAVRO"));
  std::uint32_t conv = 0;
  ASSERT_EQ(c.connect("TAVRO", "lse_vod", conv), DdeReply::Ok);
  ASSERT_TRUE(DdeEnableCallback(inst, reinterpret_cast<HCONV>(static_cast<std::uintptr_t>(conv)), EC_DISABLE));
  DdeBridgeFormat f;
  std::string d;
  EXPECT_EQ(c.request(conv, "BID", DdeBridgeFormat::standard(1), f, d), DdeReply::Failed);
  EXPECT_NE(c.lastError().find("no answer"), std::string::npos) << c.lastError();
  EXPECT_TRUE(c.isOpen());
}

}  // namespace
