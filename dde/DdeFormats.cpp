#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "dde/DDEInterface.h"
#include "dde/Stock.h"
#include "feed/StdFID.h"
#include "feed/TradeCodes.h"

namespace {

// Only strings whose size fits the record's one-byte size field (count byte,
// characters and the trailing zero) can be sent.
const std::size_t MAX_XLTABLE_STRING = 253;

void put16(std::string& out, unsigned v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>((v >> 8) & 0xFF);
}

std::string tableHeader() {
  std::string out;
  put16(out, 0x0010);
  put16(out, 4);
  put16(out, 1);
  put16(out, 1);
  return out;
}

int fidTypeOf(int fid) { return fid >= 0 && fid < NUM_FID_TYPES ? fidType[fid] : 0; }

// The decimal text as a 32-bit pattern, so flag words keep their high bit.
int codeValue(const char* text) {
  long long v = std::strtoll(text, nullptr, 10);
  return static_cast<int>(static_cast<unsigned>(static_cast<unsigned long long>(v) & 0xFFFFFFFFull));
}

HDDEDATA handleOf(const std::string& bytes, int fid, UINT format) {
  HSZ item = fid >= 0 && fid < NUM_FID_ITEMS ? fidItems[fid] : nullptr;
  return DdeCreateDataHandle(ddeInstance, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size()), 0, item, format, 0);
}

}  // namespace

bool isXlTable(UINT format) { return xltableFmt != 0 && (format & 0xFFFFu) == (xltableFmt & 0xFFFFu); }

bool isServedFormat(UINT format) { return (format & 0xFFFFu) == CF_TEXT || isXlTable(format); }

std::string timeOfDay(const char* text) {
  errno = 0;
  long long seconds = std::strtoll(text ? text : "", nullptr, 10);
  std::time_t when = static_cast<std::time_t>(seconds);
  if (errno == ERANGE || static_cast<long long>(when) != seconds) return std::string();
  const std::tm* local = std::localtime(&when);
  char buffer[128];
  if (!local || std::strftime(buffer, sizeof buffer, "%H:%M:%S", local) == 0) return std::string();
  return buffer;
}

std::string xltableStringBytes(const char* text) {
  std::size_t l = text ? std::strlen(text) : 0;
  if (l > MAX_XLTABLE_STRING) l = MAX_XLTABLE_STRING;
  std::string out = tableHeader();
  put16(out, 0x0002);
  out += static_cast<char>(l + 2);
  out += '\0';
  out += static_cast<char>(l);
  out.append(text ? text : "", l);
  out += '\0';
  return out;
}

std::string xltableFloatBytes(const char* text) {
  double value = 0.0;
  if (text && *text && std::sscanf(text, "%lf", &value) != 1) value = 0.0;
  unsigned char raw[8];
  std::memcpy(raw, &value, sizeof raw);  // IEEE 754, little-endian on every target we build for
  std::string out = tableHeader();
  put16(out, 0x0001);
  put16(out, 8);
  out.append(reinterpret_cast<const char*>(raw), sizeof raw);
  return out;
}

std::string renderXlTable(const Stock* stock, const char* text, int fid) {
  if (!text) text = "";
  switch (fidTypeOf(fid)) {
    case 2:
      return xltableStringBytes(*text ? timeOfDay(text).c_str() : "00:00:00");
    case 3:
      return xltableStringBytes(*text ? text : "0");
    case 4:
      return xltableStringBytes(stock && stock->market ? tradeCodeFlags(stock->market->getID(), 3, codeValue(text)).c_str() : "");
    case 5:
      return xltableStringBytes(stock && stock->market ? tradeCodeFlags(stock->market->getID(), 1, codeValue(text)).c_str() : "");
    case 6:
      return xltableStringBytes(stock && stock->market ? tradeCodeString(stock->market->getID(), 0, codeValue(text)).c_str() : "");
    default:
      return xltableFloatBytes(text);
  }
}

std::string renderText(const Stock*, const char* text, int fid) {
  if (!text) text = "";
  std::string out = fidTypeOf(fid) == 2 ? timeOfDay(text) : std::string(text);
  out += '\0';
  return out;
}

HDDEDATA getHandle(Stock* stock, const char* text, UINT format, int fid) {
  // The handle carries the format as the client asked for it (sign extension included).
  if (isXlTable(format)) return handleOf(renderXlTable(stock, text, fid), fid, format);
  return handleOf(renderText(stock, text, fid), fid, CF_TEXT);
}

HDDEDATA xltableString(int fid, const char* text) { return handleOf(xltableStringBytes(text), fid, xltableFmt); }

HDDEDATA xltableFloat(int fid, const char* text) { return handleOf(xltableFloatBytes(text), fid, xltableFmt); }
