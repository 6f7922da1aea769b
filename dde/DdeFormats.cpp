#include "dde/DdeFormats.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "dde/DDEInterface.h"
#include "dde/DdeRequests.h"
#include "dde/Stock.h"
#include "feed/StdFID.h"
#include "feed/TradeCodes.h"
#include "support/Log.h"

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

int fidTypeOf(int fid) { return fid >= 0 && fid < NUM_FIDS ? fidType[fid] : FID_TYPE_NUMBER; }

// How each coded type is spelled out in a table: the trade-code kind, and
// whether the value is a set of flag bits or one code.
struct CodedType {
  int type;
  int kind;
  bool flags;
};
const CodedType CODED_TYPES[] = {
    {FID_TYPE_FLAGS, TRADE_CODE_INSTRUMENT_FLAGS, true},
    {FID_TYPE_TRADE_FLAGS, TRADE_CODE_TRADE_FLAGS, true},
    {FID_TYPE_TRADE_TYPE, TRADE_CODE_TRADE_TYPE, false},
};

const CodedType* codedType(int type) {
  for (const CodedType& coded : CODED_TYPES)
    if (coded.type == type) return &coded;
  return nullptr;
}

// What sscanf reads as a number but the feed cannot have meant as a decimal
// price: a hexadecimal float, or a NaN or infinity (overflow included).
bool isNonDecimalNumber(const char* text, double value) {
  if (!std::isfinite(value)) return true;
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  if (*p == '+' || *p == '-') ++p;
  return p[0] == '0' && (p[1] == 'x' || p[1] == 'X');
}

// The decimal text as a 32-bit pattern, so flag words keep their high bit.
int codeValue(const char* text) {
  long long v = std::strtoll(text, nullptr, 10);
  return static_cast<int>(static_cast<unsigned>(static_cast<unsigned long long>(v) & 0xFFFFFFFFull));
}

// A value that cannot reach the client whole is "ERROR", never a cut value
// and never silence, so request and advise loop say the same.
HDDEDATA handleOf(const char* bytes, std::size_t size, int fid, UINT format) {
  HSZ item = fid >= 0 && fid < NUM_FIDS ? fidItems[fid] : nullptr;
  if (size > DDE_MAX_VALUE_BYTES) {
    // Said once per field and window, not once per loop and update.
    LOG_WRN_CAPPED_BY(std::to_string(fid), "value of " << size << " bytes for field " << fid
                                                      << " exceeds the largest a client can take ("
                                                      << DDE_MAX_VALUE_BYTES << "); sending ERROR");
    return errorData(item);
  }
  HDDEDATA data =
      DdeCreateDataHandle(ddeInstance, reinterpret_cast<const BYTE*>(bytes), static_cast<DWORD>(size), 0, item, format, 0);
  return data ? data : errorData(item);
}

HDDEDATA handleOf(const std::string& bytes, int fid, UINT format) {
  return handleOf(bytes.data(), bytes.size(), fid, format);
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
  if (text && isNonDecimalNumber(text, value)) return xltableStringBytes(text);
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
  int type = fidTypeOf(fid);
  if (type == FID_TYPE_TIME) return xltableStringBytes(*text ? timeOfDay(text).c_str() : "00:00:00");
  if (type == FID_TYPE_TEXT) return xltableStringBytes(*text ? text : "0");
  if (const CodedType* coded = codedType(type)) {
    if (!stock || !stock->market) return xltableStringBytes("");
    int market = stock->market->getID();
    return xltableStringBytes(coded->flags ? tradeCodeFlags(market, coded->kind, codeValue(text)).c_str()
                                           : tradeCodeString(market, coded->kind, codeValue(text)).c_str());
  }
  return xltableFloatBytes(text);
}

std::string renderText(const Stock*, const char* text, int fid) {
  if (!text) text = "";
  std::string out = fidTypeOf(fid) == FID_TYPE_TIME ? timeOfDay(text) : std::string(text);
  out += '\0';
  return out;
}

bool renderValue(const Stock* stock, const char* text, UINT format, int fid, std::string& bytes) {
  if (!text) text = "";
  if (!isXlTable(format)) {
    bytes = renderText(stock, text, fid);
    return true;
  }
  int type = fidTypeOf(fid);
  if (type != FID_TYPE_TIME && type != FID_TYPE_TEXT && !codedType(type)) {
    std::size_t length = std::strlen(text);
    // As text this value would be past the transport's limit.
    if (length + 1 > DDE_MAX_VALUE_BYTES) return false;
    if (length > MAX_XLTABLE_STRING) {
      double value = 0.0;
      if (std::sscanf(text, "%lf", &value) == 1 && isNonDecimalNumber(text, value)) return false;
    }
  }
  bytes = renderXlTable(stock, text, fid);
  return true;
}

bool sameRendering(const Stock* stock, const char* a, const char* b, UINT format, int fid) {
  if (!a) a = "";
  if (!b) b = "";
  if (!isXlTable(format) && fidTypeOf(fid) != FID_TYPE_TIME) {
    // The text itself, or "ERROR" for both past the limit.
    std::size_t la = std::strlen(a), lb = std::strlen(b);
    if (la + 1 > DDE_MAX_VALUE_BYTES && lb + 1 > DDE_MAX_VALUE_BYTES) return true;
    return la == lb && std::memcmp(a, b, la) == 0;
  }
  std::string ra, rb;
  bool va = renderValue(stock, a, format, fid, ra) && ra.size() <= DDE_MAX_VALUE_BYTES;
  bool vb = renderValue(stock, b, format, fid, rb) && rb.size() <= DDE_MAX_VALUE_BYTES;
  return va == vb && (!va || ra == rb);
}

HDDEDATA getHandle(Stock* stock, const char* text, UINT format, int fid) {
  // Most values are the stored text as it stands: no copy of it first.
  if (!isXlTable(format) && fidTypeOf(fid) != FID_TYPE_TIME) {
    if (!text) text = "";
    return handleOf(text, std::strlen(text) + 1, fid, CF_TEXT);
  }
  std::string bytes;
  if (!renderValue(stock, text, format, fid, bytes))
    return errorData(fid >= 0 && fid < NUM_FIDS ? fidItems[fid] : nullptr);
  // The handle carries the format as the client asked for it (sign extension included).
  return handleOf(bytes, fid, isXlTable(format) ? format : CF_TEXT);
}

HDDEDATA xltableString(int fid, const char* text) { return handleOf(xltableStringBytes(text), fid, xltableFmt); }

HDDEDATA xltableFloat(int fid, const char* text) { return handleOf(xltableFloatBytes(text), fid, xltableFmt); }
