#include "tools/ddeclient/win32/XlTableText.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const std::uint16_t TDT_FLOAT = 0x01;
const std::uint16_t TDT_STRING = 0x02;
const std::uint16_t TDT_BOOL = 0x03;
const std::uint16_t TDT_ERROR = 0x04;
const std::uint16_t TDT_BLANK = 0x05;
const std::uint16_t TDT_INT = 0x06;
const std::uint16_t TDT_SKIP = 0x07;
const std::uint16_t TDT_TABLE = 0x10;
// More cells than one DDE message could carry values for.
const std::size_t MAX_CELLS = 65536;

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

bool allZero(const std::string& b, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; ++i)
    if (b[i] != '\0') return false;
  return true;
}

}  // namespace

bool decodeXlTable(const std::string& b, std::string& text, std::string& error) {
  text.clear();
  if (b.size() < 8 || u16At(b, 0) != TDT_TABLE || u16At(b, 2) != 4) {
    error = "no table record";
    return false;
  }
  std::size_t columns = u16At(b, 6);
  std::size_t total = static_cast<std::size_t>(u16At(b, 4)) * columns;
  if (total == 0 || total > MAX_CELLS) {
    error = "table of " + std::to_string(u16At(b, 4)) + "x" + std::to_string(columns) + " cells";
    return false;
  }
  std::size_t cells = 0;
  auto add = [&](const std::string& cell) {
    if (cells > 0) text += cells % columns ? "\t" : "; ";
    text += cell;
    ++cells;
  };
  auto room = [&](std::size_t n) {
    if (cells + n <= total) return true;
    error = "more values than the table's " + std::to_string(total) + " cells";
    return false;
  };
  std::size_t pos = 8;
  // Global memory may be larger than the table in it: a full table ends the data.
  while (pos < b.size() && cells < total) {
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
      case TDT_FLOAT:
        if (size % 8) {
          error = "float record of " + std::to_string(size) + " bytes";
          return false;
        }
        for (; pos < end; pos += 8) {
          if (!room(1)) return false;
          add(formatNumber(doubleAt(b, pos)));
        }
        break;
      case TDT_STRING:
        while (pos < end) {
          // Some servers count a terminating zero byte into a table's last string.
          if (cells == total && allZero(b, pos, end)) {
            pos = end;
            break;
          }
          std::size_t n = static_cast<unsigned char>(b[pos]);
          if (n > end - pos - 1) {
            error = "string of " + std::to_string(n) + " bytes runs past its record";
            return false;
          }
          if (!room(1)) return false;
          add(printable(b.substr(pos + 1, n)));
          pos += 1 + n;
        }
        break;
      case TDT_BOOL:
      case TDT_ERROR:
      case TDT_INT:
        if (size % 2) {
          error = "record of type " + std::to_string(type) + " with odd size " + std::to_string(size);
          return false;
        }
        for (; pos < end; pos += 2) {
          if (!room(1)) return false;
          std::uint16_t v = u16At(b, pos);
          if (type == TDT_BOOL)
            add(v ? "TRUE" : "FALSE");
          else if (type == TDT_ERROR)
            add(errorName(v));
          else
            add(std::to_string(static_cast<std::int16_t>(v)));
        }
        break;
      case TDT_BLANK:
      case TDT_SKIP: {
        if (size != 2) {
          error = "run record of " + std::to_string(size) + " bytes";
          return false;
        }
        std::size_t n = u16At(b, pos);
        if (!room(n)) return false;
        for (std::size_t i = 0; i < n; ++i) add(std::string());
        pos = end;
        break;
      }
      case TDT_TABLE:
        error = "second table record at offset " + std::to_string(pos - 4);
        return false;
      default:
        error = "unknown record type " + std::to_string(type) + " at offset " + std::to_string(pos - 4);
        return false;
    }
  }
  if (cells != total) {
    error = "values for " + std::to_string(cells) + " of " + std::to_string(total) + " cells";
    return false;
  }
  return true;
}

std::string formatNumber(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  char buf[40];
  for (int precision = 1; precision <= 17; ++precision) {
    std::snprintf(buf, sizeof buf, "%.*g", precision, v);
    if (std::strtod(buf, nullptr) == v) break;
  }
  return buf;
}

std::string printable(const std::string& text) {
  std::string s(text);
  for (char& c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    if ((u < 0x20 && u != '\t') || u == 0x7F) c = '?';
  }
  return s;
}

std::string formatValue(unsigned format, unsigned xltableFormat, const std::string& data) {
  if ((format & 0xFFFF) == (xltableFormat & 0xFFFF)) {
    std::string text, error;
    if (!decodeXlTable(data, text, error)) return "#BAD XlTable: " + error;
    return text;
  }
  if ((format & 0xFFFF) == 1) {  // CF_TEXT
    std::string text = data.substr(0, data.find('\0'));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return printable(text);
  }
  return "<" + std::to_string(data.size()) + " bytes in format " + std::to_string(format & 0xFFFF) + ">";
}
