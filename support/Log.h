#pragma once
// The diagnostic log: four levels (1 ERR, 2 WRN, 3 INF, 4 DBG), one line per
// statement, each prefixed with a local time stamp and the source location.
// The level is tested at the call site (the LOG_* macros), so a suppressed
// statement never evaluates or formats its message. Single-threaded.

#include <ctime>
#include <ostream>

// The stream of `level` (1 to 4), positioned after the prefix of a new line.
// `file` is the caller's source name without extension or directories.
std::ostream& log(int level, const char* file, const char* function, int line);

// Ignores values outside 0..5; 0 silences everything, 5 lets all through.
void setLogLevel(int level);
int getLogLevel();

// Routes DBG lines elsewhere; the other levels keep their stream.
void setDebugStream(std::ostream* stream);

// Test seams: route every level to one stream (null restores standard
// output), and replace the wall clock behind the time stamp (null restores).
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

#define LOG_ERR(parts) TAVRO_LOG(1, parts)
#define LOG_WRN(parts) TAVRO_LOG(2, parts)
#define LOG_INF(parts) TAVRO_LOG(3, parts)
#define LOG_DBG(parts) TAVRO_LOG(4, parts)
