#pragma once
// Level-1 updates as the feed sends them: five price fields with random
// values, round robin over instruments LSE_S0000, LSE_S0001, ...

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "feed/QelField.h"
#include "feed/QelUpdate.h"

const int BENCH_FIELDS_PER_UPDATE = 5;
const int BENCH_FIDS[BENCH_FIELDS_PER_UPDATE] = {4, 5, 3, 1, 16};  // BID OFFER CUR CHANGE VOLUME

struct BenchUpdate {
  std::string symbol;
  std::string stream;                               // the update stream of the frame
  std::vector<std::pair<int, std::string>> values;  // the same fields, decoded
};

inline std::string benchSymbol(int instrument) {
  char text[32];
  std::snprintf(text, sizeof text, "LSE_S%04d", instrument);
  return text;
}

inline std::vector<BenchUpdate> makeBenchUpdates(int count, int instruments) {
  std::vector<BenchUpdate> out;
  std::mt19937 rng(1);
  std::uniform_int_distribution<int> price(1000, 99999);
  for (int i = 0; i < count; ++i) {
    BenchUpdate u;
    u.symbol = benchSymbol(i % instruments);
    char buffer[512];
    QelUpdate writer;
    writer.setWorkingBuffer(buffer, sizeof buffer);
    writer.selectRow(0);
    for (int fid : BENCH_FIDS) {
      char text[32];
      int p = price(rng);
      std::snprintf(text, sizeof text, "%d.%02d", p / 100, p % 100);
      QelField* field = QelField::create(static_cast<QelFID>(fid), text, static_cast<std::uint32_t>(std::strlen(text)));
      writer.setField(field);
      QelField::release(field);
      u.values.emplace_back(fid, text);
    }
    u.stream.assign(buffer, writer.getDataLength());
    out.push_back(std::move(u));
  }
  return out;
}
