#pragma once
// Records and fields for the record and update-stream tests: fields made
// from text, and what a field or a whole record holds, as text.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "feed/QelField.h"
#include "feed/QelRecord.h"
#include "feed/QelUpdate.h"

using FieldPtr = std::unique_ptr<QelField, void (*)(QelField*)>;

inline FieldPtr makeField(QelFID fid, const std::string& data, std::uint16_t flags = 0) {
  return FieldPtr(QelField::create(fid, data.data(), static_cast<std::uint32_t>(data.size()), flags),
                  &QelField::release);
}

// The bytes of an update stream of one row holding `fields`.
inline std::string updateRow(const std::vector<std::pair<QelFID, std::string>>& fields) {
  std::string buffer(1 << 20, '\0');
  QelUpdate writer;
  writer.setWorkingBuffer(&buffer[0], static_cast<unsigned>(buffer.size()));
  writer.addRow();
  for (const auto& field : fields) writer.setField(makeField(field.first, field.second).get());
  buffer.resize(writer.getDataLength());
  return buffer;
}

inline std::string dataOf(const QelField* f) { return f ? std::string(f->getData(), f->getLength()) : "<none>"; }

// "a,b|c": the data of each row's fields in stored order.
inline std::string rowsOf(QelRecord& rec) {
  std::uint32_t current = rec.getCurrentRow();
  std::string out;
  for (unsigned r = 0; r < rec.getNumRows(); ++r) {
    if (r) out += "|";
    rec.selectRow(r);
    for (unsigned i = 0; i < rec.getRowNumFIDs(); ++i) {
      if (i) out += ",";
      out += dataOf(rec.getFieldByNum(i));
    }
  }
  if (rec.getNumRows()) rec.selectRow(current);
  return out;
}

// Three rows holding "a", "b", "c" in FID 1, current row 0.
inline void fillThreeRows(QelRecord& rec) {
  rec.setField(makeField(1, "a").get());
  rec.addRow();
  rec.setField(makeField(1, "b").get());
  rec.addRow();
  rec.setField(makeField(1, "c").get());
  rec.selectRow(0);
}

// Registers `listener` for every kind of record event.
inline void listenToAll(QelRecord& rec, QelRecordListener* listener) {
  rec.registerHandleFieldUpdate(listener);
  rec.registerHandleRowDelete(listener);
  rec.registerHandleRowInsert(listener);
  rec.registerHandleRowAdd(listener);
  rec.registerHandleClear(listener);
}
