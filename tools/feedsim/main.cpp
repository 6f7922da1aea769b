// feedsim: the feed simulator as a program. Parses the command line, loads
// the data, serves until a signal or an exit condition, prints the summary.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <iostream>

#include "platform/EventLoop.h"
#include "support/Log.h"
#include "tools/feedsim/FeedSim.h"

namespace {

int signalPipe[2] = {-1, -1};

extern "C" void onSignal(int) {
  char c = 1;
  ssize_t n = ::write(signalPipe[1], &c, 1);
  (void)n;
}

// Turns SIGINT and SIGTERM, noted by the handler in the pipe, into a stop.
class SignalWatch : public EventLoopHandler {
 public:
  explicit SignalWatch(FeedSim& sim) : m_sim(sim) {}
  void handleSocketEvent(int fd, unsigned) override {
    char scrap[16];
    while (::read(fd, scrap, sizeof scrap) > 0) {
    }
    LOG_INF("signal: stopping");
    m_sim.stop();
  }

 private:
  FeedSim& m_sim;
};

bool installSignals() {
  if (::pipe(signalPipe) != 0) return false;
  for (int fd : signalPipe) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  return ::sigaction(SIGINT, &sa, nullptr) == 0 && ::sigaction(SIGTERM, &sa, nullptr) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  SimOptions options;
  std::string error;
  if (!parseSimOptions(argc, argv, options, error)) {
    std::cerr << "feedsim: " << error << "\n";
    return 2;
  }
  if (options.help) {
    std::cout << simUsage();
    return 0;
  }
  if (options.printData) {
    std::cout << SimData::builtinText();
    return 0;
  }
  setLogLevel(options.verbosity >= 2 ? 4 : options.verbosity == 1 ? 3 : 2);

  SimData data;
  if (!(options.dataFile.empty() ? data.loadBuiltin() : data.load(options.dataFile))) return 2;

  EventLoop loop;
  FeedSim sim(options, data, loop);
  if (!sim.start()) return 2;
  std::cout << "listening on " << options.host << ":" << sim.port() << std::endl;

  SignalWatch signals(sim);
  if (installSignals())
    loop.watch(signalPipe[0], &signals, EVENT_READ);
  else
    LOG_WRN("cannot catch signals; stop with --exit-after-seconds or --exit-when-idle");

  loop.run();
  std::cout << sim.summary() << std::flush;
  return sim.exitCode();
}
