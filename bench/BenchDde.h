#pragma once
// The DDE service "TAVRO" of a benchmark in this process: fields and the
// LSE market set up, the service on `loop`, its socket in a private
// directory that goes when the service does. Clients close before it ends.

#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "dde/DDEInterface.h"
#include "feed/Market.h"
#include "feed/StdFID.h"
#include "platform/EventLoop.h"
#include "support/Log.h"

struct BenchDdeService {
  EventLoop loop;
  std::string dir;
  bool ok = false;

  BenchDdeService() {
    setLogLevel(0);
    char tmpl[] = "/tmp/tavro-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return;
    dir = tmpl;
    setenv("TAVRO_DDE_DIR", dir.c_str(), 1);
    InitializeFIDs();
    addMarket("LSE", "LSE", 'R', 0);
    ok = openDDE();
  }
  ~BenchDdeService() {
    closeDDE();
    if (!dir.empty()) ::rmdir(dir.c_str());
  }
  BenchDdeService(const BenchDdeService&) = delete;
  BenchDdeService& operator=(const BenchDdeService&) = delete;
};
