#include "feed/Market.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "support/Log.h"

std::map<std::string, Market*> marketMap;
std::map<std::string, std::string> marketSymbols;

namespace {
// Owns every market ever listed: one replaced by a later line stays alive,
// since Stocks may still point at it.
std::vector<std::unique_ptr<Market>> marketStore;
}  // namespace

Market::Market(const char* symbol_, const char* displaySymbol_, char permission_, int id_)
    : symbol(symbol_ ? symbol_ : ""), displaySymbol(displaySymbol_ ? displaySymbol_ : ""), permission(permission_), id(id_) {}

bool addMarket(const char* symbol, const char* displaySymbol, char permission, int id) {
  // The same line again changes nothing and costs nothing.
  auto same = marketMap.find(symbol ? symbol : "");
  if (same != marketMap.end() && same->second->getDisplaySymbol() == (displaySymbol ? displaySymbol : "") &&
      same->second->getPermission() == permission && same->second->getID() == id) {
    marketSymbols[same->second->getDisplaySymbol()] = same->second->getSymbol();
    return true;
  }
  if (marketStore.size() >= MAX_MARKETS) return false;
  marketStore.push_back(std::make_unique<Market>(symbol, displaySymbol, permission, id));
  Market* market = marketStore.back().get();
  marketMap[market->getSymbol()] = market;
  marketSymbols[market->getDisplaySymbol()] = market->getSymbol();
  return true;
}

void clearMarkets() {
  marketMap.clear();
  marketSymbols.clear();
  marketStore.clear();
}

namespace {

const std::size_t BUFFER_SIZE = MAX_NAME_LENGTH + 1;

// Steps shared by makeRID and makeSymRID: convert, split, look the market up.
// False with `fallback` set to the ERROR form when the market is unknown or
// there is no code; false with an empty fallback when nothing fits.
bool resolveTopic(const char* symbol, const char* caller, std::string& marketSymbol, std::string& code,
                  std::string& fallback) {
  fallback.clear();
  if (!symbol) return false;
  std::size_t length = std::strlen(symbol);
  if (length > MAX_NAME_LENGTH) {
    LOG_ERR(caller << " - topic of " << length << " characters is too long");
    return false;
  }
  char converted[BUFFER_SIZE];
  for (std::size_t i = 0; i <= length; ++i)
    converted[i] = symbol[i] == '_' ? '^' : static_cast<char>(std::toupper(static_cast<unsigned char>(symbol[i])));

  // "ERROR^" + converted must fit the buffer too.
  if (6 + length <= MAX_NAME_LENGTH) fallback = std::string("ERROR^") + converted;

  std::string pieces[2];
  int found = 0;
  for (const char* p = converted; *p && found < 2;) {
    if (*p == '^') {
      ++p;
      continue;
    }
    const char* end = std::strchr(p, '^');
    std::size_t n = end ? static_cast<std::size_t>(end - p) : std::strlen(p);
    pieces[found++].assign(p, n);
    p += n;
  }
  if (found < 2) {
    if (fallback.empty()) LOG_ERR(caller << " - no room for the error form of " << converted);
    return false;
  }
  auto it = marketSymbols.find(pieces[0]);
  if (it == marketSymbols.end()) {
    TAVRO_LOG_AS(1, caller, "Can't find market (" << pieces[0] << ")");
    if (fallback.empty()) LOG_ERR(caller << " - no room for the error form of " << converted);
    return false;
  }
  marketSymbol = it->second;
  code = pieces[1];
  return true;
}

std::string fitted(const std::string& rid, const char* caller) {
  if (rid.size() > MAX_NAME_LENGTH) {
    LOG_ERR(caller << " - record identifier of " << rid.size() << " characters is too long");
    return std::string();
  }
  return rid;
}

}  // namespace

std::string makeRID(const char* symbol) {
  std::string marketSymbol, code, fallback;
  if (!resolveTopic(symbol, "makeRID", marketSymbol, code, fallback)) return fallback;
  auto market = marketMap.find(marketSymbol);
  bool delayed = market != marketMap.end() && market->second->getPermission() == 'D';
  return fitted("L1^" + marketSymbol + "^" + code + (delayed ? "^d" : ""), "makeRID");
}

std::string makeSymRID(const char* symbol) {
  std::string marketSymbol, code, fallback;
  if (!resolveTopic(symbol, "makeSymRID", marketSymbol, code, fallback)) return fallback;
  return fitted("SYM^" + marketSymbol + "^" + code, "makeSymRID");
}

std::string makeSymbol(const char* rid) {
  if (!rid) return std::string();
  // Up to four "^"-separated components of at most 127 characters; scanning
  // stops at the first empty one.
  std::string parts[4];
  const char* p = rid;
  for (int i = 0; i < 4; ++i) {
    const char* end = std::strchr(p, '^');
    std::size_t n = end ? static_cast<std::size_t>(end - p) : std::strlen(p);
    if (n == 0) break;
    if (n > MAX_NAME_LENGTH) {
      LOG_ERR("makeSymbol - component of " << n << " characters is too long");
      return std::string();
    }
    parts[i].assign(p, n);
    if (!end) break;
    p = end + 1;
  }
  std::string& type = parts[0];
  std::string market = parts[1], code = parts[2];
  for (char& c : market) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (char& c : code) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (type == "ERROR" || type == "AUTH") return code.empty() ? market : market + "_" + code;
  auto it = marketMap.find(market);
  if (it == marketMap.end()) {
    LOG_ERR("makeSymbol - unknown market (" << market << ") in " << rid);
    return std::string();
  }
  return fitted(it->second->getDisplaySymbol() + "_" + code, "makeSymbol");
}
