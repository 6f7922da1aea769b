#pragma once
// The table between field names (the DDE items) and field identifiers, and
// the value type of every identifier, which decides how a value is shown.
// Filled once at start-up by InitializeFIDs and only read afterwards.
//
// Type codes: 0 number, 1 count or quantity, 2 time (seconds since the
// epoch), 3 text, 4 instrument flag bits, 5 trade flag bits, 6 trade type.

#include <map>
#include <string>

const int NUM_FID_TYPES = 226;

// Exact, case-sensitive names to FIDs 1 to 79.
extern std::map<std::string, int> fidMap;
// Indexed by FID 0 to 225; FIDs without a name are type 0.
extern int fidType[NUM_FID_TYPES];

void InitializeFIDs();
// 0 for a name that is not in the table.
int GetFID(const char* name);
