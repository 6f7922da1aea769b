// Frame reassembly through the channel against a plain memcpy of the same
// bytes: frames of 64 B to 4 KiB, delivered in reads of random sizes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench/BenchRatio.h"
#include "net/QelChannel.h"
#include "support/Log.h"

namespace {

class CountingChannel : public QelChannel {
 public:
  std::size_t frames = 0;
  std::size_t bytes = 0;
  bool handleRecvMessage(QelMessage* msg) override {
    ++frames;
    bytes += msg->getLength();
    return true;
  }
};

struct Stream {
  std::string bytes;
  std::vector<std::size_t> reads;  // sizes of the reads that carry it
};

const Stream& stream() {
  static Stream s = [] {
    Stream out;
    std::mt19937 rng(42);
    std::uniform_int_distribution<int> size(64, 4096);
    while (out.bytes.size() < (8u << 20)) {
      std::uint32_t length = static_cast<std::uint32_t>(size(rng));
      std::string rid = "L1^LSE^VOD";
      std::string f(length, 'x');
      writeLE32(&f[0], length);
      f[4] = QELMSG_UPDATE;
      f[5] = static_cast<char>(rid.size());
      f[6] = 0;
      std::memcpy(&f[7], rid.data(), rid.size());
      f[7 + rid.size()] = 0;
      f[length - 1] = 'J';
      out.bytes += f;
    }
    std::uniform_int_distribution<std::size_t> split(1, 65536);
    for (std::size_t done = 0; done < out.bytes.size();) {
      std::size_t n = std::min(split(rng), out.bytes.size() - done);
      out.reads.push_back(n);
      done += n;
    }
    return out;
  }();
  return s;
}

void BM_Memcpy(benchmark::State& state) {
  const Stream& s = stream();
  std::vector<char> dest(QelChannel::READ_BUFFER_SIZE);
  for (auto _ : state) {
    std::size_t pos = 0;
    for (std::size_t n : s.reads) {
      std::memcpy(dest.data(), s.bytes.data() + pos, n);
      benchmark::DoNotOptimize(dest.data());
      pos += n;
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.bytes.size()));
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);

void BM_ChannelReassembly(benchmark::State& state) {
  setLogLevel(0);
  const Stream& s = stream();
  CountingChannel channel;
  for (auto _ : state) {
    std::size_t pos = 0;
    for (std::size_t n : s.reads) {
      channel.receive(s.bytes.data() + pos, n);
      pos += n;
    }
  }
  if (channel.bytes != state.iterations() * s.bytes.size()) state.SkipWithError("frames lost");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.bytes.size()));
  state.counters["frames"] = benchmark::Counter(static_cast<double>(channel.frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ChannelReassembly)->Unit(benchmark::kMillisecond);
TAVRO_BENCH_RATIO("BM_ChannelReassembly", "BM_Memcpy", "bytes_per_second", 0.5);

}  // namespace
