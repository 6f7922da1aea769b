#include "support/Unicode.h"

#include <cstring>

namespace {

// Windows-1252 bytes 0x80..0x9F; the five undefined ones map to themselves.
const unsigned short cp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

bool is1252(int codePage) { return codePage == CODEPAGE_1252 || codePage == 1004 || codePage == 0; }

// Decodes one UTF-8 sequence at s (n bytes left) into a code point; returns the
// bytes used, with U+FFFD for a malformed sequence.
int decodeUtf8(const unsigned char* s, std::size_t n, unsigned& cp) {
  unsigned char c = s[0];
  int len;
  unsigned min;
  if (c < 0x80) {
    cp = c;
    return 1;
  } else if ((c & 0xE0) == 0xC0) {
    len = 2, cp = c & 0x1F, min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3, cp = c & 0x0F, min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4, cp = c & 0x07, min = 0x10000;
  } else {
    cp = 0xFFFD;
    return 1;
  }
  for (int i = 1; i < len; ++i) {
    if (static_cast<std::size_t>(i) >= n || (s[i] & 0xC0) != 0x80) {
      cp = 0xFFFD;
      return i;
    }
    cp = cp << 6 | (s[i] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
  return len;
}

// Converts `src` (n bytes) to UTF-16 into dest; -1 when more than `max` units are needed.
int toUnits(int codePage, const char* src, std::size_t n, wchar_t* dest, int max) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(src);
  int out = 0;
  auto put = [&](unsigned unit) {
    if (out >= max) return false;
    dest[out++] = static_cast<wchar_t>(unit);
    return true;
  };
  for (std::size_t i = 0; i < n;) {
    unsigned cp;
    if (codePage == CODEPAGE_UTF8) {
      i += static_cast<std::size_t>(decodeUtf8(s + i, n - i, cp));
    } else if (is1252(codePage)) {
      cp = s[i] >= 0x80 && s[i] < 0xA0 ? cp1252High[s[i] - 0x80] : s[i];
      ++i;
    } else {
      return -1;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      if (!put(0xD800 | (cp >> 10)) || !put(0xDC00 | (cp & 0x3FF))) return -1;
    } else if (!put(cp)) {
      return -1;
    }
  }
  return out;
}

int fromUnits(int codePage, const wchar_t* src, char* dest, int max) {
  int out = 0;
  auto put = [&](unsigned char b) {
    if (out >= max) return false;
    dest[out++] = static_cast<char>(b);
    return true;
  };
  for (std::size_t i = 0; src[i]; ++i) {
    unsigned u = static_cast<unsigned>(src[i]) & 0xFFFFu;
    unsigned cp = u;
    if (u >= 0xD800 && u <= 0xDBFF && (static_cast<unsigned>(src[i + 1]) & 0xFC00u) == 0xDC00u) {
      cp = 0x10000 + ((u - 0xD800) << 10) + ((static_cast<unsigned>(src[i + 1]) & 0xFFFFu) - 0xDC00);
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (codePage == CODEPAGE_UTF8) {
      unsigned char b[4];
      int len;
      if (cp < 0x80) b[0] = static_cast<unsigned char>(cp), len = 1;
      else if (cp < 0x800) b[0] = static_cast<unsigned char>(0xC0 | cp >> 6), b[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F)), len = 2;
      else if (cp < 0x10000) b[0] = static_cast<unsigned char>(0xE0 | cp >> 12), b[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F)), b[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F)), len = 3;
      else b[0] = static_cast<unsigned char>(0xF0 | cp >> 18), b[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F)), b[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F)), b[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F)), len = 4;
      for (int k = 0; k < len; ++k)
        if (!put(b[k])) return -1;
    } else if (is1252(codePage)) {
      unsigned char b = '?';
      if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
        b = static_cast<unsigned char>(cp);
      } else {
        for (int k = 0; k < 32; ++k)
          if (cp1252High[k] == cp) b = static_cast<unsigned char>(0x80 + k);
      }
      if (!put(b)) return -1;
    } else {
      return -1;
    }
  }
  return out;
}

}  // namespace

void CodePageToUnicode(int codePage, const char* src, wchar_t* dest, int dest_max) {
  if (!dest) return;
  dest[0] = 0;
  if (!src || !*src || dest_max < 1) return;
  int n = toUnits(codePage, src, std::strlen(src), dest, dest_max);
  dest[n > 0 ? n : 0] = 0;
}

void UnicodeToCodePage(int codePage, const wchar_t* src, char* dest, int dest_max) {
  if (!dest) return;
  dest[0] = '\0';
  if (!src || !*src || dest_max < 1) return;
  int n = fromUnits(codePage, src, dest, dest_max);
  dest[n > 0 ? n : 0] = '\0';
}

bool Unicode8ToUnicode16(const char* in_Src, wchar_t* out_Dst, int in_MaxLen) {
  if (in_MaxLen < 1 || !out_Dst) return false;
  out_Dst[0] = 0;
  if (!in_Src) return true;
  // The terminator is part of the conversion: it must fit in in_MaxLen too.
  int n = toUnits(CODEPAGE_UTF8, in_Src, std::strlen(in_Src) + 1, out_Dst, in_MaxLen);
  if (n <= 0 || out_Dst[n - 1] != 0) out_Dst[0] = 0;
  return true;
}
