#include "tools/feedsim/SimQuote.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>

#include "tests/SimHarness.h"

namespace {

TEST(SimQuoteTest, QuoteWalkKeepsTheBookConsistent) {
  SimData data;
  ASSERT_TRUE(data.loadBuiltin());
  const SimFids& f = simFids();
  for (const SimInstrument& s : data.instruments()) {
    SCOPED_TRACE(s.code);
    SimQuote q(s, *data.findMarket(s.market), 99, true);
    for (int i = 0; i < 500; ++i) {
      SimRow changed = q.step();
      ASSERT_FALSE(changed.empty());
      long long bid = cents(q.value(f.bid)), offer = cents(q.value(f.offer)), cur = cents(q.value(f.cur));
      ASSERT_GT(bid, 0);
      ASSERT_LT(bid, offer);
      ASSERT_EQ(cents(q.value(f.change)), cur - s.close);
      ASSERT_LE(cents(q.value(f.low)), cur);
      ASSERT_GE(cents(q.value(f.high)), cur);
      for (const SimFieldValue& v : changed) ASSERT_EQ(v.text, q.value(v.fid));
    }
    EXPECT_EQ(q.value(f.lastChangeTime), "1700000500");
  }
}

TEST(SimQuoteTest, PricesPrintWithTwoPlaces) {
  struct Case {
    long long hundredths;
    const char* text;
  };
  const Case cases[] = {{7250, "72.50"}, {5, "0.05"}, {-35, "-0.35"}, {0, "0.00"}, {-1200, "-12.00"}, {100001, "1000.01"}};
  for (const Case& k : cases) EXPECT_EQ(SimQuote::price(k.hundredths), k.text);
}

TEST(SimQuoteTest, TradeTypesHaveNamesInTheirMarket) {
  // Market 1's trade-type codes: 1 2 3 4 7 11 12 14 15 16 18 19 20 23 26 27.
  const std::string data = "market NQ D NASDAQ 1\naccount a b\ninstrument NQ X USD US0 10.00 X\n";
  SimData d;
  ASSERT_TRUE(d.parse(data));
  SimQuote q(d.instruments()[0], d.markets()[0], 5, true);
  const int named[] = {1, 2, 3, 4, 7, 11, 12, 14, 15, 16, 18, 19, 20, 23, 26, 27};
  for (int i = 0; i < 200; ++i) {
    q.step();
    int code = std::atoi(q.value(simFids().lastTradeType).c_str());
    EXPECT_NE(std::find(std::begin(named), std::end(named), code), std::end(named)) << code;
    EXPECT_EQ(q.value(simFids().lastTradeFlags), "0");  // market 1 names no trade-flag bits
  }
}

}  // namespace
