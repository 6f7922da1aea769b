#pragma once
// The live table `ddeclient watch` draws: one row per topic, one column per
// item, redrawn in place on a terminal with ANSI cursor movement. It only
// builds text; the caller decides when to write it and how often.

#include <cstddef>
#include <string>
#include <vector>

class WatchTable {
 public:
  WatchTable(std::vector<std::string> topics, std::vector<std::string> items);
  // False for a cell the table does not have; the value must be printable.
  bool set(std::size_t topic, const std::string& item, const std::string& value);
  bool dirty() const { return m_dirty; }
  // The whole table. After the first drawing, the cursor first goes back up
  // over the previous one, and each line clears what was left of it.
  std::string render();
  std::size_t lines() const { return m_topics.size() + 1; }

 private:
  std::vector<std::string> m_topics;
  std::vector<std::string> m_items;
  std::vector<std::vector<std::string>> m_values;
  bool m_dirty = true;
  bool m_drawn = false;
};
