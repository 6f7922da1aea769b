#pragma once
// The markets the account may use, filled from the login answer, and the
// grammar that connects the three names of an instrument: the topic a user
// types (lse_vod), the feed's record identifiers (L1^LSE^VOD, SYM^LSE^VOD)
// and the canonical symbol that keys the instrument cache (LSE_VOD). Every
// conversion works in 128-byte buffers; a result that would not fit is
// refused with a log line rather than cut or overrun.

#include <map>
#include <string>

class Market {
 public:
  Market(const char* symbol, const char* displaySymbol, char permission, int id);
  virtual ~Market() = default;

  std::string getSymbol() const { return symbol; }
  std::string getDisplaySymbol() const { return displaySymbol; }
  int getID() const { return id; }
  char getPermission() const { return permission; }

 private:
  std::string symbol;
  std::string displaySymbol;
  char permission;
  int id;
};

// Market symbol -> market (owned, never removed), and display symbol -> market symbol.
extern std::map<std::string, Market*> marketMap;
extern std::map<std::string, std::string> marketSymbols;

// Replaces (or adds) a market under its symbol and display symbol. A market
// that is replaced stays alive (instruments may point at it), so the markets
// ever made are capped at MAX_MARKETS: false, and nothing changes, once the
// cap is reached. A line that repeats the market it would replace is free.
const std::size_t MAX_MARKETS = 10000;
bool addMarket(const char* symbol, const char* displaySymbol, char permission, int id);
// Empties both tables (tests; the program itself only ever adds).
void clearMarkets();

const std::size_t MAX_NAME_LENGTH = 127;  // a name and its terminator fill 128 bytes

// Level-1 and symbol record identifiers of a topic or canonical symbol, or the
// "ERROR^..." form for an unknown market or a missing code. Empty when the
// input or the result does not fit its 128-byte buffer (logged).
std::string makeRID(const char* symbol);
std::string makeSymRID(const char* symbol);
// The canonical symbol of a record identifier; empty for an L1 or SYM
// identifier of an unknown market (logged), which this program never builds.
std::string makeSymbol(const char* rid);
