#pragma once
// The handle tables of the local DDE library: string handles (one per text
// regardless of letter case, counted per owner), data handles and registered
// clipboard formats. Plain tables, no sockets and no event loop.
//
// Text: handles keep code points; the A calls read and write them in
// Windows-1252, the wire carries UTF-8. Letter case is folded for the letters
// of Windows-1252, as atoms are compared.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/ddeml.h"
#include "platform/posix/localdde/DdeBridge.h"

namespace localdde {

std::wstring upperKey(const std::wstring& s);
std::wstring fromAnsi(const char* s);
// A code point Windows-1252 cannot hold becomes '?'.
std::string toAnsi(const std::wstring& w);
// Invalid UTF-8 is taken byte by byte as Latin-1, so no name is lost.
std::wstring fromUtf8(const std::string& s);
std::string toUtf8(const std::wstring& w);

// Library-held references to string handles are counted under this owner,
// apart from the application's, so an application that frees a handle it
// was only lent cannot take the library's reference with it.
const DWORD LIBRARY_OWNER = 0;

struct StringEntry {
  std::wstring text;  // as first created
  std::wstring key;
  long refs = 0;
  // References per owner: the library and an instance or two, so a short
  // list (there is one entry per topic, and a quarter of a million loops
  // may name fifty thousand of them).
  std::vector<std::pair<DWORD, long>> owners;
  std::vector<std::pair<DWORD, long>>::iterator ownerOf(DWORD owner);
};

class StringTable {
 public:
  StringEntry* find(HSZ h);
  void take(DWORD owner, HSZ h);
  // Null for an empty text or one longer than a wire name may be.
  HSZ add(DWORD owner, const std::wstring& text);
  // The handle of `text` if one exists, without taking a reference.
  HSZ lookup(const std::wstring& text) const;
  bool release(DWORD owner, HSZ h);
  // Drops every reference `owner` holds.
  void releaseOwner(DWORD owner);
  std::string utf8Of(HSZ h);
  // Orders distinct handles by their folded text, unknown ones by value.
  int compare(HSZ a, HSZ b);

 private:
  std::unordered_map<std::uintptr_t, StringEntry> m_strings;
  std::map<std::wstring, std::uintptr_t> m_byKey;
  std::uintptr_t m_next = 0x100;
};

struct DataEntry {
  // Any bytes; a slot keeps its string's room for the next handle, so a
  // handle made and freed for every value allocates nothing once warm.
  std::string bytes;
  HSZ item = nullptr;
  UINT format = 0;
  DWORD owner = 0;
  bool appOwned = false;
  bool used = false;
};

class DataTable {
 public:
  // The largest handle an application may create.
  static constexpr std::size_t MAX_BYTES = 16u << 20;
  HDDEDATA add(DWORD owner, const BYTE* bytes, std::size_t size, HSZ item, UINT format, bool appOwned);
  DataEntry* find(HDDEDATA h);
  bool erase(HDDEDATA h);
  void eraseOwner(DWORD owner);
  // Takes over a handle the callback returned: copies its bytes out and
  // frees it, unless the application keeps it (HDATA_APPOWNED).
  bool consume(HDDEDATA h, std::string& bytes, UINT& format);
  // Reads the wildcard answer's pairs up to the null pair, at most `most`,
  // and frees the handle unless the application keeps it.
  bool consumePairs(HDDEDATA h, std::size_t most, std::vector<HSZPAIR>& pairs);

 private:
  // Made and freed for every advise value: slots reused from a free list.
  // A handle is its slot and the slot's use count, so a handle freed and
  // used again is not taken for the slot's next one.
  std::vector<DataEntry> m_slots;
  std::vector<std::uint32_t> m_uses;
  std::vector<std::uint32_t> m_free;
  void release(std::size_t slot);
};

// Registered clipboard formats, one number per name regardless of case.
class FormatTable {
 public:
  UINT registerName(const std::wstring& name);
  // The format as the wire names it; the reference lasts as long as the table.
  const DdeBridgeFormat& wire(UINT format);
  // Only formats registered here can be served, so a name that was never
  // registered is refused rather than registered on a client's behalf.
  bool resolve(const DdeBridgeFormat& f, UINT& out) const;

 private:
  std::map<std::wstring, UINT> m_byKey;
  std::map<UINT, std::string> m_names;  // UTF-8, as first registered
  std::map<UINT, DdeBridgeFormat> m_wire;
  UINT m_next = 0xC000;
};

}  // namespace localdde
