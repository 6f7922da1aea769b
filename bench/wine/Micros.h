#pragma once
// The wall clock in microseconds since 1970, the unit of the feed's TIME
// stamps, for the Wine benchmark's programs.

#include <windows.h>

inline long long nowMicros() {
  FILETIME ft;
  GetSystemTimePreciseAsFileTime(&ft);
  ULARGE_INTEGER t;
  t.LowPart = ft.dwLowDateTime;
  t.HighPart = ft.dwHighDateTime;
  // 100 ns steps since 1601 to microseconds since 1970.
  return static_cast<long long>((t.QuadPart - 116444736000000000ULL) / 10);
}
