// The login answer's market list: any text fills the market table with
// well-formed entries only, and every entry keeps the table's invariant.
#include <cstdint>
#include <cstdlib>

#include "app/TavroDDE.h"
#include "feed/Market.h"
#include "support/Log.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  setLogLevel(0);
  clearMarkets();
  int n = parseMarketList(reinterpret_cast<const char*>(data), size);
  if (n < 0 || marketMap.size() > static_cast<std::size_t>(n)) std::abort();
  for (const auto& entry : marketSymbols)
    if (!marketMap.count(entry.second)) std::abort();
  for (const auto& entry : marketMap)
    if (entry.first.empty() || entry.first.size() > MAX_NAME_LENGTH || entry.second->getSymbol() != entry.first)
      std::abort();
  clearMarkets();
  return 0;
}
