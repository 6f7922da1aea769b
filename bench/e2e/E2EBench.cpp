// e2ebench: the whole path under load, as a user runs it. feedsim (seeded,
// stamping field 52 with its send time) and TavroDDE run as child processes
// on the fixed feed port 7000, each with its own files in a private work
// directory; the DDE clients run in this process, on several bridge
// connections (one holds at most 1024 conversations and 4096 loops) read
// from one poll() loop, with their transactions pipelined.
//
// Four measurements, each beside a baseline from the same run:
//   1. cost: TavroDDE's CPU per advise message delivered at a steady rate,
//      beside the clients' CPU per message read (the other end of the same
//      messages) and feedsim's per update sent;
//   2. ceiling: the highest rate whose updates all arrive (each third of
//      the run delivers the rate sent), stepping up in fresh processes,
//      pinned, beside the rate feedsim actually sent;
//   4. latency: p99 from feedsim's stamp to receipt here, as a multiple of
//      a loopback ping-pong measured just before (one way over TCP plus one
//      way over a Unix socket: the two hops of the path);
//   3. scale: many instruments at a low rate: the time to set their loops
//      up, that updates reach every one of them, memory per loop beside
//      TavroDDE's own before the first loop.
// Measurements 1 and 4 come from the same runs, as the median of several.
//
// The figures are reported and compared with their goals, but the exit
// status only says whether the runs worked: 0 when updates arrived and
// nothing crashed, 1 when not, 2 for a bad command line or a busy port.

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
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "bench/e2e/BridgeLink.h"
#include "bench/e2e/LoopbackPing.h"
#include "platform/posix/localdde/DdeBridge.h"
#include "support/Log.h"
#include "tests/ChildProcess.h"

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
const int TIME_ITEM = 4;
// Tags of the requests that check each loop's last value: this plus loop number.
const int CHECK_TAG = 1 << 28;
// Below the bridge's 1024 conversations and 4096 loops per connection.
const int CONVERSATIONS_PER_CONNECTION = 800;

// The goals the figures are compared with.
const double GOAL_COST_US = 1.0;
const double GOAL_CEILING = 80000;
const double GOAL_SETUP_SECONDS = 10;
const double GOAL_SCALE_RATE = 10000;
const double GOAL_GAP_MS = 50;
const double GOAL_SCALE_RSS_MB = 120;
const double GOAL_LATENCY_RATIO = 5;

const char* const USAGE =
    "usage: e2ebench [options]\n"
    "Runs feedsim and TavroDDE as child processes on 127.0.0.1:7000 and DDE clients in\n"
    "this process; prints a report. Needs port 7000 free.\n"
    "  --quick                short run for CI: every measurement small and brief; only\n"
    "                         checks that updates arrive and nothing crashes\n"
    "  --goal N               run only measurement N (1 cost and 4 latency share their runs,\n"
    "                         2 ceiling, 3 scale); repeatable; default all\n"
    "  --runs N               runs for cost and latency, reported as their median (default 3)\n"
    "  --seconds T            length of each of those runs (default 20)\n"
    "  --instruments N        their instruments (default 1000)\n"
    "  --rate R               their total updates per second (default 20000)\n"
    "  --ceiling-from R       first rate of the ceiling search (default 20000)\n"
    "  --ceiling-step R       its step upwards (default 20000)\n"
    "  --ceiling-seconds T    length of each of its steps (default 6)\n"
    "  --scale-instruments N  instruments of the scale run (default 50000)\n"
    "  --scale-rate R         its total updates per second (default 10000)\n"
    "  --scale-seconds T      its length (default 20)\n"
    "  --burst                feedsim sends each period's updates at once (default: spread)\n"
    "  --pin                  feedsim on CPU 0, TavroDDE and the clients on CPU 1, so that the\n"
    "                         load generator does not take the measured program's core; the\n"
    "                         ceiling search always pins\n"
    "  --feedsim PATH         the feedsim program (default: this build's)\n"
    "  --tavro PATH           the TavroDDE program (default: this build's)\n"
    "  --keep                 keep the work directory with the programs' logs\n"
    "exit status: 0 the runs worked, 1 they did not, 2 bad command line or port 7000 busy\n";

struct Options {
  bool quick = false;
  bool goal[5] = {false, true, true, true, true};
  int runs = 3;
  double seconds = 20;
  int instruments = 1000;
  double rate = 20000;
  double ceilingFrom = 20000;
  double ceilingStep = 20000;
  double ceilingSeconds = 6;
  int scaleInstruments = 50000;
  double scaleRate = 10000;
  double scaleSeconds = 20;
  bool burst = false;
  bool pin = false;
  bool keep = false;
  std::string feedsim = E2E_FEEDSIM;
  std::string tavro = E2E_TAVRODDE;
};

struct Scenario {
  int instruments = 0;
  double rate = 0;  // updates per second over all instruments
  double seconds = 0;
  double warmupSeconds = 0;
  int liveWaitMs = 0;            // how long all instruments may take to deliver their first value
  double setupLimitSeconds = 0;  // connects and advise starts must be done by then
  bool pin = false;
  // At the end, with feedsim paused, ask each loop's value and compare it
  // with what the loop last received.
  bool checkLastValues = false;
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
  double setupSeconds = 0;  // connects and advise starts, all answered
  double liveSeconds = 0;   // until every instrument had delivered a value
  int live = 0;
  double windowSeconds = 0;
  unsigned long fresh = 0;    // new stamps in the window
  unsigned long repeats = 0;  // values equal to the one their loop had: copies of what did not change
  unsigned long advises = 0;  // advise messages of every item in the window
  std::vector<Sample> samples;
  std::vector<Sample> lateSamples;  // received after the window
  std::vector<unsigned long> perSecond;
  int heard = 0;            // instruments with a new stamp in the window
  double longestGapMs = 0;  // between consecutive new stamps in the window
  double tavroCpuSeconds = -1, feedsimCpuSeconds = -1, benchCpuSeconds = -1;  // in the window
  long rssBeforeKb = -1;  // logged in, before the first conversation
  long rssKb = -1, hwmKb = -1;
  long feedsimStamped = -1;  // level-1 images and updates feedsim sent in all, each with a new stamp
  long deliveredStamps = 0;  // new stamps received in all
  double feedsimSeconds = 0; // from the first connect to feedsim's stop
  long violations = -1;      // feedsim's count of protocol faults by TavroDDE
  long checkedLoops = -1;    // loops whose last value was checked at the end
  long staleLoops = 0;       // of them, those whose last value was not the current one
  // The longest time feedsim's socket to TavroDDE took no bytes while it had
  // some to send, up to the end of set-up: the longest TavroDDE left its feed
  // unread once the socket buffers between them were full.
  long setupFeedWaitMs = -1;
  std::string tavroEnd;

  double percentOfCore(double cpuSeconds) const {
    return cpuSeconds < 0 || windowSeconds <= 0 ? -1 : 100 * cpuSeconds / windowSeconds;
  }
  // Microseconds of CPU per feed update (new stamp) in the window.
  double usPerUpdate(double cpuSeconds) const {
    return cpuSeconds < 0 || fresh == 0 ? -1 : 1e6 * cpuSeconds / static_cast<double>(fresh);
  }
  // Microseconds of CPU per advise message in the window.
  double usPerAdvise(double cpuSeconds) const {
    return cpuSeconds < 0 || advises == 0 ? -1 : 1e6 * cpuSeconds / static_cast<double>(advises);
  }
};

cpu_set_t startAffinity;

bool pinTo(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return ::sched_setaffinity(0, sizeof set, &set) == 0;
}

void unpin() { ::sched_setaffinity(0, sizeof startAffinity, &startAffinity); }

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
template <typename T>
T quantile(const std::vector<T>& sorted, double q) {
  if (sorted.empty()) return T();
  std::size_t i = static_cast<std::size_t>(q * static_cast<double>(sorted.size()));
  return sorted[std::min(i, sorted.size() - 1)];
}

double median(std::vector<double> v) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string micros(double us) {
  char b[32];
  if (us >= 10000)
    std::snprintf(b, sizeof b, "%.1f ms", us / 1000);
  else if (us >= 100)
    std::snprintf(b, sizeof b, "%.0f us", us);
  else
    std::snprintf(b, sizeof b, "%.1f us", us);
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

std::string fixed(double v, int decimals) {
  if (v < 0) return "?";
  char b[32];
  std::snprintf(b, sizeof b, "%.*f", decimals, v);
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

// A number after `key` in the last line of `text` that has it; -1 when none.
long numberAfter(const std::string& text, const std::string& key) {
  std::string::size_type at = text.rfind(key);
  return at == std::string::npos ? -1 : std::strtol(text.c_str() + at + key.size(), nullptr, 10);
}

// The largest number after `key` in any line of `text`; -1 when none.
long largestAfter(const std::string& text, const std::string& key) {
  long largest = -1;
  for (std::string::size_type at = text.find(key); at != std::string::npos; at = text.find(key, at + 1))
    largest = std::max(largest, std::strtol(text.c_str() + at + key.size(), nullptr, 10));
  return largest;
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
  std::unique_ptr<BridgeLink> bridge;
  std::unordered_map<std::uint32_t, int> instrumentOf;  // conversation -> instrument
  std::vector<int> toConnect;
  std::size_t nextConnect = 0;
};

class Run {
 public:
  Run(const Options& options, const Scenario& scenario, const std::string& work)
      : m_options(options), m_scenario(scenario), m_work(work) {}
  Figures execute();

 private:
  bool startPrograms();
  bool setUp();
  void feedConnects(Link& link);
  void pollOnce(int waitMs);
  void onAdvise(Link& link, const AdviseView& v, std::int64_t nowUs);
  void onAnswer(Link& link, int tag, const DdeBridgeMessage& m);
  void measure();
  void checkLastValues();
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
  std::vector<std::string> m_lastValue;   // per loop (instrument x item but TIME): the text last received
  long m_checksAnswered = 0;
  std::vector<char> m_heard;
  int m_loopsWanted = 0;
  bool m_measuring = false;
  bool m_finishing = false;
  double m_firstConnect = 0;
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
  std::snprintf(rate, sizeof rate, "%g", m_scenario.rate / m_scenario.instruments);
  // Bounded by itself as well: it ends even if nothing here stops it.
  double budget = m_scenario.seconds + m_scenario.warmupSeconds + 900;
  std::vector<std::string> args = {m_options.feedsim, "--host", "127.0.0.1", "--port", std::to_string(FEED_PORT),
                                   "--seed", "1", "--stamp", "--instruments", std::to_string(m_scenario.instruments),
                                   "--rate", rate, "--exit-after-seconds", std::to_string(static_cast<int>(budget))};
  if (!m_options.burst) args.push_back("--spread");
  std::string simLog = m_work + "/feedsim.log";
  // Children inherit the bench's affinity: feedsim gets CPU 0, the rest CPU 1.
  if (m_scenario.pin && !pinTo(0)) return fail("cannot pin to CPU 0");
  if (!m_feedsim.start(args, {}, "", simLog)) return fail("cannot start feedsim: " + m_feedsim.error());
  if (!waitUntil([&] { return readFile(simLog).find("listening on") != std::string::npos || !m_feedsim.running(); },
                 10000) ||
      !m_feedsim.running())
    return fail("feedsim did not start listening: " + lastLines(simLog, 3));

  std::string ddeDir = m_work + "/dde";
  std::string tavroLog = m_work + "/tavro.log";
  if (m_scenario.pin && !pinTo(1)) return fail("cannot pin to CPU 1");
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
    link.bridge.reset(new BridgeLink);
    if (!link.bridge->open(socketPath)) return fail("DDE connection: " + link.bridge->error());
    m_links.push_back(std::move(link));
  }
  m_f.connections = connections;
  // What TavroDDE holds before anyone names an instrument.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  m_f.rssBeforeKb = m_tavro.memoryKb("VmRSS");
  return true;
}

void Run::pollOnce(int waitMs) {
  m_pollfds.resize(m_links.size());
  for (std::size_t i = 0; i < m_links.size(); ++i) {
    BridgeLink& b = *m_links[i].bridge;
    m_pollfds[i] = pollfd{b.fd(), static_cast<short>(POLLIN | (b.wantsWrite() ? POLLOUT : 0)), 0};
  }
  int ready = ::poll(m_pollfds.data(), m_pollfds.size(), waitMs);
  if (ready <= 0) return;
  for (std::size_t i = 0; i < m_links.size(); ++i) {
    Link& link = m_links[i];
    if (!m_pollfds[i].revents || link.bridge->fd() < 0) continue;
    // Stamped once per read: everything in it arrived together.
    std::int64_t nowUs = realtimeUs();
    bool ok = link.bridge->read([&](const AdviseView& v) { onAdvise(link, v, nowUs); },
                                [&](int tag, const DdeBridgeMessage& m) { onAnswer(link, tag, m); });
    // At the end TavroDDE goes with the feed and closes the connections itself.
    if (!ok && !m_finishing) fail("DDE connection lost: " + link.bridge->error());
  }
}

int itemIndex(const char* item, std::size_t length) {
  for (int i = 0; i < ITEMS_PER_INSTRUMENT; ++i)
    if (std::strlen(ITEMS[i]) == length && std::memcmp(ITEMS[i], item, length) == 0) return i;
  return -1;
}

// The text of CF_TEXT data, without its terminator.
std::size_t textLength(const char* data, std::size_t size) {
  const void* nul = std::memchr(data, '\0', size);
  return nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - data) : size;
}

void Run::onAdvise(Link& link, const AdviseView& a, std::int64_t nowUs) {
  if (m_measuring) ++m_f.advises;
  auto it = link.instrumentOf.find(a.conv);
  if (it == link.instrumentOf.end()) return;
  int item = itemIndex(a.item, a.itemLength);
  if (item < 0) return;
  if (item != TIME_ITEM) {
    std::string& last = m_lastValue[static_cast<std::size_t>(it->second) * ITEMS_PER_INSTRUMENT + item];
    std::size_t n = textLength(a.data, a.dataLength);
    if (!last.empty() && last.size() == n && std::memcmp(last.data(), a.data, n) == 0) {
      if (m_measuring) ++m_f.repeats;
    } else {
      last.assign(a.data, n);
    }
    return;
  }
  char text[24];
  std::size_t n = std::min(a.dataLength, sizeof text - 1);
  std::memcpy(text, a.data, n);
  text[n] = '\0';
  long long stamp = std::strtoll(text, nullptr, 10);
  if (stamp <= 0) return;  // the placeholder before the first image
  std::size_t instrument = static_cast<std::size_t>(it->second);
  std::int64_t& last = m_lastStamp[instrument];
  if (stamp == last) {
    if (m_measuring) ++m_f.repeats;
    return;
  }
  ++m_f.deliveredStamps;
  last = stamp;
  if (!m_measuring) {
    // What was sent in the window and arrives after it counts as sent in its third.
    if (m_finishing && m_windowStartUs) m_f.lateSamples.push_back(Sample{nowUs - m_windowStartUs, nowUs - stamp});
    return;
  }
  ++m_f.fresh;
  std::int64_t at = nowUs - m_windowStartUs;
  m_f.samples.push_back(Sample{at, nowUs - stamp});
  std::size_t second = static_cast<std::size_t>(at / 1000000);
  if (second < m_f.perSecond.size()) ++m_f.perSecond[second];
  if (!m_heard[instrument]) {
    m_heard[instrument] = 1;
    ++m_f.heard;
  }
  if (m_lastFreshUs) m_f.longestGapMs = std::max(m_f.longestGapMs, static_cast<double>(nowUs - m_lastFreshUs) / 1000);
  m_lastFreshUs = nowUs;
}

// Tags: 2i for the connect of instrument i, 2i+1 for its advise starts.
void Run::onAnswer(Link& link, int tag, const DdeBridgeMessage& m) {
  if (tag < 0) {
    if (!m_finishing) fail("TavroDDE ended conversation " + std::to_string(m.conv));
    return;
  }
  if (tag >= CHECK_TAG) {
    ++m_checksAnswered;
    std::size_t loop = static_cast<std::size_t>(tag - CHECK_TAG);
    std::size_t instrument = loop / ITEMS_PER_INSTRUMENT;
    std::string now = m.kind == DDE_BRIDGE_DATA ? m.data.substr(0, textLength(m.data.data(), m.data.size())) : "?";
    bool current = loop % ITEMS_PER_INSTRUMENT == TIME_ITEM
                       ? std::strtoll(now.c_str(), nullptr, 10) == m_lastStamp[instrument]
                       : now == m_lastValue[loop];
    if (!current) ++m_f.staleLoops;
    return;
  }
  int instrument = tag / 2;
  char topic[32];
  std::snprintf(topic, sizeof topic, "lse_s%04d", instrument);
  if (tag % 2 == 1) {
    if (m.kind != DDE_BRIDGE_ACK || !m.ok) fail(std::string("advise start on ") + topic + " refused");
    else ++m_f.loops;
    feedConnects(link);
    return;
  }
  if (m.kind != DDE_BRIDGE_CONNECTED || m.pairs.size() != 1) {
    fail(std::string("connect to TAVRO|") + topic + " refused");
    return;
  }
  std::uint32_t conv = m.pairs[0].conv;
  link.instrumentOf[conv] = instrument;
  for (const char* item : ITEMS) {
    DdeBridgeMessage start;
    start.kind = DDE_BRIDGE_ADVSTART;
    start.conv = conv;
    start.item = item;
    start.format = DdeBridgeFormat::standard(1);
    link.bridge->send(start, 2 * instrument + 1);
  }
  feedConnects(link);
}

// Connects are fed a window at a time, so that each instrument's advise
// starts follow its connect closely rather than after every other connect.
void Run::feedConnects(Link& link) {
  while (link.nextConnect < link.toConnect.size() && link.bridge->outstanding() < BRIDGE_LINK_WINDOW) {
    int i = link.toConnect[link.nextConnect++];
    char topic[32];
    std::snprintf(topic, sizeof topic, "lse_s%04d", i);
    DdeBridgeMessage m;
    m.kind = DDE_BRIDGE_CONNECT;
    m.service = "TAVRO";
    m.topic = topic;
    link.bridge->send(m, 2 * i);
  }
}

bool Run::setUp() {
  int n = m_scenario.instruments;
  m_lastStamp.assign(static_cast<std::size_t>(n), 0);
  m_lastValue.assign(static_cast<std::size_t>(n) * ITEMS_PER_INSTRUMENT, std::string());
  m_heard.assign(static_cast<std::size_t>(n), 0);
  m_loopsWanted = n * ITEMS_PER_INSTRUMENT;
  for (int i = 0; i < n; ++i) m_links[static_cast<std::size_t>(i) % m_links.size()].toConnect.push_back(i);
  double start = m_firstConnect = steadySeconds();
  double nextNote = start + 10;
  for (Link& link : m_links) {
    feedConnects(link);
    if (!link.bridge->write()) return fail("DDE connection: " + link.bridge->error());
  }
  while (m_f.loops < m_loopsWanted && m_f.failure.empty()) {
    double now = steadySeconds();
    if (now - start > m_scenario.setupLimitSeconds)
      return fail("setup too slow: " + std::to_string(m_f.loops) + " of " + std::to_string(m_loopsWanted) +
                  " loops after " + std::to_string(static_cast<int>(now - start)) + " s");
    if (now >= nextNote) {
      nextNote = now + 10;
      std::printf("  ... %d of %d loops set up after %.0f s\n", m_f.loops, m_loopsWanted, now - start);
      std::fflush(stdout);
    }
    pollOnce(10);
    if (!programsAlive()) return false;
  }
  if (!m_f.failure.empty()) return false;
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
  m_f.samples.reserve(static_cast<std::size_t>(m_scenario.rate * m_scenario.seconds * 1.1));
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
  if (tavro0 >= 0 && tavro1 >= 0) m_f.tavroCpuSeconds = tavro1 - tavro0;
  if (sim0 >= 0 && sim1 >= 0) m_f.feedsimCpuSeconds = sim1 - sim0;
  m_f.benchCpuSeconds = own1 - own0;
  m_f.rssKb = m_tavro.memoryKb("VmRSS");
  m_f.hwmKb = m_tavro.memoryKb("VmHWM");
}

// Every change of a value must reach every loop that watches it, and only
// changes travel: with the feed paused and what it sent read, each loop's
// last value must be the one a request answers now.
void Run::checkLastValues() {
  long asked = 0;
  for (Link& link : m_links)
    for (const auto& entry : link.instrumentOf)
      for (int item = 0; item < ITEMS_PER_INSTRUMENT; ++item) {
        DdeBridgeMessage m;
        m.kind = DDE_BRIDGE_REQUEST;
        m.conv = entry.first;
        m.item = ITEMS[item];
        m.format = DdeBridgeFormat::standard(1);
        link.bridge->send(m, CHECK_TAG + entry.second * ITEMS_PER_INSTRUMENT + item);
        ++asked;
      }
  m_checksAnswered = 0;
  double end = steadySeconds() + 30;
  while (m_checksAnswered < asked && steadySeconds() < end && m_f.failure.empty()) pollOnce(10);
  m_f.checkedLoops = m_checksAnswered;
  if (m_checksAnswered < asked) fail(std::to_string(asked - m_checksAnswered) + " checking requests unanswered");
}

void Run::finish() {
  // feedsim is paused first and what it sent is read meanwhile; told to go,
  // it may send once more before it does, which is read too, so that what
  // arrived can be set against its count of frames sent. A lost feed then
  // ends TavroDDE by itself.
  m_finishing = true;
  bool paused = m_feedsim.running() && ::kill(m_feedsim.pid(), SIGSTOP) == 0;
  if (m_firstConnect > 0) m_f.feedsimSeconds = steadySeconds() - m_firstConnect;
  double end = steadySeconds() + 0.5;
  while (steadySeconds() < end) pollOnce(10);
  if (paused && m_scenario.checkLastValues && m_f.failure.empty() && m_tavro.running()) checkLastValues();
  if (paused) {
    ::kill(m_feedsim.pid(), SIGTERM);  // taken before it runs on
    ::kill(m_feedsim.pid(), SIGCONT);
  }
  end = steadySeconds() + 5;
  while (m_feedsim.running() && steadySeconds() < end) pollOnce(10);
  end = steadySeconds() + 0.3;
  while (steadySeconds() < end) pollOnce(10);
  m_feedsim.stop(SIGTERM, 5000);
  for (Link& link : m_links) link.bridge->close();
  if (!waitUntil([&] { return !m_tavro.running(); }, 10000)) m_tavro.stop(SIGTERM, 5000);
  m_tavro.running();
  m_f.tavroEnd = m_tavro.howEnded();
  if (m_f.tavroEnd.compare(0, 6, "signal") == 0) fail("TavroDDE ended by " + m_f.tavroEnd);

  std::string summary = readFile(m_work + "/feedsim.log");
  m_f.violations = numberAfter(summary, "protocol violations: ");
  long updates = numberAfter(summary, " UPDATE="), opens = numberAfter(summary, " OPEN=");
  if (updates >= 0 && opens >= 0) m_f.feedsimStamped = updates + opens;  // one level-1 image per open
  if (m_f.violations > 0) fail("feedsim counted " + std::to_string(m_f.violations) + " protocol violations");
}

Figures Run::execute() {
  bool started = startPrograms();
  bool setUpOk = started && setUp();
  if (started) m_f.setupFeedWaitMs = std::max(0L, largestAfter(readFile(m_work + "/feedsim.log"), " read nothing for "));
  if (setUpOk) {
    measure();
    if (m_f.failure.empty()) programsAlive();
  }
  finish();
  if (m_scenario.pin) unpin();
  m_f.ok = m_f.failure.empty() && m_f.fresh > 0;
  if (m_f.failure.empty() && m_f.fresh == 0) m_f.failure = "no updates arrived in the measured window";
  return m_f;
}

// --- the report -------------------------------------------------------------

struct Thirds {
  double rate[3] = {};  // received in the third
  double sent[3] = {};  // stamped in the third, received whenever
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
  for (const std::vector<Sample>* all : {&f.samples, &f.lateSamples})
    for (const Sample& s : *all) {
      double sentAt = static_cast<double>(s.atUs - s.latencyUs);
      if (sentAt >= 0 && sentAt < 3 * third) t.sent[std::min(2, static_cast<int>(sentAt / third))] += 1;
    }
  for (int k = 0; k < 3; ++k) {
    std::sort(parts[k].begin(), parts[k].end());
    t.rate[k] = static_cast<double>(parts[k].size()) / (f.windowSeconds / 3);
    t.sent[k] /= f.windowSeconds / 3;
    t.p50[k] = quantile(parts[k], 0.5);
    t.p99[k] = quantile(parts[k], 0.99);
  }
  return t;
}

// Each image and update carries a new stamp, so one replaced in a queue or
// still waiting at the end is one fewer delivered than feedsim counts as
// sent. Values that reached an instrument before its TIME loop existed reach
// nobody: its image, and an update or so while the loops are set up. A step
// keeps up when what feedsim sent was delivered, less those and a tenth of a
// percent; when each third of the window delivered what was sent in it (by
// the stamps: a backlog that grows leaves a third short of its own sends,
// which arrive in a later one), within 1%; and when the latency did not
// climb from the first third to the last. What feedsim sends is its own
// affair on a shared machine: it may lose time and send less than asked.
long undelivered(const Figures& f) { return f.feedsimStamped < 0 ? -1 : f.feedsimStamped - f.deliveredStamps; }

bool keepsUp(const Figures& f, const Thirds& t, int instruments) {
  for (int k = 0; k < 3; ++k)
    if (std::fabs(t.rate[k] - t.sent[k]) > 0.01 * t.sent[k]) return false;
  long missing = undelivered(f);
  double allowed = 2.0 * instruments + 0.001 * static_cast<double>(f.feedsimStamped);
  return f.staleLoops == 0 && missing >= 0 && static_cast<double>(missing) <= allowed &&
         static_cast<double>(t.p50[2]) <= 2.0 * static_cast<double>(t.p50[0]) + 1000;
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

// One-way p99 of the two hops of the path: half a round trip each.
struct Reference {
  bool ok = false;
  double tcpUs = 0, unixUs = 0;
  double sumUs() const { return tcpUs + unixUs; }
};

Reference measureReference(int trips) {
  Reference r;
  PingResult tcp = pingPongTcp(64, trips);
  PingResult unx = pingPongUnix(64, trips);
  if (!tcp.ok || !unx.ok) {
    std::printf("  reference failed: %s\n", (tcp.ok ? unx.error : tcp.error).c_str());
    return r;
  }
  r.ok = true;
  r.tcpUs = quantile(tcp.roundTripsUs, 0.99) / 2;
  r.unixUs = quantile(unx.roundTripsUs, 0.99) / 2;
  std::printf("  reference (two threads, 64-byte messages, %d round trips each): p99 one way loopback TCP %s + Unix socket %s = %s\n",
              trips, micros(r.tcpUs).c_str(), micros(r.unixUs).c_str(), micros(r.sumUs()).c_str());
  return r;
}

void printCommon(const Scenario& s, const Figures& f) {
  std::printf("  setup: %d loops on %d connections in %.2f s (%.0f loops/s); %d of %d instruments live after %.2f s\n",
              f.loops, f.connections, f.setupSeconds, f.setupSeconds > 0 ? f.loops / f.setupSeconds : 0.0, f.live,
              s.instruments, f.liveSeconds);
  if (f.windowSeconds <= 0) return;
  double rate = static_cast<double>(f.fresh) / f.windowSeconds;
  std::printf("  received: %.0f updates/s (%.1f%% of %.0f sent/s), %.0f advise messages/s (%.2f per update), "
              "%lu unchanged values sent again\n",
              rate, s.rate > 0 ? 100 * rate / s.rate : 0.0, s.rate, static_cast<double>(f.advises) / f.windowSeconds,
              f.fresh ? static_cast<double>(f.advises) / static_cast<double>(f.fresh) : 0.0, f.repeats);
  if (f.checkedLoops >= 0)
    std::printf("  last values: %ld of %ld loops hold the value a request answers at the end%s\n",
                f.checkedLoops - f.staleLoops, f.checkedLoops, f.staleLoops ? "  STALE LOOPS" : "");
  Latency l = latencyOf(f);
  std::printf("  latency feedsim stamp -> client: p50 %s  p99 %s  p99.9 %s  max %s  (%zu samples)\n",
              micros(static_cast<double>(l.p50)).c_str(), micros(static_cast<double>(l.p99)).c_str(),
              micros(static_cast<double>(l.p999)).c_str(), micros(static_cast<double>(l.max)).c_str(), f.samples.size());
  std::printf("  CPU: TavroDDE %s of one core, feedsim %s, clients %s; TavroDDE RSS %s (peak %s, %s before the first loop)\n",
              percent(f.percentOfCore(f.tavroCpuSeconds)).c_str(), percent(f.percentOfCore(f.feedsimCpuSeconds)).c_str(),
              percent(f.percentOfCore(f.benchCpuSeconds)).c_str(), megabytes(f.rssKb).c_str(), megabytes(f.hwmKb).c_str(),
              megabytes(f.rssBeforeKb).c_str());
}

void printEnd(const Figures& f, const std::string& dir) {
  std::printf("  TavroDDE ended: %s; protocol violations seen by feedsim: %ld\n",
              f.tavroEnd.empty() ? "?" : f.tavroEnd.c_str(), f.violations);
  if (!f.ok) std::printf("  FAILED: %s (logs in %s)\n", f.failure.c_str(), dir.c_str());
  std::fflush(stdout);
}

void printThirds(const Thirds& t, const char* verdictText) {
  std::printf("  thirds: %.0f / %.0f / %.0f updates/s; p50 %s / %s / %s; p99 %s / %s / %s; %s\n", t.rate[0], t.rate[1],
              t.rate[2], micros(static_cast<double>(t.p50[0])).c_str(), micros(static_cast<double>(t.p50[1])).c_str(),
              micros(static_cast<double>(t.p50[2])).c_str(), micros(static_cast<double>(t.p99[0])).c_str(),
              micros(static_cast<double>(t.p99[1])).c_str(), micros(static_cast<double>(t.p99[2])).c_str(), verdictText);
}

// feedsim's own send rate: its update frames over its time with the clients.
double feedsimRate(const Figures& f) {
  return f.feedsimStamped < 0 || f.feedsimSeconds <= 0 ? -1 : static_cast<double>(f.feedsimStamped) / f.feedsimSeconds;
}

const char* verdict(bool met, bool judged) { return !judged ? "" : met ? "  goal met" : "  GOAL MISSED"; }

int parseOptions(int argc, char** argv, Options& o) {
  bool goalGiven = false;
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
    auto count = [&](int& out, double low, double high) {
      double d = 0;
      if (!number(d, low) || d > high || d != std::floor(d)) return false;
      out = static_cast<int>(d);
      return true;
    };
    int n = 0;
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
    } else if (a == "--goal" && count(n, 1, 4)) {
      if (!goalGiven) std::fill(o.goal, o.goal + 5, false);
      goalGiven = true;
      o.goal[n] = true;
      if (n == 1 || n == 4) o.goal[1] = o.goal[4] = true;
    } else if (a == "--runs" && count(o.runs, 1, 99)) {
    } else if (a == "--seconds" && number(o.seconds, 0.5)) {
    } else if (a == "--rate" && number(o.rate, 1)) {
    } else if (a == "--instruments" && count(o.instruments, 1, 100000)) {
    } else if (a == "--ceiling-from" && number(o.ceilingFrom, 1)) {
    } else if (a == "--ceiling-step" && number(o.ceilingStep, 1)) {
    } else if (a == "--ceiling-seconds" && number(o.ceilingSeconds, 0.5)) {
    } else if (a == "--scale-instruments" && count(o.scaleInstruments, 1, 100000)) {
    } else if (a == "--scale-rate" && number(o.scaleRate, 1)) {
    } else if (a == "--scale-seconds" && number(o.scaleSeconds, 0.5)) {
    } else if ((a == "--feedsim" && value(o.feedsim)) || (a == "--tavro" && value(o.tavro))) {
    } else {
      std::fprintf(stderr, "e2ebench: bad option or value at \"%s\"\n%s", a.c_str(), USAGE);
      return 2;
    }
  }
  if (o.rate / o.instruments > 1000 || o.scaleRate / o.scaleInstruments > 1000) {
    std::fprintf(stderr, "e2ebench: feedsim sends at most 1000 updates/s per instrument\n");
    return 2;
  }
  return 0;
}

// Runs one scenario in its own directory under `work`.
Figures runScenario(const Options& o, const Scenario& s, const std::string& work, int& serial, std::string& dir) {
  dir = work + "/" + std::to_string(++serial);
  if (::mkdir(dir.c_str(), 0700) != 0) {
    Figures f;
    f.failure = "cannot make " + dir;
    return f;
  }
  Run run(o, s, dir);
  return run.execute();
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (int rc = parseOptions(argc, argv, o)) return rc < 0 ? 0 : rc;
  setLogLevel(1);
  ::signal(SIGPIPE, SIG_IGN);
  ::sched_getaffinity(0, sizeof startAffinity, &startAffinity);
  bool twoCpus = ::sysconf(_SC_NPROCESSORS_ONLN) >= 2;
  if (o.pin && !twoCpus) {
    std::fprintf(stderr, "e2ebench: --pin needs two CPUs\n");
    return 2;
  }
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
  std::fflush(stdout);

  const bool judged = !o.quick;
  const int trips = o.quick ? 2000 : 20000;
  bool allOk = true;
  int serial = 0;
  std::string dir;

  // 1 and 4: cost and latency at a steady rate, several runs.
  std::vector<double> costs, benchCosts, ratios, updateCosts, perUpdateCounts;
  Scenario steady;
  steady.instruments = o.quick ? 100 : o.instruments;
  steady.rate = o.quick ? 2000 : o.rate;
  steady.seconds = o.quick ? 2 : o.seconds;
  steady.warmupSeconds = o.quick ? 0.3 : 2;
  steady.liveWaitMs = 30000;
  steady.setupLimitSeconds = o.quick ? 60 : 300;
  steady.pin = o.pin;
  steady.checkLastValues = true;
  int runs = o.quick ? 1 : o.runs;
  if (o.goal[1]) {
    for (int r = 1; r <= runs; ++r) {
      std::printf("cost and latency, run %d of %d: %d instruments x %d loops, %.0f updates/s, %g s\n", r, runs,
                  steady.instruments, ITEMS_PER_INSTRUMENT, steady.rate, steady.seconds);
      Reference ref = measureReference(trips);
      std::fflush(stdout);
      Figures f = runScenario(o, steady, work, serial, dir);
      printCommon(steady, f);
      if (f.windowSeconds > 0) {
        Thirds t = thirdsOf(f);
        printThirds(t, keepsUp(f, t, steady.instruments) ? "no backlog" : "BACKLOG");
        double cost = f.usPerAdvise(f.tavroCpuSeconds), bench = f.usPerAdvise(f.benchCpuSeconds);
        double simPerUpdate = f.usPerUpdate(f.feedsimCpuSeconds), perUpdate = f.usPerUpdate(f.tavroCpuSeconds);
        std::printf("  cost: TavroDDE %s us of CPU per advise message, %s us per feed update (%.2f messages per "
                    "update); the clients %s us per message read; feedsim %s us per update sent\n",
                    fixed(cost, 2).c_str(), fixed(perUpdate, 2).c_str(),
                    f.fresh ? static_cast<double>(f.advises) / static_cast<double>(f.fresh) : 0.0,
                    fixed(bench, 2).c_str(), fixed(simPerUpdate, 2).c_str());
        // A loop left on an old value is a wrong figure in a spreadsheet, whatever the load.
        if (f.staleLoops > 0) {
          f.ok = false;
          if (f.failure.empty()) f.failure = std::to_string(f.staleLoops) + " loops missed their value's last change";
        }
        if (cost >= 0) costs.push_back(cost);
        if (perUpdate >= 0) updateCosts.push_back(perUpdate);
        if (f.fresh) perUpdateCounts.push_back(static_cast<double>(f.advises) / static_cast<double>(f.fresh));
        if (bench >= 0) benchCosts.push_back(bench);
        Latency l = latencyOf(f);
        if (ref.ok && ref.sumUs() > 0) {
          double ratio = static_cast<double>(l.p99) / ref.sumUs();
          ratios.push_back(ratio);
          std::printf("  latency: p99 %s = %.1fx the reference's %s\n", micros(static_cast<double>(l.p99)).c_str(), ratio,
                      micros(ref.sumUs()).c_str());
        }
      }
      printEnd(f, dir);
      allOk = allOk && f.ok;
    }
  }

  // 2: the ceiling, pinned, rising in fresh processes until a step falls behind.
  double ceiling = -1, ceilingMessages = -1, firstMiss = -1, feedsimBest = -1;
  bool generatorBound = false;
  if (o.goal[2]) {
    Scenario step;
    step.instruments = o.quick ? 100 : o.instruments;
    step.seconds = o.quick ? 1.5 : o.ceilingSeconds;
    step.warmupSeconds = o.quick ? 0.3 : 2;
    step.liveWaitMs = 30000;
    step.setupLimitSeconds = o.quick ? 60 : 300;
    step.pin = twoCpus;
    step.checkLastValues = true;
    double from = o.quick ? 4000 : o.ceilingFrom, stepUp = o.quick ? 4000 : o.ceilingStep;
    double top = 1000.0 * step.instruments;  // feedsim's most per instrument
    int maxSteps = o.quick ? 1 : 12, bisections = o.quick ? 0 : 2;
    std::printf("ceiling: %d instruments x %d loops, %g s per step, %s; a step keeps up when what feedsim sent "
                "arrives (all but the values from before the loops, two per instrument, and 0.1%%), each third "
                "delivers what was sent in it (1%%), and its latency does not climb\n",
                step.instruments, ITEMS_PER_INSTRUMENT, step.seconds,
                step.pin ? "feedsim on CPU 0, TavroDDE and the clients on CPU 1" : "unpinned (one CPU)");
    // A step that keeps up sets the ceiling at what it delivered; one where
    // feedsim could not send what was asked ends the search, as no higher
    // step can tell more.
    auto tryRate = [&](double rate) {
      step.rate = rate;
      Figures f = runScenario(o, step, work, serial, dir);
      bool up = false;
      double sent = feedsimRate(f);
      feedsimBest = std::max(feedsimBest, sent);
      if (f.windowSeconds > 0) {
        Thirds t = thirdsOf(f);
        up = f.ok && keepsUp(f, t, step.instruments);
        double delivered = (t.rate[0] + t.rate[1] + t.rate[2]) / 3;
        if (up && delivered > ceiling) {
          ceiling = delivered;
          ceilingMessages = static_cast<double>(f.advises) / f.windowSeconds;
        }
        if (up && sent < 0.95 * rate) generatorBound = true;
        Latency l = latencyOf(f);
        std::printf("  %6.0f updates/s: feedsim sent %.0f/s, %ld of them not delivered; thirds delivered/sent "
                    "%.0f/%.0f, %.0f/%.0f, %.0f/%.0f per s; p50 %s p99 %s; CPU TavroDDE %s, clients %s, feedsim %s "
                    "(%s us per message): %s\n",
                    rate, sent, undelivered(f), t.rate[0], t.sent[0], t.rate[1], t.sent[1], t.rate[2], t.sent[2], micros(static_cast<double>(l.p50)).c_str(),
                    micros(static_cast<double>(l.p99)).c_str(), percent(f.percentOfCore(f.tavroCpuSeconds)).c_str(),
                    percent(f.percentOfCore(f.benchCpuSeconds)).c_str(),
                    percent(f.percentOfCore(f.feedsimCpuSeconds)).c_str(), fixed(f.usPerAdvise(f.tavroCpuSeconds), 2).c_str(),
                    up ? "keeps up" : "FALLS BEHIND");
      }
      if (!f.ok && f.windowSeconds <= 0) {
        printEnd(f, dir);
        allOk = false;
      } else if (!f.ok) {
        std::printf("    (%s)\n", f.failure.c_str());
      }
      std::fflush(stdout);
      return up;
    };
    double rate = from, lastUp = -1;
    for (int i = 0; i < maxSteps && rate <= top && !generatorBound; ++i, rate += stepUp) {
      if (!tryRate(rate)) {
        firstMiss = rate;
        break;
      }
      lastUp = rate;
    }
    for (int b = 0; b < bisections && lastUp > 0 && firstMiss > 0 && !generatorBound; ++b) {
      double mid = std::round((lastUp + firstMiss) / 2 / 1000) * 1000;
      if (mid <= lastUp || mid >= firstMiss) break;
      if (tryRate(mid)) lastUp = mid;
      else firstMiss = mid;
    }
    if (ceiling > 0)
      std::printf("  highest rate kept up: %.0f updates/s delivered (%.0f advise messages/s)%s\n", ceiling,
                  ceilingMessages,
                  generatorBound ? ": all feedsim could send on its core; TavroDDE was not the limit"
                  : firstMiss > 0 ? "" : ", the highest tried");
  }

  // 3: scale.
  Figures scale;
  Scenario big;
  big.instruments = o.quick ? 2000 : o.scaleInstruments;
  big.rate = o.quick ? 1000 : o.scaleRate;
  big.seconds = o.quick ? 2 : o.scaleSeconds;
  big.warmupSeconds = o.quick ? 0.3 : 2;
  big.liveWaitMs = 120000;
  big.setupLimitSeconds = o.quick ? 60 : 900;
  big.pin = o.pin;
  if (o.goal[3]) {
    std::printf("scale: %d instruments x %d loops = %d loops, %.0f updates/s (%g per instrument), %g s\n",
                big.instruments, ITEMS_PER_INSTRUMENT, big.instruments * ITEMS_PER_INSTRUMENT, big.rate,
                big.rate / big.instruments, big.seconds);
    std::fflush(stdout);
    scale = runScenario(o, big, work, serial, dir);
    printCommon(big, scale);
    if (scale.setupFeedWaitMs > 0)
      std::printf("  feed during set-up: feedsim's socket to TavroDDE was full, and took nothing, for up to %ld ms "
                  "at a time\n",
                  scale.setupFeedWaitMs);
    else if (scale.setupFeedWaitMs == 0)
      std::printf("  feed during set-up: feedsim's socket to TavroDDE never filled (TavroDDE read the feed as it came)\n");
    if (scale.windowSeconds > 0 && !scale.perSecond.empty()) {
      auto mm = std::minmax_element(scale.perSecond.begin(), scale.perSecond.end());
      std::printf("  flow: %lu to %lu updates in each second, longest gap %.1f ms, %d of %d instruments updated\n",
                  *mm.first, *mm.second, scale.longestGapMs, scale.heard, big.instruments);
    }
    if (scale.loops > 0 && scale.rssKb >= 0 && scale.rssBeforeKb >= 0)
      std::printf("  memory: %.0f bytes per loop (RSS %s with the loops against %s before the first)\n",
                  static_cast<double>(scale.rssKb - scale.rssBeforeKb) * 1024 / scale.loops,
                  megabytes(scale.rssKb).c_str(), megabytes(scale.rssBeforeKb).c_str());
    printEnd(scale, dir);
    allOk = allOk && scale.ok;
  }

  std::printf("goals%s:\n", judged ? "" : " (quick run: figures only, not judged)");
  if (o.goal[1]) {
    double cost = median(costs);
    std::printf("  1 cost <= %.1f us of TavroDDE CPU per advise message:  %s us (median of %zu; %s us per feed update, "
                "%s messages per update; the clients %s us per message)%s\n",
                GOAL_COST_US, fixed(cost, 2).c_str(), costs.size(), fixed(median(updateCosts), 2).c_str(),
                fixed(median(perUpdateCounts), 2).c_str(), fixed(median(benchCosts), 2).c_str(),
                verdict(cost >= 0 && cost <= GOAL_COST_US, judged));
  }
  if (o.goal[2]) {
    std::printf("  2 ceiling, aim %.0f updates/s:                       %s updates/s%s (feedsim sent up to %.0f/s)%s\n",
                GOAL_CEILING, ceiling > 0 ? fixed(ceiling, 0).c_str() : "none",
                firstMiss > 0 && !generatorBound ? "" : " or more", feedsimBest, verdict(ceiling >= GOAL_CEILING, judged));
  }
  if (o.goal[3] && scale.windowSeconds > 0) {
    double rate = static_cast<double>(scale.fresh) / scale.windowSeconds;
    bool everyOne = scale.live == big.instruments && scale.heard == big.instruments;
    bool flowing = everyOne && rate >= std::min(GOAL_SCALE_RATE, 0.99 * big.rate) && scale.longestGapMs < GOAL_GAP_MS;
    double mb = static_cast<double>(scale.rssKb) / 1024;
    std::printf("  3 scale, %d loops: set up in %.2f s (goal < %.0f s)%s\n", scale.loops, scale.setupSeconds,
                GOAL_SETUP_SECONDS,
                verdict(scale.setupSeconds < GOAL_SETUP_SECONDS && scale.loops >= 250000, judged));
    std::printf("                        %.0f updates/s to %d of %d instruments, longest gap %.1f ms%s\n", rate,
                scale.heard, big.instruments, scale.longestGapMs, verdict(flowing && scale.loops >= 250000, judged));
    std::printf("                        RSS %s (goal < %.0f MB), %.0f bytes per loop beside %s before the first%s\n",
                megabytes(scale.rssKb).c_str(), GOAL_SCALE_RSS_MB,
                scale.loops > 0 ? static_cast<double>(scale.rssKb - scale.rssBeforeKb) * 1024 / scale.loops : 0.0,
                megabytes(scale.rssBeforeKb).c_str(), verdict(scale.rssKb >= 0 && mb < GOAL_SCALE_RSS_MB, judged));
  }
  if (o.goal[4]) {
    double ratio = median(ratios);
    std::string each;
    for (double r : ratios) each += (each.empty() ? "" : " ") + fixed(r, 1) + "x";
    std::printf("  4 latency p99 <= %.0fx the reference (one way TCP + Unix): %sx (median of %s)%s\n",
                GOAL_LATENCY_RATIO, fixed(ratio, 1).c_str(), each.c_str(),
                verdict(ratio >= 0 && ratio <= GOAL_LATENCY_RATIO, judged));
  }
  std::printf("reassembly and field updates into the cache: see ChannelBench and StockBench\n");

  if (o.keep || !allOk) {
    std::printf("logs kept in %s\n", work.c_str());
  } else {
    std::string cmd = "rm -rf '" + work + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "e2ebench: could not remove %s\n", work.c_str());
  }
  return allOk ? 0 : 1;
}
