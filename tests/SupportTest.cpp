#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "support/BufferedReader.h"
#include "support/TavroUtil.h"
#include "support/Unicode.h"

namespace {

TEST(TavroUtilTest, StringHelpers) {
  char s[] = "lse_vod1";
  TavroUtil::StrToUpper(s);
  EXPECT_STREQ(s, "LSE_VOD1");
  char dest[8];
  TavroUtil::Strcpy(dest, "abcdef", 4);
  EXPECT_STREQ(dest, "abc");
  TavroUtil::Strcpy(dest, nullptr, 4);
  EXPECT_STREQ(dest, "");
  TavroUtil::Strcpy(nullptr, "x", 4);  // does nothing
  EXPECT_EQ(TavroUtil::StrCountChar("a^b^c", '^'), 2);
  std::string t = "a\tb";
  TavroUtil::makePrintable(t);
  EXPECT_EQ(t, "a*b");
  char r[] = "a_b_c";
  TavroUtil::strRepAll(r, '_', '^');
  EXPECT_STREQ(r, "a^b^c");
  char* copy = TavroUtil::newString("xyz");
  EXPECT_STREQ(copy, "xyz");
  delete[] copy;
  EXPECT_EQ(TavroUtil::newString(nullptr), nullptr);
}

TEST(TavroUtilTest, RandIntStaysInRange) {
  for (int i = 0; i < 1000; ++i) {
    EXPECT_EQ(TavroUtil::randInt(1), 0);
    int v = TavroUtil::randInt(4);
    EXPECT_GE(v, 0);
    EXPECT_LT(v, 4);
  }
  EXPECT_EQ(TavroUtil::randInt(0), 0);
}

std::wstring wide(const wchar_t* s) { return s; }

TEST(UnicodeTest, Utf8ThroughUtf16To1252) {
  // "Société Générale €" in UTF-8.
  const char* utf8 = "Soci\xC3\xA9t\xC3\xA9 G\xC3\xA9n\xC3\xA9rale \xE2\x82\xAC";
  wchar_t w[128];
  CodePageToUnicode(CODEPAGE_UTF8, utf8, w, 127);
  EXPECT_EQ(w[4], 0xE9);
  EXPECT_EQ(w[17], 0x20AC);
  EXPECT_EQ(w[18], 0);
  char out[128];
  UnicodeToCodePage(CODEPAGE_1252, w, out, 127);
  EXPECT_STREQ(out, "Soci\xE9t\xE9 G\xE9n\xE9rale \x80");
  // And back from 1252.
  CodePageToUnicode(CODEPAGE_1252, out, w, 127);
  EXPECT_EQ(w[17], 0x20AC);
}

TEST(UnicodeTest, UnmappableAndInvalidInput) {
  wchar_t w[16];
  CodePageToUnicode(CODEPAGE_UTF8, "a\xFF" "b", w, 15);  // invalid byte
  EXPECT_EQ(w[1], 0xFFFD);
  char out[16];
  UnicodeToCodePage(CODEPAGE_1252, w, out, 15);
  EXPECT_STREQ(out, "a?b");
  // A 4-byte sequence becomes a surrogate pair, and 1252 cannot show it.
  CodePageToUnicode(CODEPAGE_UTF8, "\xF0\x9F\x98\x80", w, 15);
  EXPECT_EQ(w[0], 0xD83D);
  EXPECT_EQ(w[1], 0xDE00);
  UnicodeToCodePage(CODEPAGE_1252, w, out, 15);
  EXPECT_STREQ(out, "?");
  UnicodeToCodePage(CODEPAGE_UTF8, w, out, 15);
  EXPECT_STREQ(out, "\xF0\x9F\x98\x80");
}

TEST(UnicodeTest, EmptyInputAndTooLongResultLeaveDestinationEmpty) {
  wchar_t w[4] = {1, 1, 1, 1};
  CodePageToUnicode(CODEPAGE_UTF8, "", w, 3);
  EXPECT_EQ(w[0], 0);
  EXPECT_EQ(w[1], 1);  // a single 0 unit, nothing else
  CodePageToUnicode(CODEPAGE_UTF8, "abcd", w, 3);
  EXPECT_EQ(w[0], 0);
  CodePageToUnicode(CODEPAGE_UTF8, "abc", w, 3);
  EXPECT_EQ(wide(w), L"abc");
  char out[4];
  UnicodeToCodePage(CODEPAGE_1252, L"abcd", out, 3);
  EXPECT_STREQ(out, "");
}

TEST(UnicodeTest, Utf8ToUtf16WithTerminatorLimit) {
  wchar_t w[4];
  EXPECT_FALSE(Unicode8ToUnicode16("a", w, 0));
  EXPECT_TRUE(Unicode8ToUnicode16("abc", w, 4));
  EXPECT_EQ(wide(w), L"abc");
  EXPECT_TRUE(Unicode8ToUnicode16("abcd", w, 4));  // no room for the terminator
  EXPECT_EQ(w[0], 0);
}

TEST(BufferedReaderTest, ReadsChunksOfTheBufferSize) {
  std::string path = ::testing::TempDir() + "/reader_600000.bin";
  {
    std::ofstream f(path, std::ios::binary);
    std::string data(600000, 'r');
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
  }
  BufferedReader reader(BufferedReader::DEFAULT_BUFFER_SIZE);
  ASSERT_TRUE(reader.setFilename(path.c_str()));
  std::size_t len = 1;
  std::vector<std::size_t> chunks;
  while (reader.getChunk(len)) chunks.push_back(len);
  EXPECT_EQ(chunks, std::vector<std::size_t>({256000, 256000, 88000}));
  EXPECT_EQ(len, 0u);
  EXPECT_FALSE(reader.hasError());
  EXPECT_FALSE(reader.fillBuffer());
  std::remove(path.c_str());
}

TEST(BufferedReaderTest, MissingFileAndReadErrorsAreNotEndOfFile) {
  BufferedReader reader(16);
  EXPECT_FALSE(reader.setFilename("/nonexistent/file"));
  std::size_t len = 5;
  EXPECT_EQ(reader.getChunk(len), nullptr);
  EXPECT_EQ(len, 0u);
  // A directory opens but cannot be read: an error, not the end of the file.
  ASSERT_TRUE(reader.setFilename("/"));
  EXPECT_EQ(reader.getChunk(len), nullptr);
  EXPECT_TRUE(reader.hasError());
}

}  // namespace
