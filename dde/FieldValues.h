#pragma once
// The latest text of every field of one instrument, by field id: a sorted
// vector, grown one entry at a time. An instrument carries a few dozen
// fields and is looked up on every update; a tree spends twice the memory
// on its nodes, which adds up to megabytes over ten thousand instruments.

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

class FieldValues {
 public:
  typedef std::pair<int, std::string> value_type;
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
  std::string& operator[](int fid) {
    iterator it = lowerBound(fid);
    if (it != m_entries.end() && it->first == fid) return it->second;
    std::size_t at = static_cast<std::size_t>(it - m_entries.begin());
    m_entries.reserve(m_entries.size() + 1);  // exactly one more: no slack per instrument
    return m_entries.insert(m_entries.begin() + static_cast<std::ptrdiff_t>(at), value_type(fid, std::string()))
        ->second;
  }

 private:
  iterator lowerBound(int fid) {
    return std::lower_bound(m_entries.begin(), m_entries.end(), fid,
                            [](const value_type& entry, int key) { return entry.first < key; });
  }

  std::vector<value_type> m_entries;
};
