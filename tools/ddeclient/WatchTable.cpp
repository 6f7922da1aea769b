#include "tools/ddeclient/WatchTable.h"

#include <algorithm>
#include <utility>

WatchTable::WatchTable(std::vector<std::string> topics, std::vector<std::string> items)
    : m_topics(std::move(topics)),
      m_items(std::move(items)),
      m_values(m_topics.size(), std::vector<std::string>(m_items.size(), "-")) {}

bool WatchTable::set(std::size_t topic, const std::string& item, const std::string& value) {
  if (topic >= m_topics.size()) return false;
  auto it = std::find(m_items.begin(), m_items.end(), item);
  if (it == m_items.end()) return false;
  std::string& cell = m_values[topic][static_cast<std::size_t>(it - m_items.begin())];
  if (cell != value) {
    cell = value;
    m_dirty = true;
  }
  return true;
}

std::string WatchTable::render() {
  std::size_t topicWidth = 5;
  for (const std::string& t : m_topics) topicWidth = std::max(topicWidth, t.size());
  std::vector<std::size_t> widths;
  for (std::size_t i = 0; i < m_items.size(); ++i) {
    std::size_t w = std::max<std::size_t>(8, m_items[i].size());
    for (const auto& row : m_values) w = std::max(w, row[i].size());
    widths.push_back(w);
  }
  auto pad = [](const std::string& s, std::size_t w, bool right) {
    std::string fill(w > s.size() ? w - s.size() : 0, ' ');
    return right ? fill + s : s + fill;
  };
  std::string out;
  if (m_drawn) out += "\r\x1b[" + std::to_string(lines()) + "A";
  out += pad("TOPIC", topicWidth, false);
  for (std::size_t i = 0; i < m_items.size(); ++i) out += "  " + pad(m_items[i], widths[i], true);
  out += "\x1b[K\n";
  for (std::size_t r = 0; r < m_topics.size(); ++r) {
    out += pad(m_topics[r], topicWidth, false);
    for (std::size_t i = 0; i < m_items.size(); ++i) out += "  " + pad(m_values[r][i], widths[i], true);
    out += "\x1b[K\n";
  }
  m_drawn = true;
  m_dirty = false;
  return out;
}
