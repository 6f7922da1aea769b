#include "support/Log.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>

namespace {

int debug_level = 2;
const char* const level_string[6] = {nullptr, "ERR", "WRN", "INF", "DBG", nullptr};
std::ostream* log_stream[6] = {nullptr, &std::cout, &std::cout, &std::cout, &std::cout, nullptr};
std::time_t (*log_clock)() = nullptr;

}  // namespace

std::ostream& log(int level, const char* file, const char* function, int line) {
  if (level < 1 || level > 4) level = 1;  // callers never do this; stay in bounds anyway

  std::time_t now = log_clock ? log_clock() : std::time(nullptr);
  char stamp[256];
  stamp[0] = '\0';
  // Single-threaded, so the shared result of localtime is safe here.
  if (const std::tm* local = std::localtime(&now)) std::strftime(stamp, sizeof stamp, "%d/%m/%Y %H:%M:%S.", local);

  std::ostringstream location;
  location << file << ":" << line << ":" << function << " ";

  std::ostream& os = *log_stream[level];
  char fill = os.fill();
  os << stamp;
  os.setf(std::ios::left, std::ios::adjustfield);
  os.width(50);
  os.fill('-');
  os << location.str() << " | " << level_string[level] << " - ";
  os.fill(fill);
  std::fflush(stdout);
  return os;
}

void setLogLevel(int level) {
  if (level >= 0 && level <= 5) debug_level = level;
}

int getLogLevel() { return debug_level; }

void setDebugStream(std::ostream* stream) { log_stream[4] = stream ? stream : &std::cout; }

void setLogStreams(std::ostream* stream) {
  for (int i = 1; i <= 4; ++i) log_stream[i] = stream ? stream : &std::cout;
}

void setLogClock(std::time_t (*clock)()) { log_clock = clock; }

const char* logSourceName(const char* path, char* out, std::size_t outSize) {
  const char* base = path;
  for (const char* p = path; *p; ++p)
    if (*p == '/' || *p == '\\') base = p + 1;
  const char* dot = std::strrchr(base, '.');
  std::size_t n = dot ? static_cast<std::size_t>(dot - base) : std::strlen(base);
  if (n >= outSize) n = outSize - 1;
  std::memcpy(out, base, n);
  out[n] = '\0';
  return out;
}
