#pragma once
// Small string and random-number helpers shared by the other layers. No state.

#include <string>

class TavroUtil {
 public:
  static void StrToUpper(char* str);
  // 0 .. maxVal-1 from the runtime library's generator; 0 when maxVal < 1.
  static int randInt(int maxVal);
  static void seedRand();
  static int StrCountChar(const char* str, char c);
  // Copies at most max-1 characters and a NUL; a null dest does nothing.
  static void Strcpy(char* dest, const char* src, int max);
  static char* newString(const char* s);
  static void strRepAll(char* str, char match, char rep);
  static void strRepAll(std::string& str, char match, char rep);
  static void makePrintable(std::string& str);
};
