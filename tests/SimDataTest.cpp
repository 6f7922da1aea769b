#include "tools/feedsim/SimData.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "tests/SimHarness.h"

namespace {

class SimDataTest : public ::testing::Test {
 protected:
  LogCapture log{3};
};

TEST_F(SimDataTest, SyntheticInstrumentsNumberFromS0000AndNeedTheirMarket) {
  SimData d;
  ASSERT_TRUE(d.loadBuiltin());
  std::size_t builtin = d.instruments().size();
  ASSERT_TRUE(d.addSyntheticInstruments(10001));
  EXPECT_EQ(d.instruments().size(), builtin + 10001);
  for (const char* code : {"S0000", "S0999", "S9999", "S10000"}) EXPECT_NE(d.findInstrument("LSE", code), nullptr) << code;
  EXPECT_EQ(d.findInstrument("LSE", "S10001"), nullptr);
  EXPECT_NE(d.findInstrument("LSE", "VOD"), nullptr);

  // A code already taken, or no such market: nothing is added.
  SimData taken;
  ASSERT_TRUE(taken.parse("market LSE R LSE 0\naccount u p\ninstrument LSE S0001 GBX X 1.00 Taken\n"));
  EXPECT_FALSE(taken.addSyntheticInstruments(5));
  EXPECT_TRUE(log.contains("synthetic instrument LSE S0001 is already in the data"));
  EXPECT_EQ(taken.instruments().size(), 1u);

  SimOptions o = quiet();
  o.instruments = 5;
  o.port = 0;
  EventLoop loop;
  SimData other;
  ASSERT_TRUE(other.parse("market XX R XX 0\naccount u p\n"));
  FeedSim sim(o, other, loop);
  EXPECT_FALSE(sim.start());
  EXPECT_TRUE(log.contains("no market LSE for the synthetic instruments"));
}

TEST_F(SimDataTest, DataFileDefinesAccountsMarketsAndInstruments) {
  const std::string text =
      "# test data\n"
      "market AA R Alpha 0\n"
      "market BB D Beta 19\n"
      "\n"
      "account joe secret BB AA\n"
      "account all pw\n"
      "instrument AA X1 EUR XS0001 12.5 First thing\n"
      "description AA X1 de_DE Erstes Ding\n";
  SimData d;
  ASSERT_TRUE(d.parse(text));
  const SimAccount* joe = d.findAccount("joe", "secret");
  ASSERT_NE(joe, nullptr);
  EXPECT_EQ(d.marketList(*joe), "BB:D:Beta:19\nAA:R:Alpha:0\n");
  EXPECT_EQ(d.marketList(*d.findAccount("all", "pw")), "AA:R:Alpha:0\nBB:D:Beta:19\n");
  EXPECT_EQ(d.findAccount("joe", "wrong"), nullptr);
  const SimInstrument* x = d.findInstrument("AA", "X1");
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->close, 1250);
  EXPECT_EQ(x->name, "First thing");
  ASSERT_EQ(x->descriptions.size(), 1u);
  EXPECT_EQ(x->descriptions[0].locale, "de_DE");
  EXPECT_EQ(x->descriptions[0].text, "Erstes Ding");
  EXPECT_TRUE(d.findMarket("BB")->delayed());
  EXPECT_FALSE(d.findMarket("AA")->delayed());
}

TEST_F(SimDataTest, DataFileIsReadFromDisk) {
  TempDir dir;
  std::string path = dir.root + "/data.txt";
  std::ofstream(path) << "market M R Em 2\naccount u p\ninstrument M C USD US1 1.00 Thing\n";
  SimData d;
  EXPECT_TRUE(d.load(path));
  EXPECT_NE(d.findInstrument("M", "C"), nullptr);
  std::remove(path.c_str());
  EXPECT_FALSE(d.load(path));
  EXPECT_TRUE(log.contains("cannot read data file"));
}

TEST_F(SimDataTest, BadDataLinesAreRefusedWithTheirLineNumber) {
  struct Case {
    const char* text;
    const char* why;
  };
  const Case cases[] = {
      {"market A R A\naccount u p\n", "data line 1: market wants"},
      {"market A R A x\naccount u p\n", "data line 1: market id"},
      {"market A^B R A 0\naccount u p\n", "may not hold"},
      {"market A R A 0\nmarket A R B 1\naccount u p\n", "data line 2: market A declared twice"},
      {"market A R A 0\naccount u p B\n", "names unknown market B"},
      {"market A R A 0\naccount u p^q\n", "passwords not"},
      {"market A R A 0\naccount u p\ninstrument A X USD I 1.005 N\n", "data line 3: price"},
      {"market A R A 0\naccount u p\ninstrument A X USD I -1 N\n", "price"},
      {"market A R A 0\naccount u p\ninstrument A X USD I\n", "instrument wants"},
      {"market A R A 0\naccount u p\ninstrument A X USD I 1 \n", "has no name"},
      {"market A R A 0\naccount u p\ninstrument B X USD I 1 N\n", "names unknown market B"},
      {"market A R A 0\naccount u p\ndescription A X en_GB text\n", "undeclared instrument"},
      {"market A R A 0\naccount u p\nbogus\n", "unknown entry \"bogus\""},
      {"market A R A 0\n", "data has no account"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.text);
    log.clear();
    SimData d;
    EXPECT_FALSE(d.parse(k.text));
    EXPECT_TRUE(log.contains(k.why)) << log.text();
    EXPECT_TRUE(d.accounts().empty());
    EXPECT_TRUE(d.markets().empty());
  }
}

TEST_F(SimDataTest, BuiltinDataHasTheDemoAccountAndMarkets) {
  SimData d;
  ASSERT_TRUE(d.loadBuiltin());
  const SimAccount* demo = d.findAccount("demo", "demo");
  ASSERT_NE(demo, nullptr);
  EXPECT_EQ(d.marketList(*demo), DEMO_MARKETS);
  for (const char* code : {"VOD", "BARC", "HSBA"}) EXPECT_NE(d.findInstrument("LSE", code), nullptr) << code;
  for (const char* code : {"MSFT", "AAPL"}) EXPECT_NE(d.findInstrument("NQ", code), nullptr) << code;
  // Every market id has trade-code names.
  for (const SimMarket& m : d.markets())
    EXPECT_TRUE(m.id == 0 || m.id == 1 || m.id == 2 || m.id == 3 || m.id == 11 || m.id == 12 || m.id == 13 ||
                m.id == 19)
        << m.symbol;
}

}  // namespace
