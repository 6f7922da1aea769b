#include "tools/feedsim/SimStream.h"

#include "feed/QelUpdate.h"
#include "support/Log.h"

namespace {

std::size_t rowBytes(const SimRow& row) {
  std::size_t n = 0;
  for (const SimFieldValue& f : row) n += QELFIELD_SIZE + f.text.size();
  return n;
}

bool addFields(QelUpdate& upd, const SimRow& row) {
  for (const SimFieldValue& f : row) {
    QelField* field = QelField::create(f.fid, f.text.data(), static_cast<std::uint32_t>(f.text.size()));
    if (!field) return false;
    bool ok = upd.setField(field);
    QelField::release(field);
    if (!ok) return false;
  }
  return true;
}

}  // namespace

bool simImageStream(const std::vector<SimRow>& rows, std::string& out) {
  std::size_t size = QelUpdate::NUM_ITEMS_SIZE + 5;  // the writer keeps 5 bytes of room for CLEAR
  for (const SimRow& row : rows) size += 5 + rowBytes(row);
  std::vector<char> buffer(size);
  QelUpdate upd;
  upd.setWorkingBuffer(buffer.data(), static_cast<unsigned>(buffer.size()));
  bool ok = upd.clear();
  for (const SimRow& row : rows) ok = ok && upd.addRow() && addFields(upd, row);
  if (!ok) {
    LOG_ERR("could not write an image of " << rows.size() << " rows");
    return false;
  }
  out.assign(upd.getBuffer(), upd.getDataLength());
  return true;
}

bool simSelectStream(unsigned row, const SimRow& fields, std::string& out) {
  std::vector<char> buffer(QelUpdate::NUM_ITEMS_SIZE + 9 + rowBytes(fields));
  QelUpdate upd;
  upd.setWorkingBuffer(buffer.data(), static_cast<unsigned>(buffer.size()));
  if (!upd.selectRow(row) || !addFields(upd, fields)) {
    LOG_ERR("could not write an update of " << fields.size() << " fields");
    return false;
  }
  out.assign(upd.getBuffer(), upd.getDataLength());
  return true;
}
