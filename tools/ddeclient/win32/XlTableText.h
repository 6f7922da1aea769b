#pragma once
// Turning what a DDE server sends (CF_TEXT, or the spreadsheet's XlTable
// format) into one printable line, as the POSIX ddeclient prints it. The
// bytes come from another process: every record length is checked against
// what is left, and a table that does not add up is reported, not guessed at.
//
// XlTable: records of u16 type, u16 size, `size` bytes. The first is the
// table record (0x10, size 4: u16 rows, u16 columns); value records fill the
// cells row by row: floats (0x01, 8 bytes each), strings (0x02, a count byte
// and that many characters each), booleans (0x03), errors (0x04) and
// integers (0x06), 2 bytes each, and blank (0x05) and skip (0x07) runs, a u16
// cell count each.

#include <string>

// False, with the reason in `error`, for input that is not a whole table;
// otherwise the cells, apart by tabs within a row and by "; " between rows.
bool decodeXlTable(const std::string& bytes, std::string& text, std::string& error);

// The shortest text that reads back as the same double ("12.5", "0.1").
std::string formatNumber(double v);
// Characters a terminal would act on are shown as '?'.
std::string printable(const std::string& text);

// One line for a value: CF_TEXT up to its NUL, an XlTable decoded (or
// "#BAD XlTable: ..."), anything else by its size.
std::string formatValue(unsigned format, unsigned xltableFormat, const std::string& data);
