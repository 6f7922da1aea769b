#pragma once
// Reading the spreadsheet's XlTable format, and turning any value a DDE
// server sends (text or table) into one printable line. The bytes come from
// another process: every record length is checked against what is left, and
// a table that does not add up is refused, never guessed at.
//
// Layout: records of u16 type, u16 size, `size` bytes. The first is the
// table record (0x10, size 4: u16 rows, u16 columns); value records follow
// and fill the cells row by row: floats (0x01, 8 bytes each), strings (0x02,
// a count byte and that many characters each), booleans (0x03), errors
// (0x04) and integers (0x06), 2 bytes each, and blank (0x05) and skip (0x07)
// runs, a u16 cell count each.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>


const std::uint16_t XLTABLE_TABLE = 0x10;
const std::uint16_t XLTABLE_FLOAT = 0x01;
const std::uint16_t XLTABLE_STRING = 0x02;
const std::uint16_t XLTABLE_BOOL = 0x03;
const std::uint16_t XLTABLE_ERROR = 0x04;
const std::uint16_t XLTABLE_BLANK = 0x05;
const std::uint16_t XLTABLE_INT = 0x06;
const std::uint16_t XLTABLE_SKIP = 0x07;
// More cells than any one DDE message could carry values for.
const std::size_t XLTABLE_MAX_CELLS = 65536;

struct XlCell {
  enum Type { Blank, Float, String, Bool, Error, Int };
  Type type = Blank;
  double number = 0.0;
  std::string text;
  int value = 0;  // Bool, Error, Int
};

struct XlTable {
  unsigned rows = 0;
  unsigned columns = 0;
  std::vector<XlCell> cells;  // row by row
};

// False, with the reason in `error`, for input that is not a whole table.
bool decodeXlTable(const std::string& bytes, XlTable& out, std::string& error);

// The shortest text that reads back as the same double ("12.5", "0.1", "1e+21").
std::string formatNumber(double v);
std::string formatCell(const XlCell& cell);
// Cells of a row apart by tabs, rows by "; ".
std::string formatTable(const XlTable& table);
// Characters a terminal would act on are shown as '?'.
std::string printable(const std::string& text);
// One line for a value: CF_TEXT up to its NUL, an XlTable decoded (or
// "#BAD XlTable: ..."), anything else by its size and `otherFormat`'s name.
enum class ValueFormat { Text, XlTable, Other };
std::string formatValue(ValueFormat format, const std::string& data, const std::string& otherFormat = "");
