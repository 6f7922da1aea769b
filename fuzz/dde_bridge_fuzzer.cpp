// Bytes as a DDE bridge peer would send them: cut into frames by the reader
// in chunks of varying size, and also taken whole as one frame body. Every
// message that decodes must encode back to the very bytes it came from.
#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <string>

#include "platform/posix/localdde/DdeBridge.h"
#include "support/Log.h"

namespace {

void checkRoundTrip(const DdeBridgeMessage& m) {
  std::string frame;
  if (!ddeBridgeEncode(m, frame)) std::abort();
  if (frame.size() < 5) std::abort();
  DdeBridgeMessage back;
  std::string error;
  if (!ddeBridgeDecode(frame.data() + 4, frame.size() - 4, back, error) || !(back == m)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::ostream discard(nullptr);
  setLogStreams(&discard);
  if (size > 1u << 20) return 0;
  const char* bytes = reinterpret_cast<const char*>(data);

  // The first byte picks the chunk size, so partial frames are exercised too.
  std::size_t chunk = size ? 1 + static_cast<std::uint8_t>(bytes[0]) % 64 : 1;
  DdeBridgeReader reader;
  DdeBridgeMessage m;
  for (std::size_t pos = 0; pos < size; pos += chunk) {
    std::size_t n = size - pos < chunk ? size - pos : chunk;
    reader.append(bytes + pos, n);
    int r;
    while ((r = reader.next(m)) > 0) checkRoundTrip(m);
    if (r < 0) {
      if (reader.error().empty() || reader.next(m) != -1) std::abort();
      break;
    }
    if (reader.buffered() > 4 + DDE_BRIDGE_MAX_MESSAGE) std::abort();
  }

  // The same bytes after a size word, as one body; the encoding is canonical.
  if (size > 4) {
    std::string error;
    if (ddeBridgeDecode(bytes + 4, size - 4, m, error)) {
      std::string frame;
      if (!ddeBridgeEncode(m, frame) || frame.compare(4, std::string::npos, bytes + 4, size - 4) != 0) std::abort();
    } else if (error.empty()) {
      std::abort();
    }
  }

  setLogStreams(nullptr);
  return 0;
}
