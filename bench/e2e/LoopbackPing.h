#pragma once
// The physical reference for the load test's latencies: round trips of
// small messages between two threads of this process, over loopback TCP
// (Nagle off, as the feed connection) and over a Unix-domain stream pair (as
// the DDE bridge). Blocking sockets, no event loop: the floor under any
// figure the real path can reach on this machine.

#include <cstddef>
#include <string>
#include <vector>

struct PingResult {
  bool ok = false;
  std::string error;
  std::vector<double> roundTripsUs;  // sorted
};

PingResult pingPongTcp(std::size_t messageBytes, int roundTrips);
PingResult pingPongUnix(std::size_t messageBytes, int roundTrips);
