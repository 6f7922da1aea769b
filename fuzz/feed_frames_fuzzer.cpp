// Bytes from the feed server, as the program's sink receives them: frame
// reassembly over arbitrary splits, frame checks, then the sink's dispatch of
// images, updates, statuses, pings and publish frames.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "feed/QelPSink.h"
#include "support/Log.h"

namespace {

class CheckingSink : public QelPSink {
 public:
  bool handleRecvMessage(QelMessage* msg) override {
    // Whatever is delivered must be a whole, well-formed frame.
    if (!msg->isValid() || msg->getLength() < QELMSG_MIN_LENGTH ||
        msg->getDataLength() + msg->getRIDLength() + QELMSG_MIN_LENGTH != msg->getLength())
      std::abort();
    return QelPSink::handleRecvMessage(msg);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  setLogLevel(0);
  CheckingSink sink;
  // Records in every state the input may speak of.
  sink.setRecordStatus("A", QELSTATUS_OPEN_WAIT);
  sink.setRecordStatus("B", QELSTATUS_OPEN);
  sink.setRecordStatus("C", QELSTATUS_STALE);
  if (size == 0) return 0;
  // The first byte picks the read size, so every split of the stream is tried.
  std::size_t chunk = static_cast<std::size_t>(data[0]) + 1;
  const char* bytes = reinterpret_cast<const char*>(data + 1);
  std::size_t left = size - 1;
  while (left > 0 && !sink.isDisconnectPending()) {
    std::size_t n = left < chunk ? left : chunk;
    sink.receive(bytes, n);
    bytes += n;
    left -= n;
  }
  return 0;
}
