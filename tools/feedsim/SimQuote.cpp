#include "tools/feedsim/SimQuote.h"

#include <cstdlib>

#include "feed/StdFID.h"

namespace {

// The level-1 fields of an image, in the order they are sent.
const char* const IMAGE_FIELDS[] = {
    "BID",    "OFFER", "MID",  "SPREAD", "CUR",    "CHANGE",          "CHANGE_PC",       "OPEN",
    "HIGH",   "LOW",   "CLOSE", "VOLUME", "LAST_TRADE_SIZE", "LAST_TRADE_TIME", "LAST_CHANGE_TIME",
    "LAST_TRADE_TYPE", "LAST_TRADE_FLAGS", "FLAGS", "NAME", "CURRENCY",
};

// Trade-type codes that have a name in the trade-code table of each market id,
// so that a spreadsheet sees a word rather than an empty cell.
std::vector<int> tradeTypes(int marketId) {
  switch (marketId) {
    case 0: return {0, 1, 6, 10, 11, 21};
    case 1:
    case 11:
    case 12: return {1, 3, 15, 27};
    case 2:
    case 3: return {1, 3, 8, 15, 27};
    case 13: return {27};
    case 19: return {1, 2, 3, 5};
    default: return {0};
  }
}

// Only market 0 names trade-flag bits (B, C, L, O).
std::vector<int> tradeFlags(int marketId) {
  if (marketId == 0) return {0, 0, 1, 2, 4, 8};
  return {0};
}

long long roundedDiv(long long num, long long den) {
  if (den == 0) return 0;
  long long q = (2 * std::llabs(num) + std::llabs(den)) / (2 * std::llabs(den));
  return (num < 0) != (den < 0) ? -q : q;
}

}  // namespace

std::string SimQuote::price(long long hundredths) {
  long long a = std::llabs(hundredths);
  std::string cents = std::to_string(a % 100);
  if (cents.size() < 2) cents.insert(0, "0");
  return (hundredths < 0 ? "-" : "") + std::to_string(a / 100) + "." + cents;
}

SimQuote::SimQuote(const SimInstrument& instrument, const SimMarket& market, std::uint32_t seed, bool fixedTime)
    : m_instrument(instrument), m_marketId(market.id), m_gen(seed), m_fixedTime(fixedTime) {
  m_close = instrument.close;
  m_tick = m_close / 2000 > 0 ? m_close / 2000 : 1;
  m_baseHalfSpread = m_close / 4000 > 0 ? m_close / 4000 : 1;
  m_halfSpread = m_baseHalfSpread;
  m_open = m_close + (static_cast<long long>(draw(21)) - 10) * m_tick;
  if (m_open <= m_halfSpread + m_tick) m_open = m_close;
  m_mid = m_open;
  m_cur = m_open;
  m_high = m_open + static_cast<long long>(draw(5)) * m_tick;
  m_low = m_open - static_cast<long long>(draw(5)) * m_tick;
  if (m_low <= 0) m_low = m_open;
  m_volume = static_cast<long long>(draw(1000) + 1) * 100;
  m_lastTradeSize = static_cast<long long>(draw(50) + 1) * 100;
  std::time_t t = now();
  m_lastTradeTime = t - static_cast<std::time_t>(draw(600));
  m_lastChangeTime = t;
  std::vector<int> types = tradeTypes(m_marketId);
  m_lastTradeType = types[draw(static_cast<std::uint32_t>(types.size()))];
  m_lastTradeFlags = 0;
}

std::time_t SimQuote::now() const {
  return m_fixedTime ? SIM_FIXED_BASE_TIME + static_cast<std::time_t>(m_steps) : std::time(nullptr);
}

std::string SimQuote::value(QelFID fid) const {
  const SimFids& f = simFids();
  if (fid == 0) return "";
  if (fid == f.bid) return price(m_mid - m_halfSpread);
  if (fid == f.offer) return price(m_mid + m_halfSpread);
  if (fid == f.mid) return price(m_mid);
  if (fid == f.spread) return price(2 * m_halfSpread);
  if (fid == f.cur) return price(m_cur);
  if (fid == f.change) return price(m_cur - m_close);
  if (fid == f.changePc) return price(roundedDiv((m_cur - m_close) * 10000, m_close));
  if (fid == f.open) return price(m_open);
  if (fid == f.high) return price(m_high);
  if (fid == f.low) return price(m_low);
  if (fid == f.close) return price(m_close);
  if (fid == f.volume) return std::to_string(m_volume);
  if (fid == f.lastTradeSize) return std::to_string(m_lastTradeSize);
  if (fid == f.lastTradeTime) return std::to_string(static_cast<long long>(m_lastTradeTime));
  if (fid == f.lastChangeTime) return std::to_string(static_cast<long long>(m_lastChangeTime));
  if (fid == f.lastTradeType) return std::to_string(m_lastTradeType);
  if (fid == f.lastTradeFlags) return std::to_string(m_lastTradeFlags);
  if (fid == f.flags) return std::to_string(m_flags);
  if (fid == f.name) return m_instrument.name;
  if (fid == f.currency) return m_instrument.currency;
  return "";
}

SimRow SimQuote::image() const {
  SimRow row;
  for (const char* name : IMAGE_FIELDS) {
    QelFID fid = simFid(name);
    row.push_back(SimFieldValue{fid, value(fid)});
  }
  return row;
}

SimRow SimQuote::step() {
  SimRow before = image();
  ++m_steps;

  long long move = static_cast<long long>(draw(7)) - 3;
  m_mid += move * m_tick;
  if (draw(10) == 0) m_halfSpread = m_baseHalfSpread + static_cast<long long>(draw(m_baseHalfSpread > 1 ? 3 : 2));
  // Keep the bid above zero however long the walk runs down.
  if (m_mid - m_halfSpread < m_tick) m_mid = m_halfSpread + m_tick;

  if (draw(2) == 0) {
    std::uint32_t side = draw(3);
    m_cur = side == 0 ? m_mid - m_halfSpread : side == 1 ? m_mid + m_halfSpread : m_mid;
    m_lastTradeSize = static_cast<long long>(draw(50) + 1) * 100;
    m_volume += m_lastTradeSize;
    if (m_cur > m_high) m_high = m_cur;
    if (m_cur < m_low) m_low = m_cur;
    m_lastTradeTime = now();
    std::vector<int> types = tradeTypes(m_marketId);
    m_lastTradeType = types[draw(static_cast<std::uint32_t>(types.size()))];
    std::vector<int> flags = tradeFlags(m_marketId);
    m_lastTradeFlags = flags[draw(static_cast<std::uint32_t>(flags.size()))];
  }
  m_lastChangeTime = now();

  SimRow changed;
  for (const SimFieldValue& old : before) {
    std::string text = value(old.fid);
    if (text != old.text || old.fid == simFids().lastChangeTime) changed.push_back(SimFieldValue{old.fid, text});
  }
  return changed;
}

QelFID simFid(const char* name) {
  if (fidMap.empty()) InitializeFIDs();
  return static_cast<QelFID>(GetFID(name));
}

const SimFids& simFids() {
  static const SimFids fids = {
      simFid("BID"),          simFid("OFFER"),           simFid("MID"),
      simFid("SPREAD"),       simFid("CUR"),             simFid("CHANGE"),
      simFid("CHANGE_PC"),    simFid("OPEN"),            simFid("HIGH"),
      simFid("LOW"),          simFid("CLOSE"),           simFid("VOLUME"),
      simFid("LAST_TRADE_SIZE"), simFid("LAST_TRADE_TIME"), simFid("LAST_CHANGE_TIME"),
      simFid("LAST_TRADE_TYPE"), simFid("LAST_TRADE_FLAGS"), simFid("FLAGS"),
      simFid("NAME"),         simFid("CURRENCY"),        simFid("MARKET"),
      simFid("ISIN"),         simFid("DESCRIPTION"),     simFid("SYMBOL"),
      simFid("TIME"),
  };
  return fids;
}

std::string simFieldName(QelFID fid) {
  if (fid == SIM_LOCALE_FID) return "LOCALE";
  for (const auto& entry : fidMap)
    if (static_cast<QelFID>(entry.second) == fid) return entry.first;
  return std::to_string(fid);
}
