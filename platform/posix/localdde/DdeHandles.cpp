#include "platform/posix/localdde/DdeHandles.h"

#include <algorithm>
#include <cstring>

#include "support/Log.h"

namespace localdde {

namespace {

// Windows-1252 at 0x80-0x9F, the ANSI code page the A calls stand for; the
// five bytes it leaves undefined map to the control points of their value,
// as Windows maps them.
const wchar_t CP1252_HIGH[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

wchar_t upperChar(wchar_t c) {
  if (c >= L'a' && c <= L'z') return static_cast<wchar_t>(c - 32);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<wchar_t>(c - 32);
  switch (static_cast<std::uint32_t>(c)) {  // the other Windows-1252 letters
    case 0x0161: return static_cast<wchar_t>(0x0160);
    case 0x0153: return static_cast<wchar_t>(0x0152);
    case 0x017E: return static_cast<wchar_t>(0x017D);
    case 0x00FF: return static_cast<wchar_t>(0x0178);
    default: return c;
  }
}

}  // namespace

std::wstring upperKey(const std::wstring& s) {
  std::wstring k(s);
  for (wchar_t& c : k) c = upperChar(c);
  return k;
}

std::wstring fromAnsi(const char* s) {
  std::wstring w;
  for (; *s; ++s) {
    unsigned char b = static_cast<unsigned char>(*s);
    w.push_back(b >= 0x80 && b < 0xA0 ? CP1252_HIGH[b - 0x80] : static_cast<wchar_t>(b));
  }
  return w;
}

std::string toAnsi(const std::wstring& w) {
  std::string s;
  for (wchar_t c : w) {
    std::uint32_t u = static_cast<std::uint32_t>(c);
    char b = '?';
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
      b = static_cast<char>(u);
    } else {
      const wchar_t* hit = std::find(CP1252_HIGH, CP1252_HIGH + 32, c);
      if (hit != CP1252_HIGH + 32) b = static_cast<char>(0x80 + (hit - CP1252_HIGH));
    }
    s.push_back(b);
  }
  return s;
}

// Invalid UTF-8 is taken byte by byte as Latin-1.
std::wstring fromUtf8(const std::string& s) {
  std::wstring w;
  std::size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    std::uint32_t cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
    bool good = n > 0 && i + n <= s.size();
    for (std::size_t k = 1; good && k < n; ++k) {
      unsigned char d = static_cast<unsigned char>(s[i + k]);
      if ((d >> 6) != 2) good = false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if (good && (cp > 0x10FFFF || (n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000)))
      good = false;
    if (!good) {
      w.push_back(static_cast<wchar_t>(c));
      ++i;
      continue;
    }
    w.push_back(static_cast<wchar_t>(cp));
    i += n;
  }
  return w;
}

std::string toUtf8(const std::wstring& w) {
  std::string s;
  for (wchar_t wc : w) {
    std::uint32_t c = static_cast<std::uint32_t>(wc);
    if (c < 0x80) {
      s.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      s.push_back(static_cast<char>(0xC0 | (c >> 6)));
      s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      s.push_back(static_cast<char>(0xE0 | (c >> 12)));
      s.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c <= 0x10FFFF) {
      s.push_back(static_cast<char>(0xF0 | (c >> 18)));
      s.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      s.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      s.push_back('?');
    }
  }
  return s;
}

namespace {

std::uintptr_t valueOf(const void* h) { return reinterpret_cast<std::uintptr_t>(h); }

}  // namespace

std::vector<std::pair<DWORD, long>>::iterator StringEntry::ownerOf(DWORD owner) {
  return std::find_if(owners.begin(), owners.end(), [owner](const std::pair<DWORD, long>& o) { return o.first == owner; });
}

StringEntry* StringTable::find(HSZ h) {
  auto it = m_strings.find(valueOf(h));
  return it == m_strings.end() ? nullptr : &it->second;
}

void StringTable::take(DWORD owner, HSZ h) {
  StringEntry* e = find(h);
  if (!e) return;
  ++e->refs;
  auto o = e->ownerOf(owner);
  if (o != e->owners.end()) ++o->second;
  else e->owners.emplace_back(owner, 1);
}

HSZ StringTable::add(DWORD owner, const std::wstring& text) {
  if (text.empty() || text.size() > DDE_BRIDGE_MAX_NAME) return nullptr;
  std::wstring key = upperKey(text);
  auto k = m_byKey.find(key);
  std::uintptr_t v;
  if (k != m_byKey.end()) {
    v = k->second;
  } else {
    v = m_next++;
    StringEntry e;
    e.text = text;
    e.key = key;
    m_strings[v] = std::move(e);
    m_byKey[key] = v;
  }
  HSZ h = reinterpret_cast<HSZ>(v);
  take(owner, h);
  return h;
}

HSZ StringTable::lookup(const std::wstring& text) const {
  auto k = m_byKey.find(upperKey(text));
  return k == m_byKey.end() ? nullptr : reinterpret_cast<HSZ>(k->second);
}

bool StringTable::release(DWORD owner, HSZ h) {
  auto it = m_strings.find(valueOf(h));
  if (it == m_strings.end()) return false;
  StringEntry& e = it->second;
  auto o = e.ownerOf(owner);
  if (o == e.owners.end()) return false;
  if (--o->second == 0) e.owners.erase(o);
  if (--e.refs == 0) {
    m_byKey.erase(e.key);
    m_strings.erase(it);
  }
  return true;
}

void StringTable::releaseOwner(DWORD owner) {
  for (auto it = m_strings.begin(); it != m_strings.end();) {
    auto o = it->second.ownerOf(owner);
    if (o != it->second.owners.end()) {
      it->second.refs -= o->second;
      it->second.owners.erase(o);
    }
    if (it->second.refs <= 0) {
      m_byKey.erase(it->second.key);
      it = m_strings.erase(it);
    } else {
      ++it;
    }
  }
}

std::string StringTable::utf8Of(HSZ h) {
  StringEntry* e = find(h);
  return e ? toUtf8(e->text) : std::string();
}

int StringTable::compare(HSZ a, HSZ b) {
  if (a == b) return 0;
  StringEntry* x = find(a);
  StringEntry* y = find(b);
  if (x && y) return x->key < y->key ? -1 : 1;
  return valueOf(a) < valueOf(b) ? -1 : 1;
}

namespace {
// Slot index in the low 24 bits (plus one: no handle is null), uses above.
const unsigned SLOT_BITS = 24;
const std::uintptr_t SLOT_MASK = (std::uintptr_t(1) << SLOT_BITS) - 1;
}  // namespace

HDDEDATA DataTable::add(DWORD owner, const BYTE* bytes, std::size_t size, HSZ item, UINT format, bool appOwned) {
  std::size_t slot;
  if (!m_free.empty()) {
    slot = m_free.back();
    m_free.pop_back();
  } else {
    if (m_slots.size() >= SLOT_MASK) return nullptr;
    slot = m_slots.size();
    m_slots.emplace_back();
    m_uses.push_back(0);
  }
  DataEntry& d = m_slots[slot];
  if (bytes) d.bytes.assign(reinterpret_cast<const char*>(bytes), size);
  else d.bytes.assign(size, '\0');
  d.item = item;
  d.format = format;
  d.owner = owner;
  d.appOwned = appOwned;
  d.used = true;
  std::uintptr_t uses = ++m_uses[slot];
  return reinterpret_cast<HDDEDATA>((uses << SLOT_BITS) | (slot + 1));
}

DataEntry* DataTable::find(HDDEDATA h) {
  std::uintptr_t v = valueOf(h);
  std::size_t slot = (v & SLOT_MASK) - 1;
  if ((v & SLOT_MASK) == 0 || slot >= m_slots.size() || !m_slots[slot].used) return nullptr;
  std::uintptr_t uses = m_uses[slot];
  if ((v >> SLOT_BITS) != (uses & (~std::uintptr_t(0) >> SLOT_BITS))) return nullptr;
  return &m_slots[slot];
}

void DataTable::release(std::size_t slot) {
  DataEntry& d = m_slots[slot];
  d.used = false;
  // A large value's room is given back; a usual one's is kept for the next.
  if (d.bytes.capacity() > 4096) std::string().swap(d.bytes);
  m_free.push_back(static_cast<std::uint32_t>(slot));
}

bool DataTable::erase(HDDEDATA h) {
  DataEntry* d = find(h);
  if (!d) return false;
  release(static_cast<std::size_t>(d - m_slots.data()));
  return true;
}

void DataTable::eraseOwner(DWORD owner) {
  for (std::size_t i = 0; i < m_slots.size(); ++i)
    if (m_slots[i].used && m_slots[i].owner == owner) release(i);
}

bool DataTable::consume(HDDEDATA h, std::string& bytes, UINT& format) {
  DataEntry* d = find(h);
  if (!d) {
    LOG_WRN("DDE callback returned an unknown data handle " << static_cast<void*>(h));
    return false;
  }
  bytes = d->bytes;
  if (d->format) format = d->format;
  if (!d->appOwned) erase(h);
  return true;
}

bool DataTable::consumePairs(HDDEDATA h, std::size_t most, std::vector<HSZPAIR>& pairs) {
  DataEntry* d = find(h);
  if (!d) {
    LOG_WRN("DDE callback returned an unknown data handle " << static_cast<void*>(h));
    return false;
  }
  const std::string& bytes = d->bytes;
  for (std::size_t off = 0; off + sizeof(HSZPAIR) <= bytes.size() && pairs.size() < most; off += sizeof(HSZPAIR)) {
    HSZPAIR p;
    std::memcpy(&p, bytes.data() + off, sizeof p);
    if (!p.hszSvc && !p.hszTopic) break;
    pairs.push_back(p);
  }
  if (!d->appOwned) erase(h);
  return true;
}

UINT FormatTable::registerName(const std::wstring& name) {
  std::wstring key = upperKey(name);
  auto it = m_byKey.find(key);
  if (it != m_byKey.end()) return it->second;
  if (m_next > 0xFFFF) return 0;
  UINT f = m_next++;
  m_byKey[key] = f;
  m_names[f] = toUtf8(name);
  m_wire.erase(f);
  return f;
}

const DdeBridgeFormat& FormatTable::wire(UINT format) {
  auto cached = m_wire.find(format);
  if (cached != m_wire.end()) return cached->second;
  auto it = m_names.find(format);
  DdeBridgeFormat f = it != m_names.end() ? DdeBridgeFormat::registered(it->second) : DdeBridgeFormat::standard(format);
  return m_wire.emplace(format, f).first->second;
}

bool FormatTable::resolve(const DdeBridgeFormat& f, UINT& out) const {
  if (f.name.empty()) {
    out = f.code;
    return out != 0;
  }
  auto it = m_byKey.find(upperKey(fromUtf8(f.name)));
  if (it == m_byKey.end()) return false;
  out = it->second;
  return true;
}

}  // namespace localdde
