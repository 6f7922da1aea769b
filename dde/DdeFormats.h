#pragma once
// The two forms of a value handed to clients: CF_TEXT, the stored text (times
// as a time of day), and XlTable, a one-cell table of a number or a string
// with coded fields spelled out as words. A value too long to reach a client
// whole is answered "ERROR" instead.

#include <string>

#include "platform/ddeml.h"

class Stock;

// True for CF_TEXT and XlTable. Registered formats may arrive sign-extended
// from a 16-bit field, so only the low 16 bits are compared.
bool isServedFormat(UINT format);
bool isXlTable(UINT format);

// The bytes of a value as handed to clients (and the data handles made of them).
std::string renderText(const Stock* stock, const char* text, int fid);
std::string renderXlTable(const Stock* stock, const char* text, int fid);
std::string xltableStringBytes(const char* text);
// A number cell, or the text itself as a string cell when the text reads as
// no finite decimal number ("nan", "inf", "1e400", "0x10").
std::string xltableFloatBytes(const char* text);
// Local "%H:%M:%S" of decimal seconds since 1970; empty when it cannot be shown.
std::string timeOfDay(const char* text);

// The bytes of `text` as a client of `format` receives them; false when the
// client gets "ERROR" instead because the value cannot reach it whole. A
// number obeys the one rule in both formats: its value, or "ERROR" past the
// transport's limit, and in a table also when it is no decimal number (a
// string cell) longer than a cell holds: only descriptive texts are cut.
bool renderValue(const Stock* stock, const char* text, UINT format, int fid, std::string& bytes);
// Whether a client of `format` receives the same for `a` as for `b`.
bool sameRendering(const Stock* stock, const char* a, const char* b, UINT format, int fid);

HDDEDATA getHandle(Stock* stock, const char* text, UINT format, int fid);
HDDEDATA xltableString(int fid, const char* text);
HDDEDATA xltableFloat(int fid, const char* text);
