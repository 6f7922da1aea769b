#pragma once
// The live level-1 state of one instrument and the random walk that moves it.
// One SimQuote per instrument, shared by every client that opens it, so all
// of them see the same prices. Prices are kept in hundredths as integers and
// every draw is taken straight from std::mt19937 (no library distributions),
// so a seeded quote runs the same on any platform. With a fixed base time the
// time fields count walk steps from that base instead of reading the clock.

#include <cstdint>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "feed/QelField.h"
#include "tools/feedsim/SimData.h"

struct SimFieldValue {
  QelFID fid;
  std::string text;
};
typedef std::vector<SimFieldValue> SimRow;

// The base of the time fields in a seeded run: 14/11/2023 22:13:20 UTC.
const std::time_t SIM_FIXED_BASE_TIME = 1700000000;

class SimQuote {
 public:
  // `fixedTime`: time fields from SIM_FIXED_BASE_TIME plus one second per step.
  SimQuote(const SimInstrument& instrument, const SimMarket& market, std::uint32_t seed, bool fixedTime);

  // All level-1 fields, in the order of an image.
  SimRow image() const;
  // One walk step; the fields whose text changed, LAST_CHANGE_TIME always among them.
  SimRow step();
  // The current value of one level-1 field ("" when the quote has no such field).
  std::string value(QelFID fid) const;
  unsigned steps() const { return m_steps; }

  // "72.50", "-0.35": hundredths as a decimal with two places.
  static std::string price(long long hundredths);

 private:
  std::uint32_t draw(std::uint32_t n) { return static_cast<std::uint32_t>(m_gen() % n); }
  std::time_t now() const;

  const SimInstrument& m_instrument;
  int m_marketId;
  std::mt19937 m_gen;
  bool m_fixedTime;
  unsigned m_steps = 0;

  long long m_close;
  long long m_tick;
  long long m_baseHalfSpread;
  long long m_halfSpread;
  long long m_mid;
  long long m_open;
  long long m_high;
  long long m_low;
  long long m_cur;
  long long m_volume;
  long long m_lastTradeSize;
  std::time_t m_lastTradeTime;
  std::time_t m_lastChangeTime;
  int m_lastTradeType;
  int m_lastTradeFlags;
  int m_flags = 0;
};

// The field without a name that carries the language tag of a SYM row.
const QelFID SIM_LOCALE_FID = 225;

// The FIDs feedsim sends, looked up by name once (filling the table first
// when nobody has).
struct SimFids {
  QelFID bid, offer, mid, spread, cur, change, changePc, open, high, low, close, volume;
  QelFID lastTradeSize, lastTradeTime, lastChangeTime, lastTradeType, lastTradeFlags, flags;
  QelFID name, currency, market, isin, description, symbol;
  QelFID time;  // only with --stamp: the send time
};
const SimFids& simFids();
QelFID simFid(const char* name);
// For log lines: the field's name, "LOCALE" for the language tag, else the number.
std::string simFieldName(QelFID fid);
