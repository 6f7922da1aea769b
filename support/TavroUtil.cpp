#include "support/TavroUtil.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <random>

void TavroUtil::StrToUpper(char* str) {
  if (!str) return;
  for (; *str; ++str) *str = static_cast<char>(std::toupper(static_cast<unsigned char>(*str)));
}

int TavroUtil::randInt(int maxVal) {
  if (maxVal < 1) return 0;
  int value = static_cast<int>(std::rand() / 32768.0 * maxVal);
  // RAND_MAX is above 32767 on some runtimes; keep the result in range there too.
  return value < maxVal ? value : value % maxVal;
}

void TavroUtil::seedRand() {
  // A per-process value from the runtime stands in for the process id, which
  // would need the platform layer that sits above this library.
  std::srand(static_cast<unsigned>(std::time(nullptr)) + std::random_device{}());
}

int TavroUtil::StrCountChar(const char* str, char c) {
  int count = 0;
  if (str)
    for (; *str; ++str)
      if (*str == c) ++count;
  return count;
}

void TavroUtil::Strcpy(char* dest, const char* src, int max) {
  if (!dest || max < 1) return;
  if (!src) {
    dest[0] = '\0';
    return;
  }
  int i = 0;
  for (; i < max - 1 && src[i]; ++i) dest[i] = src[i];
  dest[i] = '\0';
}

char* TavroUtil::newString(const char* s) {
  if (!s) return nullptr;
  std::size_t n = std::strlen(s);
  char* copy = new char[n + 1];
  std::memcpy(copy, s, n + 1);
  return copy;
}

void TavroUtil::strRepAll(char* str, char match, char rep) {
  if (!str) return;
  for (; *str; ++str)
    if (*str == match) *str = rep;
}

void TavroUtil::strRepAll(std::string& str, char match, char rep) {
  for (char& c : str)
    if (c == match) c = rep;
}

void TavroUtil::makePrintable(std::string& str) {
  for (char& c : str)
    if (!std::isprint(static_cast<unsigned char>(c))) c = '*';
}
