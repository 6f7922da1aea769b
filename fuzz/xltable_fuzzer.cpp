// The spreadsheet's XlTable format both ways: bytes a server sent, decoded by
// the client tool and printed; and field text from the feed rendered by the
// server for every field type, which the decoder must take back whole, the
// text of a string cell and the bits of a number unchanged.
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>

#include "dde/DDEInterface.h"
#include "dde/DdeFormats.h"
#include "dde/Stock.h"
#include "feed/Market.h"
#include "feed/StdFID.h"
#include "feed/TradeCodes.h"
#include "support/Log.h"
#include "tools/ddeclient/XlTable.h"

namespace {

// Tabs part the cells of a row; nothing else a terminal acts on.
bool printableLine(const std::string& s) {
  for (char c : s)
    if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F) return false;
  return true;
}

void decodeOrDie(const std::string& bytes, XlTable& table) {
  std::string error;
  if (!decodeXlTable(bytes, table, error) || table.rows != 1 || table.columns != 1 || table.cells.size() != 1)
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::ostream discard(nullptr);
  static Stock* stock = [] {
    setLogStreams(&discard);
    setLogLevel(0);
    InitializeFIDs();
    initTradeCodes();
    addMarket("LSE", "LSE", 'R', 0);
    Stock* s = new Stock();
    s->market = marketMap["LSE"];
    return s;
  }();
  if (size > 1u << 16) return 0;
  std::string bytes(reinterpret_cast<const char*>(data), size);

  XlTable table;
  std::string error;
  if (decodeXlTable(bytes, table, error)) {
    if (table.cells.size() != static_cast<std::size_t>(table.rows) * table.columns) std::abort();
    if (table.cells.size() > XLTABLE_MAX_CELLS) std::abort();
  } else if (error.empty()) {
    std::abort();
  }
  if (!printableLine(formatValue(ValueFormat::XlTable, bytes))) std::abort();
  if (!printableLine(formatValue(ValueFormat::Text, bytes))) std::abort();

  const char* text = bytes.c_str();  // field text is a C string
  std::size_t length = std::strlen(text);
  XlTable cell;
  decodeOrDie(xltableStringBytes(text), cell);
  if (cell.cells[0].type != XlCell::String || cell.cells[0].text != std::string(text, length < 253 ? length : 253))
    std::abort();

  decodeOrDie(xltableFloatBytes(text), cell);
  double expected = 0.0;
  if (*text && std::sscanf(text, "%lf", &expected) != 1) expected = 0.0;
  // A hexadecimal float, NaN or infinity is no price the feed meant: it goes as its text.
  const char* digits = text;
  while (std::isspace(static_cast<unsigned char>(*digits))) ++digits;
  if (*digits == '+' || *digits == '-') ++digits;
  bool asText = !std::isfinite(expected) || (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'));
  if (asText) {
    if (cell.cells[0].type != XlCell::String || cell.cells[0].text != std::string(text, length < 253 ? length : 253))
      std::abort();
  } else if (cell.cells[0].type != XlCell::Float ||
             std::memcmp(&cell.cells[0].number, &expected, sizeof expected) != 0) {
    std::abort();
  }

  // Every field type, the trade-code tables included.
  for (int fid = 0; fid < NUM_FIDS; ++fid) {
    decodeOrDie(renderXlTable(stock, text, fid), cell);
    std::string plain = renderText(stock, text, fid);
    if (plain.empty() || plain.back() != '\0') std::abort();
  }
  return 0;
}
