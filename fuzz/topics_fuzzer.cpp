// Topics typed by users, through the record identifier grammar and back: no
// result is ever longer than its buffer, and the canonical symbol of a
// resolvable topic maps back to the same identifiers.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "feed/Market.h"
#include "support/Log.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  setLogLevel(0);
  if (marketMap.empty()) {
    addMarket("LSE", "LSE", 'R', 0);
    addMarket("NQ", "NASDAQ", 'D', 1);
  }
  std::string topic(reinterpret_cast<const char*>(data), size);
  topic = topic.c_str();  // a topic is a C string
  std::string rid = makeRID(topic.c_str());
  std::string symRid = makeSymRID(topic.c_str());
  if (rid.size() > MAX_NAME_LENGTH || symRid.size() > MAX_NAME_LENGTH) std::abort();
  std::string symbol = makeSymbol(rid.c_str());
  if (symbol.size() > MAX_NAME_LENGTH) std::abort();
  if (rid.compare(0, 3, "L1^") == 0) {
    if (makeRID(symbol.c_str()) != rid) std::abort();
    if (makeSymRID(symbol.c_str()) != symRid) std::abort();
  }
  makeSymbol(topic.c_str());
  return 0;
}
