// e2ebench: the whole path under load, as a user runs it. feedsim (seeded,
// stamping field 52 with its send time) and TavroDDE run as child processes
// on the fixed feed port 7000, each with its own files in a private work
// directory; the DDE clients run in this process. One bridge connection
// holds at most 1024 conversations and 4096 advise loops, so the instruments
// are shared out over several connections, all read from one poll() loop.
//
// Scenario 1 (throughput): instruments x 5 advised fields at a total update
// rate; updates received, whether a backlog builds (first third against last
// third), latency from feedsim's stamp to receipt here, TavroDDE's CPU and
// memory. Scenario 2 (scale): 10,000 instruments x 5 fields = 50,000 loops at
// a low rate; the time to set them up, that updates keep flowing, memory.
// A loopback ping-pong in the same run is the physical reference.
//
// The figures are reported, not judged: the exit status is 0 when the runs
// worked (updates arrived, nothing crashed), 1 when they did not, 2 for a
// bad command line or a busy port.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "tests/ChildProcess.h"
#include "bench/e2e/LoopbackPing.h"
#include "platform/posix/DdeBridge.h"
#include "support/Log.h"
#include "tools/ddeclient/DdeClient.h"

#ifndef E2E_FEEDSIM
#define E2E_FEEDSIM "feedsim"
#endif
#ifndef E2E_TAVRODDE
#define E2E_TAVRODDE "TavroDDE"
#endif

namespace {

const int FEED_PORT = 7000;
const char* const ITEMS[] = {"BID", "OFFER", "CUR", "VOLUME", "TIME"};
const int ITEMS_PER_INSTRUMENT = 5;
// Below the bridge's 1024 conversations and 4096 loops per connection.
const int CONVERSATIONS_PER_CONNECTION = 800;

const char* const USAGE =
    "usage: e2ebench [options]\n"
    "Runs feedsim and TavroDDE as child processes on 127.0.0.1:7000 and DDE clients in\n"
    "this process; prints a report. Needs port 7000 free.\n"
    "  --quick              short run for CI: 100 instruments for 2 s, then 1000 for 2 s;\n"
    "                       only checks that updates arrive and nothing crashes\n"
    "  --scenario N         run only scenario 1 (throughput) or 2 (scale)\n"
    "  --seconds T          length of scenario 1 (default 30)\n"
    "  --instruments N      instruments of scenario 1 (default 1000)\n"
    "  --rate R             total updates per second of scenario 1 (default 20000)\n"
    "  --scale-seconds T    length of scenario 2 (default 20)\n"
    "  --scale-instruments N  instruments of scenario 2 (default 10000)\n"
    "  --scale-rate R       updates per second per instrument in scenario 2 (default 1)\n"
    "  --burst              feedsim sends each period's updates at once (default: spread)\n"
    "  --pin                feedsim on CPU 0, TavroDDE and the clients on CPU 1, so that the\n"
    "                       load generator does not take the measured program's core\n"
    "  --feedsim PATH       the feedsim program (default: this build's)\n"
    "  --tavro PATH         the TavroDDE program (default: this build's)\n"
    "  --keep               keep the work directory with the programs' logs\n"
    "exit status: 0 the runs worked, 1 they did not, 2 bad command line or port 7000 busy\n";

struct Options {
  bool quick = false;
  int only = 0;
  double seconds = 30;
  int instruments = 1000;
  double totalRate = 20000;
  double scaleSeconds = 20;
  int scaleInstruments = 10000;
  double scaleRate = 1;
  bool burst = false;
  bool pin = false;
  bool keep = false;
  std::string feedsim = E2E_FEEDSIM;
  std::string tavro = E2E_TAVRODDE;
};

struct Scenario {
  std::string title;
  int instruments = 0;
  double ratePerInstrument = 0;
  double seconds = 0;
  double warmupSeconds = 0;
  int liveWaitMs = 0;  // how long all instruments may take to deliver their first value
  double setupLimitSeconds = 0;  // connects and advise starts must be done by then
};

// One value of the TIME loop that carried a new stamp.
struct Sample {
  std::int64_t atUs;       // receipt, from the start of the window
  std::int64_t latencyUs;  // receipt minus feedsim's stamp
};

struct Figures {
  bool ok = false;
  std::string failure;
  int connections = 0;
  int loops = 0;
  double setupSeconds = 0;   // connects and advise starts, all answered
  double liveSeconds = 0;    // until every instrument had delivered a value
  int live = 0;
  double windowSeconds = 0;
  unsigned long fresh = 0;   // new stamps in the window
  unsigned long repeats = 0; // TIME values already seen (posted with another field)
  unsigned long advises = 0; // advise messages of every item in the window
  std::vector<Sample> samples;
  std::vector<unsigned long> perSecond;
  int heard = 0;             // instruments with a new stamp in the window
  double longestGapMs = 0;   // between consecutive new stamps in the window
  double tavroCpu = -1, feedsimCpu = -1, benchCpu = -1;  // percent of one core
  long rssKb = -1, hwmKb = -1;
  long violations = -1;      // feedsim's count of protocol faults by TavroDDE
  std::string tavroEnd;
};

bool pinTo(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return ::sched_setaffinity(0, sizeof set, &set) == 0;
}

std::int64_t realtimeUs() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

double steadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double ownCpuSeconds() {
  rusage ru{};
  ::getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Samples sorted by latency; q in [0, 1].
std::int64_t quantile(const std::vector<std::int64_t>& sorted, double q) {
  if (sorted.empty()) return 0;
  std::size_t i = static_cast<std::size_t>(q * static_cast<double>(sorted.size()));
  return sorted[std::min(i, sorted.size() - 1)];
}

std::string micros(double us) {
  char b[32];
  if (us >= 10000)
    std::snprintf(b, sizeof b, "%.1f ms", us / 1000);
  else
    std::snprintf(b, sizeof b, "%.0f us", us);
  return b;
}

std::string megabytes(long kb) {
  if (kb < 0) return "?";
  char b[32];
  std::snprintf(b, sizeof b, "%.1f MB", static_cast<double>(kb) / 1024.0);
  return b;
}

std::string percent(double p) {
  if (p < 0) return "?";
  char b[32];
  std::snprintf(b, sizeof b, "%.1f%%", p);
  return b;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string lastLines(const std::string& path, int n) {
  std::string text = readFile(path);
  std::size_t pos = text.size();
  for (int i = 0; i <= n && pos > 0; ++i) pos = text.rfind('\n', pos - 1);
  return pos == std::string::npos ? text : text.substr(pos + 1);
}

// The feed port is fixed: another feedsim or a test holding it would answer
// TavroDDE in our place, so a busy port stops the run before anything starts.
bool feedPortFree(std::string& why) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    why = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);  // as feedsim binds
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(FEED_PORT);
  bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  if (!ok) why = std::strerror(errno);
  ::close(fd);
  return ok;
}

// One bridge connection and the instruments whose conversations it holds.
struct Link {
  std::unique_ptr<DdeClient> client;
  std::unordered_map<std::uint32_t, int> instrumentOf;  // conversation -> instrument
};

class Run {
 public:
  Run(const Options& options, const Scenario& scenario, const std::string& work)
      : m_options(options), m_scenario(scenario), m_work(work) {}
  Figures execute();

 private:
  bool startPrograms();
  bool setUp();
  void pollOnce(int waitMs);
  void drain(Link& link, std::int64_t nowUs);
  void measure();
  void finish();
  bool fail(const std::string& why);
  bool programsAlive();

  const Options& m_options;
  Scenario m_scenario;
  std::string m_work;
  ChildProcess m_feedsim;
  ChildProcess m_tavro;
  std::vector<Link> m_links;
  std::vector<pollfd> m_pollfds;
  std::vector<std::int64_t> m_lastStamp;  // per instrument; 0: none yet
  std::vector<char> m_heard;
  bool m_measuring = false;
  bool m_finishing = false;
  std::int64_t m_windowStartUs = 0;
  std::int64_t m_lastFreshUs = 0;
  Figures m_f;
};

bool Run::fail(const std::string& why) {
  if (m_f.failure.empty()) m_f.failure = why;
  return false;
}

bool Run::programsAlive() {
  if (!m_feedsim.running())
    return fail("feedsim ended during the run (" + m_feedsim.howEnded() + "): " + lastLines(m_work + "/feedsim.log", 3));
  if (!m_tavro.running())
    return fail("TavroDDE ended during the run (" + m_tavro.howEnded() + "): " + lastLines(m_work + "/tavro.log", 3));
  return true;
}

bool Run::startPrograms() {
  std::string why;
  if (!feedPortFree(why)) return fail("127.0.0.1:" + std::to_string(FEED_PORT) + " is busy (" + why + ")");
  char rate[32];
  std::snprintf(rate, sizeof rate, "%g", m_scenario.ratePerInstrument);
  // Bounded by itself as well: it ends even if nothing here stops it.
  double budget = m_scenario.seconds + m_scenario.warmupSeconds + 600;
  std::vector<std::string> args = {m_options.feedsim, "--host", "127.0.0.1", "--port", std::to_string(FEED_PORT),
                                   "--seed", "1", "--stamp", "--instruments", std::to_string(m_scenario.instruments),
                                   "--rate", rate, "--exit-after-seconds", std::to_string(static_cast<int>(budget))};
  if (!m_options.burst) args.push_back("--spread");
  std::string simLog = m_work + "/feedsim.log";
  // Children inherit the bench's affinity: feedsim gets CPU 0, the rest CPU 1.
  if (m_options.pin && !pinTo(0)) return fail("cannot pin to CPU 0");
  if (!m_feedsim.start(args, {}, "", simLog)) return fail("cannot start feedsim: " + m_feedsim.error());
  if (!waitUntil([&] { return readFile(simLog).find("listening on") != std::string::npos || !m_feedsim.running(); },
                 10000) ||
      !m_feedsim.running())
    return fail("feedsim did not start listening: " + lastLines(simLog, 3));

  std::string ddeDir = m_work + "/dde";
  std::string tavroLog = m_work + "/tavro.log";
  if (m_options.pin && !pinTo(1)) return fail("cannot pin to CPU 1");
  if (!m_tavro.start({m_options.tavro}, {"TAVRO_DDE_DIR=" + ddeDir}, "demo\ndemo\n", tavroLog))
    return fail("cannot start TavroDDE: " + m_tavro.error());
  std::string socketPath;
  if (!ddeBridgeSocketPath(ddeDir, "TAVRO", socketPath, why)) return fail(why);
  if (!waitUntil([&] { return ::access(socketPath.c_str(), F_OK) == 0 || !m_tavro.running(); }, 15000) ||
      !m_tavro.running())
    return fail("TavroDDE did not log in and serve TAVRO: " + lastLines(tavroLog, 3));

  int connections = (m_scenario.instruments + CONVERSATIONS_PER_CONNECTION - 1) / CONVERSATIONS_PER_CONNECTION;
  for (int i = 0; i < connections; ++i) {
    Link link;
    link.client.reset(new DdeClient);
    link.client->setTimeoutMs(15000);
    if (!link.client->openPath(socketPath)) return fail("DDE connection: " + link.client->lastError());
    m_links.push_back(std::move(link));
  }
  // While one connection waits for an answer, the others are read.
  for (Link& link : m_links) link.client->setIdle([this] { pollOnce(1); });
  m_f.connections = connections;
  return true;
}

void Run::pollOnce(int waitMs) {
  m_pollfds.resize(m_links.size());
  for (std::size_t i = 0; i < m_links.size(); ++i) m_pollfds[i] = pollfd{m_links[i].client->fd(), POLLIN, 0};
  int ready = ::poll(m_pollfds.data(), m_pollfds.size(), waitMs);
  for (std::size_t i = 0; i < m_links.size(); ++i) {
    Link& link = m_links[i];
    if (ready > 0 && m_pollfds[i].revents && link.client->isOpen()) {
      // At the end TavroDDE goes with the feed and closes the connections itself.
      if (!link.client->pump(0) && !m_finishing) fail("DDE connection lost: " + link.client->lastError());
    }
    // Stamped once per read: everything in it arrived together.
    if (link.client->advisesQueued()) drain(link, realtimeUs());
  }
}

void Run::drain(Link& link, std::int64_t nowUs) {
  DdeAdvise a;
  // The queue is never empty on a call, so nextAdvise never turns the idle function.
  while (link.client->advisesQueued() > 0 && link.client->nextAdvise(a, 0)) {
    if (m_measuring) ++m_f.advises;
    if (a.item != "TIME") continue;
    auto it = link.instrumentOf.find(a.conv);
    if (it == link.instrumentOf.end()) continue;
    long long stamp = std::strtoll(a.data.c_str(), nullptr, 10);
    if (stamp <= 0) continue;  // the placeholder before the first image
    std::int64_t& last = m_lastStamp[static_cast<std::size_t>(it->second)];
    if (stamp == last) {
      // A post for another field of the same instrument repeats the TIME value.
      if (m_measuring) ++m_f.repeats;
      continue;
    }
    last = stamp;
    if (!m_measuring) continue;
    ++m_f.fresh;
    std::int64_t at = nowUs - m_windowStartUs;
    m_f.samples.push_back(Sample{at, nowUs - stamp});
    std::size_t second = static_cast<std::size_t>(at / 1000000);
    if (second < m_f.perSecond.size()) ++m_f.perSecond[second];
    if (!m_heard[static_cast<std::size_t>(it->second)]) {
      m_heard[static_cast<std::size_t>(it->second)] = 1;
      ++m_f.heard;
    }
    if (m_lastFreshUs) m_f.longestGapMs = std::max(m_f.longestGapMs, static_cast<double>(nowUs - m_lastFreshUs) / 1000);
    m_lastFreshUs = nowUs;
  }
}

bool Run::setUp() {
  int n = m_scenario.instruments;
  m_lastStamp.assign(static_cast<std::size_t>(n), 0);
  m_heard.assign(static_cast<std::size_t>(n), 0);
  double start = steadySeconds();
  double nextNote = start + 10;
  for (int i = 0; i < n; ++i) {
    double now = steadySeconds();
    if (now - start > m_scenario.setupLimitSeconds)
      return fail("setup too slow: " + std::to_string(i) + " of " + std::to_string(n) + " instruments after " +
                  std::to_string(static_cast<int>(now - start)) + " s");
    if (now >= nextNote) {
      nextNote = now + 10;
      std::printf("  ... %d of %d instruments set up after %.0f s\n", i, n, now - start);
      std::fflush(stdout);
    }
    Link& link = m_links[static_cast<std::size_t>(i) % m_links.size()];
    char topic[32];
    std::snprintf(topic, sizeof topic, "lse_s%04d", i);
    std::uint32_t conv = 0;
    DdeReply r = link.client->connect("TAVRO", topic, conv);
    if (r != DdeReply::Ok)
      return fail(std::string("connect to TAVRO|") + topic + ": " +
                  (r == DdeReply::Refused ? "refused" : link.client->lastError()));
    link.instrumentOf[conv] = i;
    for (const char* item : ITEMS) {
      r = link.client->adviseStart(conv, item, DdeBridgeFormat::standard(1));
      if (r != DdeReply::Ok)
        return fail(std::string("advise on ") + topic + " " + item + ": " +
                    (r == DdeReply::Refused ? "refused" : link.client->lastError()));
      ++m_f.loops;
    }
    if (!m_f.failure.empty()) return false;
  }
  m_f.setupSeconds = steadySeconds() - start;
  auto live = [&] {
    m_f.live = static_cast<int>(std::count_if(m_lastStamp.begin(), m_lastStamp.end(), [](std::int64_t s) { return s != 0; }));
    return m_f.live == n;
  };
  double deadline = steadySeconds() + m_scenario.liveWaitMs / 1000.0;
  while (!live() && steadySeconds() < deadline && m_f.failure.empty()) pollOnce(10);
  m_f.liveSeconds = steadySeconds() - start;
  return m_f.failure.empty() && programsAlive();
}

void Run::measure() {
  double warmEnd = steadySeconds() + m_scenario.warmupSeconds;
  while (steadySeconds() < warmEnd && m_f.failure.empty()) pollOnce(10);
  m_f.perSecond.assign(static_cast<std::size_t>(std::ceil(m_scenario.seconds)), 0);
  double tavro0 = m_tavro.cpuSeconds(), sim0 = m_feedsim.cpuSeconds(), own0 = ownCpuSeconds();
  double start = steadySeconds();
  m_windowStartUs = realtimeUs();
  m_measuring = true;
  double nextCheck = start + 1;
  while (m_f.failure.empty()) {
    double now = steadySeconds();
    if (now - start >= m_scenario.seconds) break;
    pollOnce(10);
    if (now >= nextCheck) {
      nextCheck = now + 1;
      if (!programsAlive()) break;
    }
  }
  m_measuring = false;
  m_f.windowSeconds = steadySeconds() - start;
  double tavro1 = m_tavro.cpuSeconds(), sim1 = m_feedsim.cpuSeconds(), own1 = ownCpuSeconds();
  if (tavro0 >= 0 && tavro1 >= 0) m_f.tavroCpu = 100 * (tavro1 - tavro0) / m_f.windowSeconds;
  if (sim0 >= 0 && sim1 >= 0) m_f.feedsimCpu = 100 * (sim1 - sim0) / m_f.windowSeconds;
  m_f.benchCpu = 100 * (own1 - own0) / m_f.windowSeconds;
  m_f.rssKb = m_tavro.memoryKb("VmRSS");
  m_f.hwmKb = m_tavro.memoryKb("VmHWM");
}

void Run::finish() {
  // feedsim first: its summary counts what it sent, and a lost feed ends
  // TavroDDE by itself. What is still on its way is read meanwhile.
  m_finishing = true;
  m_feedsim.stop(SIGTERM, 5000);
  double end = steadySeconds() + 0.5;
  while (steadySeconds() < end) pollOnce(10);
  for (Link& link : m_links) link.client->close();
  if (!waitUntil([&] { return !m_tavro.running(); }, 10000)) m_tavro.stop(SIGTERM, 5000);
  m_tavro.running();
  m_f.tavroEnd = m_tavro.howEnded();
  if (m_f.tavroEnd.compare(0, 6, "signal") == 0) fail("TavroDDE ended by " + m_f.tavroEnd);

  std::string summary = readFile(m_work + "/feedsim.log");
  const std::string key = "protocol violations: ";
  std::string::size_type at = summary.rfind(key);
  if (at != std::string::npos) m_f.violations = std::strtol(summary.c_str() + at + key.size(), nullptr, 10);
  if (m_f.violations > 0) fail("feedsim counted " + std::to_string(m_f.violations) + " protocol violations");
}

Figures Run::execute() {
  if (startPrograms() && setUp()) {
    measure();
    if (m_f.failure.empty()) programsAlive();
  }
  finish();
  m_f.ok = m_f.failure.empty() && m_f.fresh > 0;
  if (m_f.failure.empty() && m_f.fresh == 0) m_f.failure = "no updates arrived in the measured window";
  return m_f;
}

// --- the report -------------------------------------------------------------

struct Thirds {
  double rate[3] = {};
  std::int64_t p50[3] = {};
  std::int64_t p99[3] = {};
};

Thirds thirdsOf(const Figures& f) {
  Thirds t;
  double third = f.windowSeconds / 3 * 1e6;
  std::vector<std::int64_t> parts[3];
  for (const Sample& s : f.samples) {
    int k = std::min(2, static_cast<int>(static_cast<double>(s.atUs) / third));
    parts[k].push_back(s.latencyUs);
  }
  for (int k = 0; k < 3; ++k) {
    std::sort(parts[k].begin(), parts[k].end());
    t.rate[k] = static_cast<double>(parts[k].size()) / (f.windowSeconds / 3);
    t.p50[k] = quantile(parts[k], 0.5);
    t.p99[k] = quantile(parts[k], 0.99);
  }
  return t;
}

// A backlog shows as a falling received rate or a latency that climbs from
// the first third of the window to the last.
bool backlogGrows(const Thirds& t) {
  return t.rate[2] < 0.9 * t.rate[0] || static_cast<double>(t.p50[2]) > 2.0 * static_cast<double>(t.p50[0]) + 1000;
}

void printPing(const char* what, const PingResult& r) {
  if (!r.ok) {
    std::printf("  %-28s failed: %s\n", what, r.error.c_str());
    return;
  }
  auto q = [&](double p) { return r.roundTripsUs[std::min(r.roundTripsUs.size() - 1, static_cast<std::size_t>(p * static_cast<double>(r.roundTripsUs.size())))]; };
  std::printf("  %-28s round trip p50 %.1f us  p99 %.1f us  (one way ~%.1f / %.1f us)\n", what, q(0.5), q(0.99),
              q(0.5) / 2, q(0.99) / 2);
}

struct Latency {
  std::int64_t p50 = 0, p99 = 0, p999 = 0, max = 0;
};

Latency latencyOf(const Figures& f) {
  std::vector<std::int64_t> all;
  all.reserve(f.samples.size());
  for (const Sample& s : f.samples) all.push_back(s.latencyUs);
  std::sort(all.begin(), all.end());
  Latency l;
  l.p50 = quantile(all, 0.5);
  l.p99 = quantile(all, 0.99);
  l.p999 = quantile(all, 0.999);
  l.max = all.empty() ? 0 : all.back();
  return l;
}

void printCommon(const Scenario& s, const Figures& f) {
  std::printf("  setup: %d loops on %d connections in %.2f s (%.0f loops/s); %d of %d instruments live after %.2f s\n",
              f.loops, f.connections, f.setupSeconds, f.setupSeconds > 0 ? f.loops / f.setupSeconds : 0.0, f.live,
              s.instruments, f.liveSeconds);
  if (f.windowSeconds <= 0) return;
  double nominal = s.instruments * s.ratePerInstrument;
  double rate = static_cast<double>(f.fresh) / f.windowSeconds;
  std::printf("  received: %.0f updates/s (%.1f%% of %.0f sent/s), %.0f advise messages/s, %lu repeated TIME values\n",
              rate, nominal > 0 ? 100 * rate / nominal : 0.0, nominal, static_cast<double>(f.advises) / f.windowSeconds,
              f.repeats);
  Latency l = latencyOf(f);
  std::printf("  latency feedsim stamp -> client: p50 %s  p99 %s  p99.9 %s  max %s  (%zu samples)\n",
              micros(static_cast<double>(l.p50)).c_str(), micros(static_cast<double>(l.p99)).c_str(),
              micros(static_cast<double>(l.p999)).c_str(), micros(static_cast<double>(l.max)).c_str(), f.samples.size());
  std::printf("  TavroDDE: CPU %s of one core, RSS %s (peak %s); feedsim CPU %s; e2ebench CPU %s\n",
              percent(f.tavroCpu).c_str(), megabytes(f.rssKb).c_str(), megabytes(f.hwmKb).c_str(),
              percent(f.feedsimCpu).c_str(), percent(f.benchCpu).c_str());
}

const char* verdict(bool met, bool judged) { return !judged ? "" : met ? "  goal met" : "  GOAL MISSED"; }

int parseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    auto number = [&](double& out, double low) {
      std::string v;
      char* end = nullptr;
      if (!value(v)) return false;
      out = std::strtod(v.c_str(), &end);
      return !v.empty() && *end == '\0' && std::isfinite(out) && out >= low;
    };
    double d = 0;
    if (a == "--help" || a == "-h") {
      std::printf("%s", USAGE);
      return -1;
    } else if (a == "--quick") {
      o.quick = true;
    } else if (a == "--burst") {
      o.burst = true;
    } else if (a == "--pin") {
      o.pin = true;
    } else if (a == "--keep") {
      o.keep = true;
    } else if (a == "--scenario" && number(d, 1) && (d == 1 || d == 2)) {
      o.only = static_cast<int>(d);
    } else if (a == "--seconds" && number(o.seconds, 0.5)) {
    } else if (a == "--rate" && number(o.totalRate, 0.001)) {
    } else if (a == "--instruments" && number(d, 1) && d <= 100000 && d == std::floor(d)) {
      o.instruments = static_cast<int>(d);
    } else if (a == "--scale-seconds" && number(o.scaleSeconds, 0.5)) {
    } else if (a == "--scale-rate" && number(o.scaleRate, 0.001) && o.scaleRate <= 1000) {
    } else if (a == "--scale-instruments" && number(d, 1) && d <= 100000 && d == std::floor(d)) {
      o.scaleInstruments = static_cast<int>(d);
    } else if ((a == "--feedsim" && value(o.feedsim)) || (a == "--tavro" && value(o.tavro))) {
    } else {
      std::fprintf(stderr, "e2ebench: bad option or value at \"%s\"\n%s", a.c_str(), USAGE);
      return 2;
    }
  }
  if (o.totalRate / o.instruments > 1000) {
    std::fprintf(stderr, "e2ebench: feedsim sends at most 1000 updates/s per instrument\n");
    return 2;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (int rc = parseOptions(argc, argv, o)) return rc < 0 ? 0 : rc;
  setLogLevel(1);
  ::signal(SIGPIPE, SIG_IGN);

  std::vector<Scenario> scenarios;
  Scenario one;
  one.instruments = o.quick ? 100 : o.instruments;
  one.ratePerInstrument = o.quick ? 20 : o.totalRate / o.instruments;
  one.seconds = o.quick ? 2 : o.seconds;
  one.warmupSeconds = o.quick ? 0.3 : 2;
  one.liveWaitMs = 30000;
  one.setupLimitSeconds = o.quick ? 60 : 300;
  one.title = "scenario 1 (throughput)";
  Scenario two;
  two.instruments = o.quick ? 1000 : o.scaleInstruments;
  two.ratePerInstrument = o.quick ? 1 : o.scaleRate;
  two.seconds = o.quick ? 2 : o.scaleSeconds;
  two.warmupSeconds = o.quick ? 0.3 : 2;
  two.liveWaitMs = 120000;
  two.setupLimitSeconds = o.quick ? 60 : 900;
  two.title = "scenario 2 (scale)";
  if (o.only != 2) scenarios.push_back(one);
  if (o.only != 1) scenarios.push_back(two);

  std::string why;
  if (!feedPortFree(why)) {
    std::fprintf(stderr, "e2ebench: 127.0.0.1:%d is busy (%s): TavroDDE's feed port is fixed, so the run needs it\n",
                 FEED_PORT, why.c_str());
    return 2;
  }
  char tmpl[] = "/tmp/tavro-e2ebench-XXXXXX";
  if (!::mkdtemp(tmpl)) {
    std::fprintf(stderr, "e2ebench: no work directory: %s\n", std::strerror(errno));
    return 1;
  }
  std::string work = tmpl;

  double load[3] = {};
  std::FILE* la = std::fopen("/proc/loadavg", "r");
  if (la) {
    if (std::fscanf(la, "%lf %lf %lf", &load[0], &load[1], &load[2]) != 3) load[0] = -1;
    std::fclose(la);
  }
  std::printf("e2ebench%s: %ld cores, load average %.2f at the start; feedsim %s%s\n", o.quick ? " --quick" : "",
              ::sysconf(_SC_NPROCESSORS_ONLN), load[0], o.burst ? "bursts each period" : "spreads its updates",
              o.pin ? "; feedsim pinned to CPU 0, TavroDDE and the clients to CPU 1" : "");
  if (o.pin && ::sysconf(_SC_NPROCESSORS_ONLN) < 2) {
    std::fprintf(stderr, "e2ebench: --pin needs two CPUs\n");
    return 2;
  }
  std::printf("reference (two threads, 64-byte messages):\n");
  int trips = o.quick ? 2000 : 20000;
  printPing("loopback TCP (nodelay)", pingPongTcp(64, trips));
  printPing("unix stream socket", pingPongUnix(64, trips));
  std::fflush(stdout);

  bool allOk = true;
  std::vector<std::pair<Scenario, Figures>> results;
  for (std::size_t i = 0; i < scenarios.size(); ++i) {
    const Scenario& s = scenarios[i];
    std::string dir = work + "/" + std::to_string(i + 1);
    if (::mkdir(dir.c_str(), 0700) != 0) {
      std::fprintf(stderr, "e2ebench: cannot make %s\n", dir.c_str());
      return 1;
    }
    std::printf("%s: %d instruments x %d fields, %.0f updates/s (%g per instrument), %g s\n", s.title.c_str(),
                s.instruments, ITEMS_PER_INSTRUMENT, s.instruments * s.ratePerInstrument, s.ratePerInstrument,
                s.seconds);
    std::fflush(stdout);
    Run run(o, s, dir);
    Figures f = run.execute();
    printCommon(s, f);
    if (f.windowSeconds > 0 && i == 0 && s.title.find("throughput") != std::string::npos) {
      Thirds t = thirdsOf(f);
      std::printf("  thirds: %.0f / %.0f / %.0f updates/s; p50 %s / %s / %s; p99 %s / %s / %s; backlog %s\n", t.rate[0],
                  t.rate[1], t.rate[2], micros(static_cast<double>(t.p50[0])).c_str(),
                  micros(static_cast<double>(t.p50[1])).c_str(), micros(static_cast<double>(t.p50[2])).c_str(),
                  micros(static_cast<double>(t.p99[0])).c_str(), micros(static_cast<double>(t.p99[1])).c_str(),
                  micros(static_cast<double>(t.p99[2])).c_str(), backlogGrows(t) ? "GROWS" : "steady");
    }
    if (f.windowSeconds > 0 && !f.perSecond.empty()) {
      auto mm = std::minmax_element(f.perSecond.begin(), f.perSecond.end());
      std::printf("  flow: %lu to %lu updates in each second, longest gap %.1f ms, %d of %d instruments updated\n",
                  *mm.first, *mm.second, f.longestGapMs, f.heard, s.instruments);
    }
    std::printf("  TavroDDE ended: %s; protocol violations seen by feedsim: %ld\n",
                f.tavroEnd.empty() ? "?" : f.tavroEnd.c_str(), f.violations);
    if (!f.ok) std::printf("  FAILED: %s (logs in %s)\n", f.failure.c_str(), dir.c_str());
    std::fflush(stdout);
    allOk = allOk && f.ok;
    results.emplace_back(s, f);
  }

  bool judged = !o.quick;
  std::printf("goals%s:\n", judged ? "" : " (quick run: figures only, not judged)");
  for (const auto& r : results) {
    const Scenario& s = r.first;
    const Figures& f = r.second;
    if (f.windowSeconds <= 0) continue;
    if (s.title.find("throughput") != std::string::npos) {
      Latency l = latencyOf(f);
      double nominal = s.instruments * s.ratePerInstrument;
      std::printf("  p99 latency < 500 us on loopback:           %s%s\n", micros(static_cast<double>(l.p99)).c_str(),
                  verdict(l.p99 < 500, judged));
      std::printf("  < 50%% of one core at %.0f updates/s:       %s%s\n", nominal, percent(f.tavroCpu).c_str(),
                  verdict(f.tavroCpu >= 0 && f.tavroCpu < 50, judged));
      std::printf("  < 50 MB RSS (%d loops):                   %s%s\n", f.loops, megabytes(f.hwmKb).c_str(),
                  verdict(f.hwmKb >= 0 && f.hwmKb < 50 * 1024, judged));
    } else {
      bool flowing = f.live == s.instruments && f.heard == s.instruments &&
                     f.longestGapMs < std::max(1000.0, 2000.0 / s.ratePerInstrument) &&
                     *std::min_element(f.perSecond.begin(), f.perSecond.end()) > 0;
      std::printf("  %d loops without a stall:                %s%s\n", f.loops,
                  flowing ? "updates flow" : "STALLED or incomplete", verdict(flowing && f.loops >= 50000, judged));
      std::printf("  < 50 MB RSS (%d loops):                  %s%s\n", f.loops, megabytes(f.hwmKb).c_str(),
                  verdict(f.hwmKb >= 0 && f.hwmKb < 50 * 1024, judged));
    }
  }
  std::printf("reassembly >= 0.5x memcpy and >= 2 million field updates/s: see ChannelBench and StockBench\n");

  if (o.keep || !allOk) {
    std::printf("logs kept in %s\n", work.c_str());
  } else {
    std::string cmd = "rm -rf '" + work + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "e2ebench: could not remove %s\n", work.c_str());
  }
  return allOk ? 0 : 1;
}
