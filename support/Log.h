#pragma once
// The diagnostic log: four levels (1 ERR, 2 WRN, 3 INF, 4 DBG), one line per
// statement, each prefixed with a local time stamp and the source location.
// The level is tested at the call site (the LOG_* macros), so a suppressed
// statement never evaluates or formats its message. Single-threaded.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <ostream>
#include <string>
#include <unordered_set>

// The stream of `level` (1 to 4), positioned after the prefix of a new line.
// `file` is the caller's source name without extension or directories.
std::ostream& log(int level, const char* file, const char* function, int line);

// Ignores values outside 0..5; 0 silences everything, 5 lets all through.
void setLogLevel(int level);
int getLogLevel();

// Routes DBG lines elsewhere; the other levels keep their stream.
void setDebugStream(std::ostream* stream);

// Test seams: route every level to one stream (null restores standard
// output), and replace the wall clock behind the time stamp and the
// LogLimit windows (null restores). A new destination also starts every
// LogLimit count afresh, dropping what they held back.
void setLogStreams(std::ostream* stream);
void setLogClock(std::time_t (*clock)());

// "net/QelChannel.cpp" -> "QelChannel", written into `out` (at most outSize-1 chars).
const char* logSourceName(const char* path, char* out, std::size_t outSize);

// A helper shared by several functions can name the one it works for.
#define TAVRO_LOG_AS(level, function, parts)                                      \
  do {                                                                            \
    if (getLogLevel() >= (level)) {                                               \
      char tavro_log_src_[64];                                                    \
      std::ostream& tavro_log_os_ =                                               \
          log((level), logSourceName(__FILE__, tavro_log_src_, sizeof tavro_log_src_), \
              (function), __LINE__);                                              \
      tavro_log_os_ << parts << '\n';                                             \
      tavro_log_os_.flush();                                                      \
    }                                                                             \
  } while (0)

#define TAVRO_LOG(level, parts) TAVRO_LOG_AS(level, __func__, parts)

// Caps the lines that one kind of trouble writes, so that no input, however
// long or however often repeated, turns into more log than about its own
// size. Within a window of LOG_LIMIT_WINDOW seconds the first LOG_LIMIT_LINES
// lines are written as they stand; the rest are counted, and the count is
// written as one line "... N more like this", at the level and location of
// the last line held back, once the window is over: at the next line of the
// same limit, at the periodic expireLogLimits(), or at flush(). A line that
// names a key (a record identifier, say) not yet seen in the window is
// written whatever the count, so that every instrument's first failure is
// named; it counts like any other. The _CAPPED macros keep one limit per
// statement (a static); a parser that handles one input at a time may hold
// its own LogLimit and flush() it at the end of each input, so that the
// summary follows the input at once and the next input starts with a fresh
// count. Single-threaded, like the rest of the log.
const unsigned LOG_LIMIT_LINES = 5;
const int LOG_LIMIT_WINDOW = 10;
// The keys one window remembers; beyond them a new key waits its turn like any line.
const std::size_t LOG_LIMIT_KEYS = 1024;

class LogLimit {
 public:
  explicit LogLimit(unsigned lines = LOG_LIMIT_LINES, int windowSeconds = LOG_LIMIT_WINDOW);
  ~LogLimit();
  LogLimit(const LogLimit&) = delete;
  LogLimit& operator=(const LogLimit&) = delete;

  // True when a line of `level` at this location may be written now; false
  // when it is counted instead. Call only when the level is on.
  bool allow(int level, const char* file, const char* function, int line);
  // The same, and true for the first line of `key` in this window.
  bool allow(int level, const char* file, const char* function, int line, const std::string& key);
  // Writes the summary of what was held back, if anything, and starts a new window.
  void flush();
  // Flushes if the window is over; a window still open keeps counting.
  void expire();
  // Forgets the window and what was held back, writing nothing.
  void reset();
  unsigned heldBack() const { return m_held; }

 private:
  friend void flushLogLimits();
  friend void expireLogLimits();
  friend void setLogStreams(std::ostream* stream);

  bool admit(int level, const char* file, const char* function, int line, bool newKey);
  bool windowOver(std::time_t now) const;

  unsigned m_lines;
  int m_window;
  unsigned m_written;
  unsigned m_held;
  std::time_t m_windowStart;
  bool m_started;
  int m_level;
  const char* m_file;
  const char* m_function;
  int m_line;
  std::unordered_set<std::uint64_t> m_keys;
  LogLimit* m_prev;
  LogLimit* m_next;
};

// Writes the summary of every LogLimit that holds lines back (at exit, or
// at the end of a test).
void flushLogLimits();
// Writes the summaries of the limits whose window is over (a periodic timer),
// so that a storm's count need not wait for its next line.
void expireLogLimits();

// Writes the line when the level is on and `admitted` (evaluated only then) holds.
#define TAVRO_LOG_ADMITTED(level, admitted, parts)                                \
  do {                                                                            \
    if (getLogLevel() >= (level) && (admitted)) {                                 \
      char tavro_log_src_[64];                                                    \
      std::ostream& tavro_log_os_ =                                               \
          log((level), logSourceName(__FILE__, tavro_log_src_, sizeof tavro_log_src_), \
              __func__, __LINE__);                                                \
      tavro_log_os_ << parts << '\n';                                             \
      tavro_log_os_.flush();                                                      \
    }                                                                             \
  } while (0)

#define TAVRO_LOG_LIMITED(limit, level, parts) \
  TAVRO_LOG_ADMITTED(level, (limit).allow((level), __FILE__, __func__, __LINE__), parts)

#define TAVRO_LOG_CAPPED(level, parts)              \
  do {                                              \
    static LogLimit tavro_log_site_limit_;          \
    TAVRO_LOG_LIMITED(tavro_log_site_limit_, level, parts); \
  } while (0)

// One limit per statement, and every key's first line in a window written.
#define TAVRO_LOG_CAPPED_BY(level, key, parts)                                                          \
  do {                                                                                                  \
    static LogLimit tavro_log_site_limit_;                                                              \
    TAVRO_LOG_ADMITTED(level, tavro_log_site_limit_.allow((level), __FILE__, __func__, __LINE__, (key)), \
                       parts);                                                                          \
  } while (0)

#define LOG_ERR(parts) TAVRO_LOG(1, parts)
#define LOG_WRN(parts) TAVRO_LOG(2, parts)
#define LOG_INF(parts) TAVRO_LOG(3, parts)
#define LOG_DBG(parts) TAVRO_LOG(4, parts)

#define LOG_ERR_LIMITED(limit, parts) TAVRO_LOG_LIMITED(limit, 1, parts)
#define LOG_WRN_LIMITED(limit, parts) TAVRO_LOG_LIMITED(limit, 2, parts)
#define LOG_INF_LIMITED(limit, parts) TAVRO_LOG_LIMITED(limit, 3, parts)

#define LOG_ERR_CAPPED(parts) TAVRO_LOG_CAPPED(1, parts)
#define LOG_WRN_CAPPED(parts) TAVRO_LOG_CAPPED(2, parts)
#define LOG_INF_CAPPED(parts) TAVRO_LOG_CAPPED(3, parts)

#define LOG_ERR_CAPPED_BY(key, parts) TAVRO_LOG_CAPPED_BY(1, key, parts)
#define LOG_WRN_CAPPED_BY(key, parts) TAVRO_LOG_CAPPED_BY(2, key, parts)
#define LOG_INF_CAPPED_BY(key, parts) TAVRO_LOG_CAPPED_BY(3, key, parts)
