#pragma once
// The accounts, markets and instruments a feedsim run serves, read from a
// small text file or from the built-in demo data (the same format, printed by
// `feedsim --print-data`). One entry per line, words separated by blanks,
// '#' starts a comment line, blank lines are skipped:
//
//   market SYMBOL PERMISSION DISPLAY ID
//   account USER PASSWORD [MARKET...]          (no markets: every market)
//   instrument MARKET CODE CURRENCY ISIN PRICE NAME...
//   description MARKET CODE LOCALE TEXT...
//
// PERMISSION "D" makes a market delayed (its level-1 records need "^d"). PRICE
// is the previous close, a decimal with at most two places. NAME and TEXT run
// to the end of the line and may hold blanks and UTF-8. Each description line
// adds one language row to the instrument's SYM record, in file order; an
// instrument without one gets a single en_GB row holding its name. Markets
// must be declared before the lines that name them.

#include <map>
#include <string>
#include <vector>

struct SimMarket {
  std::string symbol;
  std::string permission;
  std::string display;
  int id = 0;
  bool delayed() const { return !permission.empty() && permission[0] == 'D'; }
};

struct SimDescription {
  std::string locale;
  std::string text;
};

struct SimInstrument {
  std::string market;
  std::string code;
  std::string currency;
  std::string isin;
  long long close = 0;  // previous close, in hundredths
  std::string name;
  std::vector<SimDescription> descriptions;
};

struct SimAccount {
  std::string user;
  std::string password;
  std::vector<std::string> markets;  // market symbols in listing order
};

class SimData {
 public:
  // Replaces the contents with `text`; false, with one log line naming the
  // line and the fault, when any line is bad (the contents are then empty).
  bool parse(const std::string& text);
  bool load(const std::string& path);
  bool loadBuiltin() { return parse(builtinText()); }
  static const char* builtinText();
  // Adds `count` instruments for load runs: codes S0000, S0001, ... (at least
  // four digits) on `market`, fixed made-up closes and names, no descriptions.
  // False, with one log line and nothing added, when the market is not
  // declared or a code is taken.
  bool addSyntheticInstruments(int count, const std::string& market = "LSE");

  const SimAccount* findAccount(const std::string& user, const std::string& password) const;
  const SimMarket* findMarket(const std::string& symbol) const;
  const SimInstrument* findInstrument(const std::string& market, const std::string& code) const;
  bool accountHasMarket(const SimAccount& account, const std::string& market) const;
  // The login answer: one "symbol:permission:display:id\n" line per market of the account.
  std::string marketList(const SimAccount& account) const;

  const std::vector<SimMarket>& markets() const { return m_markets; }
  const std::vector<SimAccount>& accounts() const { return m_accounts; }
  const std::vector<SimInstrument>& instruments() const { return m_instruments; }

 private:
  bool parseLine(const std::string& line, std::string& why);

  std::vector<SimMarket> m_markets;
  std::vector<SimAccount> m_accounts;
  std::vector<SimInstrument> m_instruments;
  // "MARKET^CODE" -> position in m_instruments, for lookups among many instruments.
  std::map<std::string, std::size_t> m_instrumentIndex;
};
