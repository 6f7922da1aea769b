// The DDE library's handle tables: string, data and format handles. No
// socket is opened.
#include "tests/DdeLibraryHarness.h"

namespace {

using DdeHandlesTest = DdeLibraryTest;

// ---- Handles

TEST_F(DdeHandlesTest, StringHandlesIgnoreLetterCaseAndKeepTheFirstText) {
  HSZ a = DdeCreateStringHandleA(inst, "bid", CP_WINANSI);
  HSZ b = DdeCreateStringHandleA(inst, "BID", CP_WINANSI);
  HSZ w = DdeCreateStringHandleW(inst, L"Bid", CP_WINUNICODE);
  HSZ ask = DdeCreateStringHandleA(inst, "ASK", CP_WINANSI);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a, w);
  EXPECT_EQ(DdeCmpStringHandles(a, b), 0);
  EXPECT_NE(DdeCmpStringHandles(a, ask), 0);
  EXPECT_EQ(DdeCmpStringHandles(a, ask), -DdeCmpStringHandles(ask, a));
  char buf[16];
  EXPECT_EQ(DdeQueryStringA(inst, b, buf, sizeof buf, CP_WINANSI), 3u);
  EXPECT_STREQ(buf, "bid");
  WCHAR wbuf[16];
  EXPECT_EQ(DdeQueryStringW(inst, b, wbuf, 16, CP_WINUNICODE), 3u);
  EXPECT_EQ(std::wstring(wbuf), L"bid");
  // Three references: the text lives until the third free.
  EXPECT_TRUE(DdeFreeStringHandle(inst, a));
  EXPECT_TRUE(DdeFreeStringHandle(inst, a));
  EXPECT_EQ(DdeQueryStringA(inst, a, nullptr, 0, CP_WINANSI), 3u);
  EXPECT_TRUE(DdeFreeStringHandle(inst, a));
  EXPECT_EQ(DdeQueryStringA(inst, a, nullptr, 0, CP_WINANSI), 0u);
  EXPECT_FALSE(DdeFreeStringHandle(inst, a));
  HSZ again = DdeCreateStringHandleA(inst, "BID", CP_WINANSI);
  EXPECT_EQ(DdeQueryStringA(inst, again, buf, sizeof buf, CP_WINANSI), 3u);
  EXPECT_STREQ(buf, "BID");
  EXPECT_TRUE(DdeKeepStringHandle(inst, again));
  EXPECT_TRUE(DdeFreeStringHandle(inst, again));
  EXPECT_EQ(DdeQueryStringA(inst, again, nullptr, 0, CP_WINANSI), 3u);
}

// The A calls speak Windows-1252, as the ANSI code page of a Western Windows.
TEST_F(DdeHandlesTest, StringHandlesSpeakWindows1252AndFoldItsLetters) {
  HSZ lower = DdeCreateStringHandleA(inst, "caf\xe9 \x9a\x9c\x9e\xff", CP_WINANSI);
  HSZ upper = DdeCreateStringHandleA(inst, "CAF\xc9 \x8a\x8c\x8e\x9f", CP_WINANSI);
  EXPECT_EQ(lower, upper);
  HSZ euro = DdeCreateStringHandleA(inst, "lse_vod_\x80\x81", CP_WINANSI);
  WCHAR wide[16] = {};
  EXPECT_EQ(DdeQueryStringW(inst, euro, wide, 16, CP_WINUNICODE), 10u);
  EXPECT_EQ(std::wstring(wide), std::wstring(L"lse_vod_\u20AC\u0081"));
  const WCHAR outside[] = {L'l', L's', L'e', L'_', 0x4E2D, 0x20AC, 0};
  char buf[16];
  EXPECT_EQ(DdeQueryStringA(inst, DdeCreateStringHandleW(inst, outside, CP_WINUNICODE), buf, sizeof buf, CP_WINANSI),
            6u);
  EXPECT_EQ(std::string(buf), "lse_?\x80");
  EXPECT_EQ(DdeCreateStringHandleA(inst, "", CP_WINANSI), nullptr);
  EXPECT_EQ(DdeCreateStringHandleA(inst, std::string(256, 'x').c_str(), CP_WINANSI), nullptr);
}

struct QueryCase {
  DWORD cchMax;
  DWORD result;
  const char* text;
};

TEST_F(DdeHandlesTest, QueryStringCopiesAtMostOneLessThanTheBuffer) {
  HSZ h = DdeCreateStringHandleA(inst, "LSE_VOD", CP_WINANSI);
  const QueryCase cases[] = {{1, 0, ""}, {2, 1, "L"}, {4, 3, "LSE"}, {7, 6, "LSE_VO"}, {8, 7, "LSE_VOD"}, {64, 7, "LSE_VOD"}};
  for (const QueryCase& q : cases) {
    SCOPED_TRACE(q.cchMax);
    char buf[64];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(DdeQueryStringA(inst, h, buf, q.cchMax, CP_WINANSI), q.result);
    EXPECT_STREQ(buf, q.text);
    EXPECT_EQ(buf[q.result + 1], q.cchMax > q.result + 1 ? '#' : buf[q.result + 1]);
  }
  EXPECT_EQ(DdeQueryStringA(inst, h, nullptr, 0, CP_WINANSI), 7u);
  EXPECT_EQ(DdeQueryStringW(inst, h, nullptr, 0, CP_WINUNICODE), 7u);
  char buf[8] = "xxxxxxx";
  EXPECT_EQ(DdeQueryStringA(inst, nullptr, buf, sizeof buf, CP_WINANSI), 0u);
  EXPECT_STREQ(buf, "");
}

TEST_F(DdeHandlesTest, DataHandlesCopyTheirBytesAndHandThemOut) {
  const BYTE src[] = {1, 2, 3, 4, 5, 6};
  HSZ item = DdeCreateStringHandleA(inst, "BID", CP_WINANSI);
  HDDEDATA h = DdeCreateDataHandle(inst, src, 4, 2, item, CF_TEXT, 0);
  ASSERT_NE(h, nullptr);
  DWORD size = 0;
  BYTE* p = DdeAccessData(h, &size);
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(size, 4u);
  EXPECT_EQ(std::vector<BYTE>(p, p + 4), (std::vector<BYTE>{3, 4, 5, 6}));
  p[0] = 9;
  EXPECT_TRUE(DdeUnaccessData(h));
  EXPECT_EQ(DdeGetData(h, nullptr, 0, 0), 4u);
  BYTE out[8] = {};
  EXPECT_EQ(DdeGetData(h, out, 2, 1), 2u);
  EXPECT_EQ(out[0], 4);
  EXPECT_EQ(out[1], 5);
  EXPECT_EQ(DdeGetData(h, out, 8, 0), 4u);
  EXPECT_EQ(out[0], 9);
  EXPECT_EQ(DdeGetData(h, out, 8, 4), 0u);
  EXPECT_TRUE(DdeFreeDataHandle(h));
  EXPECT_EQ(DdeAccessData(h, &size), nullptr);
  EXPECT_FALSE(DdeFreeDataHandle(h));

  HDDEDATA blank = DdeCreateDataHandle(inst, nullptr, 32, 0, nullptr, 0, 0);
  p = DdeAccessData(blank, &size);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(size, 32u);
  EXPECT_EQ(std::vector<BYTE>(p, p + 32), std::vector<BYTE>(32, 0));
  EXPECT_EQ(DdeCreateDataHandle(inst + 1000, src, 4, 0, nullptr, CF_TEXT, 0), nullptr);
}

TEST_F(DdeHandlesTest, ClipboardFormatsAreStablePerNameRegardlessOfCase) {
  UINT xl = RegisterClipboardFormatA("XlTable");
  EXPECT_GE(xl, 0xC000u);
  EXPECT_EQ(RegisterClipboardFormatA("xltable"), xl);
  EXPECT_EQ(RegisterClipboardFormatA("XLTABLE"), xl);
  UINT other = RegisterClipboardFormatA("Link");
  EXPECT_GE(other, 0xC000u);
  EXPECT_NE(other, xl);
  EXPECT_EQ(RegisterClipboardFormatA("Link"), other);
  EXPECT_EQ(RegisterClipboardFormatA(""), 0u);
}

}  // namespace
