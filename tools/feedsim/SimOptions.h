#pragma once
// The settings of one feedsim run, filled from the command line. Every flag
// is documented in simUsage(); parseSimOptions checks values and ranges and
// leaves a one-line reason in `error` when it refuses the command line.

#include <cstdint>
#include <string>

enum class SimMalformed { NONE, LENGTH, RIDLENGTH, TRAILER };

struct SimOptions {
  std::string host = "127.0.0.1";
  int port = 7000;
  std::string dataFile;  // empty: the built-in demo data
  std::string name = "feedsim";
  double rate = 1.0;         // updates per second per open instrument; 0: none
  int pingInterval = 10;     // seconds; 0: never
  bool publish = false;
  long dropAfterFrames = 0;  // 0: never
  double dropAfterSeconds = 0;
  SimMalformed malformed = SimMalformed::NONE;
  bool truncatedUpdate = false;
  bool splitBytes = false;
  bool stall = false;
  int verbosity = 0;
  double exitAfterSeconds = 0;
  bool exitWhenIdle = false;
  bool failOnViolation = false;
  bool seeded = false;
  std::uint32_t seed = 0;
  bool stamp = false;       // FID 52 (TIME) carries the send time in microseconds
  bool spread = false;      // updates spread evenly over the period, not in one burst
  int instruments = 0;      // synthetic instruments S0000... on LSE, added to the data
  bool help = false;
  bool printData = false;
};

// False, with the reason in `error`, for an unknown flag, a missing value or a
// value out of range. `--help` sets `help` and returns true.
bool parseSimOptions(int argc, const char* const* argv, SimOptions& options, std::string& error);
std::string simUsage();
