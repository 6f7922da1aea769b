#include "tools/ddeclient/XlTable.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::uint16_t u16At(const std::string& b, std::size_t pos) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(b[pos]) |
                                    (static_cast<unsigned char>(b[pos + 1]) << 8));
}

double doubleAt(const std::string& b, std::size_t pos) {
  std::uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = (bits << 8) | static_cast<unsigned char>(b[pos + static_cast<std::size_t>(i)]);
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

const char* errorName(int code) {
  switch (code) {
    case 0: return "#NULL!";
    case 7: return "#DIV/0!";
    case 15: return "#VALUE!";
    case 23: return "#REF!";
    case 29: return "#NAME?";
    case 36: return "#NUM!";
    case 42: return "#N/A";
    default: return "#ERROR";
  }
}

}  // namespace

bool decodeXlTable(const std::string& b, XlTable& out, std::string& error) {
  out = XlTable();
  if (b.size() < 8 || u16At(b, 0) != XLTABLE_TABLE || u16At(b, 2) != 4) {
    error = "no table record";
    return false;
  }
  out.rows = u16At(b, 4);
  out.columns = u16At(b, 6);
  std::size_t total = static_cast<std::size_t>(out.rows) * out.columns;
  if (total == 0 || total > XLTABLE_MAX_CELLS) {
    error = "table of " + std::to_string(out.rows) + "x" + std::to_string(out.columns) + " cells";
    return false;
  }
  out.cells.reserve(total);
  std::size_t pos = 8;
  auto room = [&](std::size_t n) {
    if (out.cells.size() + n <= total) return true;
    error = "more values than the table's " + std::to_string(total) + " cells";
    return false;
  };
  while (pos < b.size()) {
    if (b.size() - pos < 4) {
      error = "truncated record header at offset " + std::to_string(pos);
      return false;
    }
    std::uint16_t type = u16At(b, pos);
    std::size_t size = u16At(b, pos + 2);
    pos += 4;
    if (size > b.size() - pos) {
      error = "record of " + std::to_string(size) + " bytes with " + std::to_string(b.size() - pos) + " left";
      return false;
    }
    std::size_t end = pos + size;
    switch (type) {
      case XLTABLE_FLOAT:
        if (size % 8) {
          error = "float record of " + std::to_string(size) + " bytes";
          return false;
        }
        for (; pos < end; pos += 8) {
          if (!room(1)) return false;
          XlCell c;
          c.type = XlCell::Float;
          c.number = doubleAt(b, pos);
          out.cells.push_back(c);
        }
        break;
      case XLTABLE_STRING: {
        // Some servers end a lone string with a zero byte inside the record.
        // Read plainly that is a second, empty string; where the table has
        // no room for it, it is the terminator.
        std::size_t n0 = size ? static_cast<unsigned char>(b[pos]) : 0;
        bool terminated = size >= 2 && n0 + 2 == size && b[end - 1] == '\0' && total - out.cells.size() < 2;
        while (pos < end) {
          std::size_t n = static_cast<unsigned char>(b[pos]);
          if (n > end - pos - 1) {
            error = "string of " + std::to_string(n) + " bytes runs past its record";
            return false;
          }
          if (!room(1)) return false;
          XlCell c;
          c.type = XlCell::String;
          c.text.assign(b, pos + 1, n);
          out.cells.push_back(c);
          pos += 1 + n;
          if (terminated) pos = end;
        }
        break;
      }
      case XLTABLE_BOOL:
      case XLTABLE_ERROR:
      case XLTABLE_INT:
        if (size % 2) {
          error = "record of type " + std::to_string(type) + " with odd size " + std::to_string(size);
          return false;
        }
        for (; pos < end; pos += 2) {
          if (!room(1)) return false;
          XlCell c;
          std::uint16_t v = u16At(b, pos);
          c.type = type == XLTABLE_BOOL ? XlCell::Bool : type == XLTABLE_ERROR ? XlCell::Error : XlCell::Int;
          c.value = type == XLTABLE_INT ? static_cast<std::int16_t>(v) : v;
          out.cells.push_back(c);
        }
        break;
      case XLTABLE_BLANK:
      case XLTABLE_SKIP: {
        if (size != 2) {
          error = "run record of " + std::to_string(size) + " bytes";
          return false;
        }
        std::size_t n = u16At(b, pos);
        if (!room(n)) return false;
        out.cells.resize(out.cells.size() + n);
        pos = end;
        break;
      }
      case XLTABLE_TABLE:
        error = "second table record at offset " + std::to_string(pos - 4);
        return false;
      default:
        error = "unknown record type " + std::to_string(type) + " at offset " + std::to_string(pos - 4);
        return false;
    }
  }
  if (out.cells.size() != total) {
    error = "values for " + std::to_string(out.cells.size()) + " of " + std::to_string(total) + " cells";
    return false;
  }
  return true;
}

std::string formatNumber(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  char buf[40];
  int precision = 1;
  for (; precision <= 17; ++precision) {
    std::snprintf(buf, sizeof buf, "%.*g", precision, v);
    if (std::strtod(buf, nullptr) == v) break;
  }
  // Whole numbers a spreadsheet shows in full (100, not 1e+02) keep their digits.
  const char* e = std::strchr(buf, 'e');
  int exponent = e ? std::atoi(e + 1) : 0;
  if (e && exponent >= precision && exponent < 17) std::snprintf(buf, sizeof buf, "%.*g", exponent + 1, v);
  return buf;
}

std::string formatCell(const XlCell& cell) {
  switch (cell.type) {
    case XlCell::Float: return formatNumber(cell.number);
    case XlCell::String: return printable(cell.text);
    case XlCell::Bool: return cell.value ? "TRUE" : "FALSE";
    case XlCell::Error: return errorName(cell.value);
    case XlCell::Int: return std::to_string(cell.value);
    case XlCell::Blank: break;
  }
  return std::string();
}

std::string formatTable(const XlTable& table) {
  std::string s;
  for (std::size_t i = 0; i < table.cells.size(); ++i) {
    if (i > 0) s += i % table.columns ? "\t" : "; ";
    s += formatCell(table.cells[i]);
  }
  return s;
}

std::string printable(const std::string& text) {
  std::string s(text);
  for (char& c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    if ((u < 0x20 && u != '\t') || u == 0x7F) c = '?';
  }
  return s;
}

std::string formatValue(ValueFormat format, const std::string& data, const std::string& otherFormat) {
  if (format == ValueFormat::XlTable) {
    XlTable table;
    std::string error;
    if (!decodeXlTable(data, table, error)) return "#BAD XlTable: " + error;
    return formatTable(table);
  }
  if (format == ValueFormat::Text) {
    std::string text = data.substr(0, data.find('\0'));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return printable(text);
  }
  return "<" + std::to_string(data.size()) + " bytes in format " + otherFormat + ">";
}
