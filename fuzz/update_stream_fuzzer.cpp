// An update stream as the feed would send it in a message's data: read it
// command by command, apply it to a record, then encode the record and check
// that the encoding reads back to a record of the same length.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>

#include "feed/QelRecord.h"
#include "feed/QelUpdate.h"
#include "support/Log.h"

namespace {

// Keeps the length invariant under watch while the stream is applied.
class CheckingListener : public QelRecordListener {
 public:
  void handleFieldUpdate(QelRecord& rec, int row, QelField& field) override {
    if (rec.getField(static_cast<unsigned>(row), field.getFID()) != &field) std::abort();
  }
  void handleRowDelete(QelRecord& rec, int row) override {
    if (static_cast<unsigned>(row) >= rec.getNumRows()) std::abort();
  }
  void handleRowInsert(QelRecord& rec, int row) override {
    if (rec.getCurrentRow() != static_cast<unsigned>(row)) std::abort();
  }
  void handleRowAdd(QelRecord& rec, int row) override {
    if (static_cast<unsigned>(row) >= rec.getNumRows()) std::abort();
  }
  void handleClear(QelRecord& rec) override {
    if (rec.getNumRows() != 0 || rec.getUpdateLength() != 5) std::abort();
  }
};

void readThrough(char* data, unsigned size) {
  QelUpdate upd;
  upd.setBuffer(data, size);
  upd.startIterating();
  char command;
  unsigned row = 0, count = 0;
  QelField* field = nullptr;
  while (upd.getCommand(command, row, count)) {
    while (upd.getField(field))
      if (field->bytes() < data || field->getData() + field->getLength() > data + size) std::abort();
  }
  upd.stopIterating();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::ostream discard(nullptr);
  setLogStreams(&discard);
  setLogLevel(4);
  if (size > 1u << 20) return 0;

  // An exact-size copy, so that any read past the end is caught.
  std::unique_ptr<char[]> stream(new char[size]);
  if (size) std::memcpy(stream.get(), data, size);
  const unsigned length = static_cast<unsigned>(size);
  readThrough(stream.get(), length);

  QelRecord rec("FUZZ");
  CheckingListener checker;
  rec.registerHandleFieldUpdate(&checker);
  rec.registerHandleRowDelete(&checker);
  rec.registerHandleRowInsert(&checker);
  rec.registerHandleRowAdd(&checker);
  rec.registerHandleClear(&checker);
  QelUpdate upd;
  upd.setBuffer(stream.get(), length);
  upd.apply(rec);

  // The encoding takes exactly the update length, except that a record
  // without fields (length 5) has no room for its CLEAR and is refused.
  const std::uint32_t encodedLength = rec.getUpdateLength();
  std::unique_ptr<char[]> encoded(new char[encodedLength]);
  QelUpdate writer;
  writer.setWorkingBuffer(encoded.get(), encodedLength);
  const bool written = rec.toUpdate(writer);
  if (written != (encodedLength > 5)) std::abort();
  if (written) {
    if (writer.getDataLength() != encodedLength) std::abort();
    readThrough(encoded.get(), writer.getDataLength());
    QelRecord copy;
    QelUpdate reader;
    reader.setBuffer(encoded.get(), writer.getDataLength());
    reader.apply(copy);
    if (copy.getUpdateLength() != encodedLength) std::abort();
  }

  setLogStreams(nullptr);
  return 0;
}
