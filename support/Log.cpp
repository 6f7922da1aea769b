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
// Every live LogLimit, so that they can be flushed or reset together.
LogLimit* limits = nullptr;

std::time_t logNow() { return log_clock ? log_clock() : std::time(nullptr); }

}  // namespace

std::ostream& log(int level, const char* file, const char* function, int line) {
  if (level < 1 || level > 4) level = 1;  // callers never do this; stay in bounds anyway

  std::time_t now = logNow();
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
  for (LogLimit* l = limits; l; l = l->m_next) l->reset();
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

LogLimit::LogLimit(unsigned lines, int windowSeconds)
    : m_lines(lines),
      m_window(windowSeconds),
      m_written(0),
      m_held(0),
      m_windowStart(0),
      m_started(false),
      m_level(1),
      m_file(""),
      m_function(""),
      m_line(0),
      m_prev(nullptr),
      m_next(limits) {
  if (limits) limits->m_prev = this;
  limits = this;
}

LogLimit::~LogLimit() {
  // No summary here: a static limit dies after the streams it would write to.
  if (m_prev)
    m_prev->m_next = m_next;
  else
    limits = m_next;
  if (m_next) m_next->m_prev = m_prev;
}

bool LogLimit::windowOver(std::time_t now) const {
  // A clock that went back also ends the window.
  return m_started && (now < m_windowStart || now - m_windowStart >= m_window);
}

bool LogLimit::allow(int level, const char* file, const char* function, int line) {
  return admit(level, file, function, line, false);
}

bool LogLimit::allow(int level, const char* file, const char* function, int line, const std::string& key) {
  if (windowOver(logNow())) flush();
  // FNV-1a: a collision only makes a key wait its turn like a repeat.
  std::uint64_t h = 14695981039346656037ull;
  for (unsigned char c : key) h = (h ^ c) * 1099511628211ull;
  bool fresh = m_keys.size() < LOG_LIMIT_KEYS && m_keys.insert(h).second;
  return admit(level, file, function, line, fresh);
}

bool LogLimit::admit(int level, const char* file, const char* function, int line, bool newKey) {
  std::time_t now = logNow();
  if (windowOver(now)) flush();
  if (!m_started) {
    m_started = true;
    m_windowStart = now;
  }
  if (m_written < m_lines || newKey) {
    ++m_written;
    return true;
  }
  ++m_held;
  m_level = level;
  m_file = file;
  m_function = function;
  m_line = line;
  return false;
}

void LogLimit::flush() {
  if (m_held > 0 && getLogLevel() >= m_level) {
    char source[64];
    std::ostream& os = log(m_level, logSourceName(m_file, source, sizeof source), m_function, m_line);
    os << "... " << m_held << " more like this\n";
    os.flush();
  }
  reset();
}

void LogLimit::expire() {
  if (windowOver(logNow())) flush();
}

void LogLimit::reset() {
  m_written = 0;
  m_held = 0;
  m_started = false;
  m_keys.clear();
}

void flushLogLimits() {
  for (LogLimit* l = limits; l; l = l->m_next) l->flush();
}

void expireLogLimits() {
  for (LogLimit* l = limits; l; l = l->m_next) l->expire();
}
