#pragma once
// The latest text of every field of one instrument, by field id: a sorted
// vector, grown one entry at a time. An instrument carries a few dozen
// fields and is looked up on every update; a tree spends twice the memory
// on its nodes, which adds up to megabytes over ten thousand instruments.
//
// Each text is a FieldText of twelve bytes, so an entry takes sixteen: most
// values (prices, sizes, codes) fit in place, and a longer one (a name, a
// time stamp) is kept in a string of its own. A std::string would take
// forty bytes an entry, which over fifty thousand instruments of some
// twenty-five fields is fifty megabytes.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

class FieldText {
 public:
  FieldText() { clear(); }
  FieldText(const FieldText& other) : FieldText() { assign(other.data(), other.size()); }
  FieldText(FieldText&& other) noexcept {
    std::memcpy(m_bytes, other.m_bytes, sizeof m_bytes);
    other.clear();
  }
  ~FieldText() { release(); }
  FieldText& operator=(const FieldText& other) {
    if (this != &other) assign(other.data(), other.size());
    return *this;
  }
  FieldText& operator=(FieldText&& other) noexcept {
    if (this != &other) {
      release();
      std::memcpy(m_bytes, other.m_bytes, sizeof m_bytes);
      other.clear();
    }
    return *this;
  }
  FieldText& operator=(const std::string& text) {
    assign(text.data(), text.size());
    return *this;
  }
  FieldText& operator=(const char* text) {
    assign(text, std::strlen(text));
    return *this;
  }

  // `text` may point into this text itself.
  void assign(const char* text, std::size_t n) {
    if (n <= INLINE) {
      char copy[INLINE];
      std::memcpy(copy, text, n);
      release();
      std::memcpy(m_bytes, copy, n);
      m_bytes[n] = '\0';
      m_bytes[TAG] = static_cast<char>(n);
    } else if (onHeap()) {
      heap()->assign(text, n);
    } else {
      std::string* s = new std::string(text, n);
      std::memcpy(m_bytes, &s, sizeof s);
      m_bytes[TAG] = static_cast<char>(HEAP);
    }
  }
  // Exchanges the two texts, storage included: no allocation.
  void swap(FieldText& other) noexcept {
    char bytes[sizeof m_bytes];
    std::memcpy(bytes, m_bytes, sizeof bytes);
    std::memcpy(m_bytes, other.m_bytes, sizeof bytes);
    std::memcpy(other.m_bytes, bytes, sizeof bytes);
  }
  bool equals(const char* text, std::size_t n) const { return size() == n && std::memcmp(data(), text, n) == 0; }

  const char* c_str() const { return onHeap() ? heap()->c_str() : m_bytes; }
  const char* data() const { return c_str(); }
  std::size_t size() const { return onHeap() ? heap()->size() : static_cast<unsigned char>(m_bytes[TAG]); }
  bool empty() const { return size() == 0; }
  std::string str() const { return std::string(data(), size()); }
  operator std::string() const { return str(); }

  friend bool operator==(const FieldText& a, const FieldText& b) { return a.equals(b.data(), b.size()); }
  friend bool operator==(const FieldText& a, const std::string& b) { return a.equals(b.data(), b.size()); }
  friend bool operator==(const std::string& a, const FieldText& b) { return b.equals(a.data(), a.size()); }
  friend bool operator==(const FieldText& a, const char* b) { return a.equals(b, std::strlen(b)); }
  friend bool operator==(const char* a, const FieldText& b) { return b.equals(a, std::strlen(a)); }
  template <typename T>
  friend bool operator!=(const FieldText& a, const T& b) {
    return !(a == b);
  }
  friend bool operator!=(const std::string& a, const FieldText& b) { return !(b == a); }
  friend std::ostream& operator<<(std::ostream& out, const FieldText& t) {
    return out.write(t.data(), static_cast<std::streamsize>(t.size()));
  }

 private:
  // In place: the text, its NUL, and its length in the last byte. On the
  // heap: a std::string*, copied in and out (the bytes are not aligned for
  // a pointer), and HEAP in the last byte.
  static const std::size_t TAG = 11;
  static const std::size_t INLINE = TAG - 1;
  static const unsigned char HEAP = 0xFF;

  bool onHeap() const { return static_cast<unsigned char>(m_bytes[TAG]) == HEAP; }
  std::string* heap() const {
    std::string* s;
    std::memcpy(&s, m_bytes, sizeof s);
    return s;
  }
  void clear() {
    m_bytes[0] = '\0';
    m_bytes[TAG] = 0;
  }
  void release() {
    if (onHeap()) delete heap();
    clear();
  }

  char m_bytes[TAG + 1];
};

class FieldValues {
 public:
  typedef std::pair<int, FieldText> value_type;
  typedef std::vector<value_type>::iterator iterator;
  typedef std::vector<value_type>::const_iterator const_iterator;

  iterator begin() { return m_entries.begin(); }
  iterator end() { return m_entries.end(); }
  const_iterator begin() const { return m_entries.begin(); }
  const_iterator end() const { return m_entries.end(); }
  std::size_t size() const { return m_entries.size(); }
  bool empty() const { return m_entries.empty(); }

  iterator find(int fid) {
    iterator it = lowerBound(fid);
    return it != m_entries.end() && it->first == fid ? it : m_entries.end();
  }
  const_iterator find(int fid) const { return const_cast<FieldValues*>(this)->find(fid); }
  std::size_t count(int fid) const { return find(fid) != end() ? 1 : 0; }

  // The text of `fid`, made empty when the field is new. Later insertions
  // move the entries, so the reference is for immediate use.
  FieldText& operator[](int fid) {
    bool added;
    return slot(fid, added);
  }
  // As operator[], telling whether the field is new.
  FieldText& slot(int fid, bool& added) {
    iterator it = lowerBound(fid);
    added = !(it != m_entries.end() && it->first == fid);
    if (!added) return it->second;
    std::size_t at = static_cast<std::size_t>(it - m_entries.begin());
    m_entries.reserve(m_entries.size() + 1);  // exactly one more: no slack per instrument
    return m_entries.insert(m_entries.begin() + static_cast<std::ptrdiff_t>(at), value_type(fid, FieldText()))
        ->second;
  }

 private:
  iterator lowerBound(int fid) {
    return std::lower_bound(m_entries.begin(), m_entries.end(), fid,
                            [](const value_type& entry, int key) { return entry.first < key; });
  }

  std::vector<value_type> m_entries;
};
