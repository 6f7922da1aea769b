#include "tools/feedsim/SimData.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/Log.h"

namespace {

const char* const BUILTIN_DATA =
    "# feedsim data: one entry per line, words separated by blanks; '#' starts a\n"
    "# comment line. Markets come before the lines that name them.\n"
    "#\n"
    "#   market SYMBOL PERMISSION DISPLAY ID\n"
    "#       one line of the login answer, SYMBOL:PERMISSION:DISPLAY:ID; PERMISSION D\n"
    "#       makes the market delayed, so its level-1 records are L1^SYMBOL^CODE^d\n"
    "#   account USER PASSWORD [MARKET...]\n"
    "#       a login and the markets it lists, in that order (none named: every market)\n"
    "#   instrument MARKET CODE CURRENCY ISIN PRICE NAME...\n"
    "#       PRICE is the previous close, at most two decimal places; NAME runs to the\n"
    "#       end of the line\n"
    "#   description MARKET CODE LOCALE TEXT...\n"
    "#       one language row of the instrument's SYM record, in file order; TEXT (UTF-8)\n"
    "#       runs to the end of the line; without any, one en_GB row holds the NAME\n"
    "\n"
    "market LSE R LSE 0\n"
    "market NQ D NASDAQ 1\n"
    "market NY R NYSE 2\n"
    "\n"
    "account demo demo\n"
    "account lse lse LSE\n"
    "\n"
    "instrument LSE VOD GBX GB00BH4HKS39 72.50 Vodafone Group\n"
    "instrument LSE BARC GBX GB0031348658 152.30 Barclays\n"
    "instrument LSE HSBA GBX GB0005405286 628.40 HSBC Holdings\n"
    "instrument LSE BP GBX GB0007980591 471.15 BP\n"
    "instrument NQ MSFT USD US5949181045 374.58 Microsoft Corporation\n"
    "instrument NQ AAPL USD US0378331005 191.24 Apple Inc.\n"
    "instrument NQ INTC USD US4581401001 43.65 Intel Corporation\n"
    "instrument NY IBM USD US4592001014 161.96 International Business Machines\n"
    "instrument NY GE USD US3696043013 122.45 General Electric\n"
    "instrument NY KO USD US1912161007 58.37 Coca-Cola Company\n"
    "\n"
    "description LSE VOD en_GB Vodafone Group Plc ordinary shares\n"
    "description LSE VOD de_DE Vodafone Group Plc Stammaktien\n"
    "description LSE VOD fr_FR Vodafone Group Plc actions ordinaires, société cotée\n"
    "description LSE BARC en_GB Barclays Plc ordinary shares\n"
    "description LSE BARC fr_FR Barclays Plc actions ordinaires\n"
    "description NQ MSFT de_DE Microsoft Corporation Stammaktien, Börse NASDAQ\n"
    "description NQ MSFT en_GB Microsoft Corporation common stock\n"
    "description NQ AAPL it_IT Apple Inc. azioni ordinarie\n"
    "description NQ AAPL pt_BR Apple Inc. ações ordinárias\n";

// Splits off the next blank-separated word of `line` from `pos`.
bool nextWord(const std::string& line, std::string::size_type& pos, std::string& word) {
  pos = line.find_first_not_of(" \t\r", pos);
  if (pos == std::string::npos) return false;
  std::string::size_type end = line.find_first_of(" \t\r", pos);
  word = line.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
  pos = end == std::string::npos ? line.size() : end;
  return true;
}

std::string restOfLine(const std::string& line, std::string::size_type pos) {
  pos = line.find_first_not_of(" \t", pos);
  if (pos == std::string::npos) return "";
  std::string::size_type end = line.find_last_not_of(" \t\r");
  return line.substr(pos, end + 1 - pos);
}

// A record identifier component may not hold "^"; a market-list field may not hold ":".
bool cleanName(const std::string& s) { return !s.empty() && s.find_first_of("^:") == std::string::npos; }

std::string instrumentKey(const std::string& market, const std::string& code) { return market + "^" + code; }

bool parsePrice(const std::string& text, long long& hundredths) {
  std::string::size_type dot = text.find('.');
  if (text.empty() || (dot != std::string::npos && text.size() - dot - 1 > 2)) return false;
  for (std::string::size_type i = 0; i < text.size(); ++i)
    if (i != dot && (text[i] < '0' || text[i] > '9')) return false;
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !(v > 0) || v > 1e9) return false;
  hundredths = std::llround(v * 100);
  return hundredths > 0;
}

}  // namespace

const char* SimData::builtinText() { return BUILTIN_DATA; }

bool SimData::parse(const std::string& text) {
  m_markets.clear();
  m_accounts.clear();
  m_instruments.clear();
  m_instrumentIndex.clear();
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    std::string why;
    if (!parseLine(line, why)) {
      LOG_ERR("data line " << number << ": " << why);
      m_markets.clear();
      m_accounts.clear();
      m_instruments.clear();
      m_instrumentIndex.clear();
      return false;
    }
  }
  if (m_accounts.empty()) {
    LOG_ERR("data has no account");
    m_markets.clear();
    m_instruments.clear();
    m_instrumentIndex.clear();
    return false;
  }
  return true;
}

bool SimData::load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    LOG_ERR("cannot read data file " << path);
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return parse(text.str());
}

bool SimData::parseLine(const std::string& line, std::string& why) {
  std::string::size_type pos = 0;
  std::string kind;
  if (!nextWord(line, pos, kind) || kind[0] == '#') return true;

  if (kind == "market") {
    SimMarket m;
    std::string id;
    if (!nextWord(line, pos, m.symbol) || !nextWord(line, pos, m.permission) || !nextWord(line, pos, m.display) ||
        !nextWord(line, pos, id)) {
      why = "market wants SYMBOL PERMISSION DISPLAY ID";
      return false;
    }
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(id.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < -1 || v > 99999) {
      why = "market id \"" + id + "\" is not a number from -1 to 99999";
      return false;
    }
    if (!cleanName(m.symbol) || !cleanName(m.permission) || !cleanName(m.display)) {
      why = "market names may not hold '^' or ':'";
      return false;
    }
    if (findMarket(m.symbol)) {
      why = "market " + m.symbol + " declared twice";
      return false;
    }
    m.id = static_cast<int>(v);
    m_markets.push_back(m);
    return true;
  }

  if (kind == "account") {
    SimAccount a;
    if (!nextWord(line, pos, a.user) || !nextWord(line, pos, a.password)) {
      why = "account wants USER PASSWORD [MARKET...]";
      return false;
    }
    if (!cleanName(a.user) || a.password.find('^') != std::string::npos) {
      why = "user names may not hold '^' or ':', passwords not '^'";
      return false;
    }
    std::string market;
    while (nextWord(line, pos, market)) {
      if (!findMarket(market)) {
        why = "account " + a.user + " names unknown market " + market;
        return false;
      }
      a.markets.push_back(market);
    }
    if (a.markets.empty())
      for (const SimMarket& m : m_markets) a.markets.push_back(m.symbol);
    m_accounts.push_back(a);
    return true;
  }

  if (kind == "instrument") {
    SimInstrument s;
    std::string price;
    if (!nextWord(line, pos, s.market) || !nextWord(line, pos, s.code) || !nextWord(line, pos, s.currency) ||
        !nextWord(line, pos, s.isin) || !nextWord(line, pos, price)) {
      why = "instrument wants MARKET CODE CURRENCY ISIN PRICE NAME...";
      return false;
    }
    s.name = restOfLine(line, pos);
    if (s.name.empty()) {
      why = "instrument " + s.code + " has no name";
      return false;
    }
    if (!findMarket(s.market)) {
      why = "instrument " + s.code + " names unknown market " + s.market;
      return false;
    }
    if (!cleanName(s.code)) {
      why = "instrument codes may not hold '^' or ':'";
      return false;
    }
    if (findInstrument(s.market, s.code)) {
      why = "instrument " + s.market + " " + s.code + " declared twice";
      return false;
    }
    if (!parsePrice(price, s.close)) {
      why = "price \"" + price + "\" is not a positive decimal with at most two places";
      return false;
    }
    m_instrumentIndex[instrumentKey(s.market, s.code)] = m_instruments.size();
    m_instruments.push_back(s);
    return true;
  }

  if (kind == "description") {
    std::string market, code;
    SimDescription d;
    if (!nextWord(line, pos, market) || !nextWord(line, pos, code) || !nextWord(line, pos, d.locale)) {
      why = "description wants MARKET CODE LOCALE TEXT...";
      return false;
    }
    d.text = restOfLine(line, pos);
    auto it = m_instrumentIndex.find(instrumentKey(market, code));
    if (it != m_instrumentIndex.end()) {
      m_instruments[it->second].descriptions.push_back(d);
      return true;
    }
    why = "description for undeclared instrument " + market + " " + code;
    return false;
  }

  why = "unknown entry \"" + kind + "\"";
  return false;
}

const SimAccount* SimData::findAccount(const std::string& user, const std::string& password) const {
  for (const SimAccount& a : m_accounts)
    if (a.user == user && a.password == password) return &a;
  return nullptr;
}

const SimMarket* SimData::findMarket(const std::string& symbol) const {
  for (const SimMarket& m : m_markets)
    if (m.symbol == symbol) return &m;
  return nullptr;
}

const SimInstrument* SimData::findInstrument(const std::string& market, const std::string& code) const {
  auto it = m_instrumentIndex.find(instrumentKey(market, code));
  return it == m_instrumentIndex.end() ? nullptr : &m_instruments[it->second];
}

bool SimData::addSyntheticInstruments(int count, const std::string& market) {
  if (!findMarket(market)) {
    LOG_ERR("no market " << market << " for the synthetic instruments");
    return false;
  }
  std::vector<SimInstrument> added;
  for (int i = 0; i < count; ++i) {
    char code[16];
    std::snprintf(code, sizeof code, "S%04d", i);
    if (findInstrument(market, code)) {
      LOG_ERR("synthetic instrument " << market << " " << code << " is already in the data");
      return false;
    }
    char isin[16];
    std::snprintf(isin, sizeof isin, "XS%010d", i);
    SimInstrument s;
    s.market = market;
    s.code = code;
    s.currency = "GBX";
    s.isin = isin;
    // Closes from 1.00 to 999.99, scattered so that tick sizes differ.
    s.close = 100 + (static_cast<long long>(i) * 7919) % 99900;
    s.name = std::string("Synthetic ") + code;
    added.push_back(s);
  }
  for (SimInstrument& s : added) {
    m_instrumentIndex[instrumentKey(s.market, s.code)] = m_instruments.size();
    m_instruments.push_back(std::move(s));
  }
  return true;
}

bool SimData::accountHasMarket(const SimAccount& account, const std::string& market) const {
  for (const std::string& m : account.markets)
    if (m == market) return true;
  return false;
}

std::string SimData::marketList(const SimAccount& account) const {
  std::string out;
  for (const std::string& symbol : account.markets) {
    const SimMarket* m = findMarket(symbol);
    if (!m) continue;
    out += m->symbol + ":" + m->permission + ":" + m->display + ":" + std::to_string(m->id) + "\n";
  }
  return out;
}
