#include "tools/feedsim/SimOptions.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

bool parseLong(const std::string& text, long low, long high, long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < low || v > high) return false;
  value = v;
  return true;
}

bool parseSeconds(const std::string& text, double high, double& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < 0 || v > high) return false;
  value = v;
  return true;
}

}  // namespace

std::string simUsage() {
  return "usage: feedsim [options]\n"
         "A strict feed server for tests, the demo and benchmarks.\n"
         "\n"
         "Server:\n"
         "  --host HOST              address to listen on (default 127.0.0.1)\n"
         "  --port PORT              port to listen on (default 7000); 0 picks a free one.\n"
         "                           The first line on stdout is always \"listening on HOST:PORT\"\n"
         "  --name NAME              channel name announced to every client (default feedsim)\n"
         "  --data FILE              accounts, markets and instruments (default: built-in demo data;\n"
         "                           the format is explained at the top of --print-data)\n"
         "  --print-data             print the built-in demo data in the --data format and exit\n"
         "\n"
         "Data:\n"
         "  --rate N                 updates per second per open instrument (default 1; 0 = none;\n"
         "                           fractions allowed, at most 1000)\n"
         "  --ping-interval S        send a PING to every client every S seconds (default 10; 0 = never)\n"
         "  --publish                after login, send PUBLISH frames for \"p#\": the list, then one\n"
         "                           row change per update tick\n"
         "  --seed N                 deterministic run: values from a generator seeded with N and\n"
         "                           time fields from a fixed base time, so runs repeat byte for byte\n"
         "  --stamp                  put the send time (CLOCK_REALTIME, microseconds, decimal) in\n"
         "                           field 52 (TIME) of every level-1 image and update; a seeded\n"
         "                           run then no longer repeats byte for byte\n"
         "  --spread                 send each period's updates evenly over the period (1 ms steps)\n"
         "                           instead of all at once at its start\n"
         "  --instruments N          add N instruments S0000 to S<N-1> on market LSE to the data\n"
         "                           (1 to 100000; every account that lists LSE sees them)\n"
         "\n"
         "Faults (per client):\n"
         "  --drop-after-frames N    close the connection once N frames were sent (NAME included)\n"
         "  --drop-after-seconds T   close the connection T seconds after it was accepted\n"
         "  --malformed KIND         right after the login answer send one bad frame, KIND one of\n"
         "                           length (length field 5, below the 9-byte minimum),\n"
         "                           ridlength (rid_length 255 in a 10-byte frame),\n"
         "                           trailer (a ping whose last byte is 'X' instead of 'J')\n"
         "  --truncated-update       the first update after an open has its stream cut in the\n"
         "                           middle of its first field (the frame itself stays valid)\n"
         "  --split-bytes            write every frame one byte per write\n"
         "  --stall                  stop reading from a client once it has logged in\n"
         "\n"
         "Checking and exit:\n"
         "  -v, --verbose            log every frame in and out (repeat, -vv, for debug lines)\n"
         "  --exit-after-seconds T   stop after T seconds\n"
         "  --exit-when-idle         stop when the last client has left\n"
         "  --fail-on-violation      exit with code 3 when the clients broke the protocol\n"
         "  -h, --help               this text\n"
         "\n"
         "On exit (SIGINT, SIGTERM, --exit-after-seconds, --exit-when-idle) a summary goes to stdout:\n"
         "  frames received: OPEN=n CLOSE=n SNAPSHOT=n PING=n PING_ACK=n NAME=n\n"
         "  protocol violations: n\n"
         "Exit code 0; 3 with --fail-on-violation after a violation; 2 for a bad command line,\n"
         "data file or listen address.\n";
}

bool parseSimOptions(int argc, const char* const* argv, SimOptions& options, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i] ? argv[i] : "";
    std::string value;
    bool inlineValue = false;
    if (arg.compare(0, 2, "--") == 0) {
      std::string::size_type eq = arg.find('=');
      if (eq != std::string::npos) {
        value = arg.substr(eq + 1);
        arg.erase(eq);
        inlineValue = true;
      }
    }
    // Fetches the flag's value, inline ("--port=0") or the next argument.
    auto next = [&](std::string& out) {
      if (inlineValue) {
        out = value;
        return true;
      }
      if (i + 1 >= argc || !argv[i + 1]) {
        error = arg + " needs a value";
        return false;
      }
      out = argv[++i];
      return true;
    };
    auto flagOnly = [&]() {
      if (!inlineValue) return true;
      error = arg + " takes no value";
      return false;
    };
    std::string v;
    long n = 0;

    if (arg == "-h" || arg == "--help") {
      if (!flagOnly()) return false;
      options.help = true;
    } else if (arg == "-v" || arg == "--verbose") {
      if (!flagOnly()) return false;
      ++options.verbosity;
    } else if (arg == "-vv") {
      options.verbosity += 2;
    } else if (arg == "--host") {
      if (!next(v)) return false;
      if (v.empty()) {
        error = "--host needs a host name";
        return false;
      }
      options.host = v;
    } else if (arg == "--port") {
      if (!next(v)) return false;
      if (!parseLong(v, 0, 65535, n)) {
        error = "--port wants 0 to 65535, not \"" + v + "\"";
        return false;
      }
      options.port = static_cast<int>(n);
    } else if (arg == "--name") {
      if (!next(v)) return false;
      if (v.empty() || v.size() > 255) {
        error = "--name wants 1 to 255 characters";
        return false;
      }
      options.name = v;
    } else if (arg == "--data") {
      if (!next(v)) return false;
      options.dataFile = v;
    } else if (arg == "--print-data") {
      if (!flagOnly()) return false;
      options.printData = true;
    } else if (arg == "--rate") {
      if (!next(v)) return false;
      if (!parseSeconds(v, 1000, options.rate)) {
        error = "--rate wants 0 to 1000 updates per second, not \"" + v + "\"";
        return false;
      }
    } else if (arg == "--ping-interval") {
      if (!next(v)) return false;
      if (!parseLong(v, 0, 86400, n)) {
        error = "--ping-interval wants 0 to 86400 seconds, not \"" + v + "\"";
        return false;
      }
      options.pingInterval = static_cast<int>(n);
    } else if (arg == "--publish") {
      if (!flagOnly()) return false;
      options.publish = true;
    } else if (arg == "--drop-after-frames") {
      if (!next(v)) return false;
      if (!parseLong(v, 1, 1000000000L, n)) {
        error = "--drop-after-frames wants a count of at least 1, not \"" + v + "\"";
        return false;
      }
      options.dropAfterFrames = n;
    } else if (arg == "--drop-after-seconds") {
      if (!next(v)) return false;
      if (!parseSeconds(v, 86400, options.dropAfterSeconds) || options.dropAfterSeconds <= 0) {
        error = "--drop-after-seconds wants a time above 0, not \"" + v + "\"";
        return false;
      }
    } else if (arg == "--malformed") {
      if (!next(v)) return false;
      if (v == "length") {
        options.malformed = SimMalformed::LENGTH;
      } else if (v == "ridlength") {
        options.malformed = SimMalformed::RIDLENGTH;
      } else if (v == "trailer") {
        options.malformed = SimMalformed::TRAILER;
      } else {
        error = "--malformed wants length, ridlength or trailer, not \"" + v + "\"";
        return false;
      }
    } else if (arg == "--truncated-update") {
      if (!flagOnly()) return false;
      options.truncatedUpdate = true;
    } else if (arg == "--split-bytes") {
      if (!flagOnly()) return false;
      options.splitBytes = true;
    } else if (arg == "--stall") {
      if (!flagOnly()) return false;
      options.stall = true;
    } else if (arg == "--exit-after-seconds") {
      if (!next(v)) return false;
      if (!parseSeconds(v, 86400, options.exitAfterSeconds) || options.exitAfterSeconds <= 0) {
        error = "--exit-after-seconds wants a time above 0, not \"" + v + "\"";
        return false;
      }
    } else if (arg == "--exit-when-idle") {
      if (!flagOnly()) return false;
      options.exitWhenIdle = true;
    } else if (arg == "--fail-on-violation") {
      if (!flagOnly()) return false;
      options.failOnViolation = true;
    } else if (arg == "--seed") {
      if (!next(v)) return false;
      if (!parseLong(v, 0, 4294967295L, n)) {
        error = "--seed wants 0 to 4294967295, not \"" + v + "\"";
        return false;
      }
      options.seeded = true;
      options.seed = static_cast<std::uint32_t>(n);
    } else if (arg == "--stamp") {
      if (!flagOnly()) return false;
      options.stamp = true;
    } else if (arg == "--spread") {
      if (!flagOnly()) return false;
      options.spread = true;
    } else if (arg == "--instruments") {
      if (!next(v)) return false;
      if (!parseLong(v, 1, 100000, n)) {
        error = "--instruments wants 1 to 100000, not \"" + v + "\"";
        return false;
      }
      options.instruments = static_cast<int>(n);
    } else {
      error = "unknown option \"" + arg + "\" (try --help)";
      return false;
    }
  }
  return true;
}
