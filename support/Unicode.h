#pragma once
// Code-page conversions into caller buffers: UTF-8 (65001) and Windows-1252
// (1252, also CP_WINANSI 1004 and 0) to UTF-16 units and back. A conversion
// that does not fit is a failure and leaves the destination empty, as the
// Windows calls these mirror do. Invalid UTF-8 becomes U+FFFD; a character
// that 1252 cannot show becomes "?".

const int CODEPAGE_UTF8 = 65001;
const int CODEPAGE_1252 = 1252;

// Writes at most dest_max units and a 0 unit; dest must hold dest_max + 1.
void CodePageToUnicode(int codePage, const char* src, wchar_t* dest, int dest_max);
// Writes at most dest_max bytes and a NUL; dest must hold dest_max + 1.
void UnicodeToCodePage(int codePage, const wchar_t* src, char* dest, int dest_max);
// NUL-terminated UTF-8 to UTF-16, terminator included, at most in_MaxLen units.
bool Unicode8ToUnicode16(const char* in_Src, wchar_t* out_Dst, int in_MaxLen);
