// The program's shell against a feed simulator on loopback, in one process
// and on one event loop, with a scripted user at the dialogs.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "dde/DdeRequests.h"
#include "platform/Socket.h"
#include "tests/ServerHarness.h"
#include "tests/TestSupport.h"

namespace {

int closedPort() {
  int port = 0;
  int fd = socketListen("127.0.0.1", 0, &port);
  socketClose(fd);
  return port;
}

class AppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    h.options.rate = 50;
    ASSERT_TRUE(h.startSim());
    feedPorts[1] = closedPort();
    h.startProgram();
  }
  void startSim() { ASSERT_TRUE(h.startSim()); }
  bool runUntil(const std::function<bool()>& done, int ms = 5000) { return h.runUntil(done, ms); }
  bool tipShown(const std::string& tip) {
    return std::find(shell.tips.begin(), shell.tips.end(), tip) != shell.tips.end();
  }

  ServerHarness h;
  EventLoop& loop = h.loop;
  ScriptedShell& shell = h.shell;
  SimOptions& options = h.options;
  std::unique_ptr<FeedSim>& sim = h.sim;
};

TEST_F(AppTest, LoginFillsTheMarketTableAndStartsTheService) {
  shell.logins.push_back({true, "demo", "demo"});
  LogCapture logs(3);
  ASSERT_TRUE(connect());
  EXPECT_EQ(shell.prompts, std::vector<std::string>({"Please enter your TAVRO login details:"}));
  EXPECT_EQ(shell.shownUser[0], "");
  EXPECT_EQ(shell.maxEntry, MAX_LOGIN_ENTRY);
  EXPECT_TRUE(logs.contains("connected on port " + std::to_string(sim->port())));
  ASSERT_TRUE(runUntil([] { return authenticated; }));
  EXPECT_NE(ddeInstance, 0u);
  ASSERT_EQ(marketMap.size(), 3u);
  EXPECT_EQ(marketMap["LSE"]->getPermission(), 'R');
  EXPECT_EQ(marketMap["NQ"]->getDisplaySymbol(), "NASDAQ");
  EXPECT_EQ(marketMap["NQ"]->getPermission(), 'D');
  EXPECT_EQ(marketMap["NQ"]->getID(), 1);
  EXPECT_EQ(marketSymbols["NASDAQ"], "NQ");
  EXPECT_TRUE(tipShown("No active stocks"));
  // Where the trader finds the display symbols to type: a balloon, and one log line.
  EXPECT_EQ(shell.notices, std::vector<std::string>({"TAVRO: signed in: Your markets: LSE, NASDAQ, NYSE. "
                                                     "Link a cell as =TAVRO|market_code!ITEM."}));
  EXPECT_TRUE(logs.contains("logged in, 3 markets: LSE, NASDAQ, NYSE\n"));
  EXPECT_EQ(logs.text().find("demo^demo"), std::string::npos);
}

TEST_F(AppTest, RefusedLoginAsksAgainWithTheEntriesKept) {
  shell.logins.push_back({true, "demo", "wrong-secret"});
  shell.logins.push_back({true, "demo", "demo"});
  LogCapture logs(4);
  ASSERT_TRUE(connect());
  ASSERT_TRUE(runUntil([] { return authenticated; }));
  ASSERT_EQ(shell.prompts.size(), 2u);
  EXPECT_EQ(shell.prompts[1], "Authentication failed - please try again:");
  EXPECT_EQ(shell.shownUser[1], "demo");
  EXPECT_EQ(shell.shownPass[1], "wrong-secret");
  EXPECT_FALSE(authFailed);
  EXPECT_TRUE(logs.contains("status 7 (AUTH^demo^***)"));
  // The password never reaches the log, at any level.
  const std::string own = logs.text();
  EXPECT_EQ(own.find("wrong-secret"), std::string::npos) << own;
  EXPECT_EQ(own.find("^demo^demo"), std::string::npos);
}

TEST_F(AppTest, ServerOnTheSecondPortIsUsed) {
  feedPorts[1] = feedPorts[0];
  feedPorts[0] = closedPort();
  shell.logins.push_back({true, "demo", "demo"});
  LogCapture logs(3);
  ASSERT_TRUE(connect());
  EXPECT_TRUE(logs.contains("connected on port " + std::to_string(feedPorts[1])));
  EXPECT_TRUE(runUntil([] { return authenticated; }));
}

TEST_F(AppTest, NeitherPortReachableAsksToRetryThenEnds) {
  feedPorts[0] = closedPort();
  feedPorts[1] = closedPort();
  shell.logins.push_back({true, "demo", "demo"});
  shell.logins.push_back({true, "demo", "demo"});
  shell.answers = {true, false};
  EXPECT_FALSE(connect());
  EXPECT_EQ(shell.boxes, std::vector<std::string>({"TAVRO: Can't connect to TAVRO. Try again?",
                                                    "TAVRO: Can't connect to TAVRO. Try again?"}));
  ASSERT_EQ(shell.prompts.size(), 2u);
  EXPECT_EQ(shell.shownUser[1], "demo");  // the dialog reopens with the entries as they were
  EXPECT_TRUE(loop.quitPosted());
}

TEST_F(AppTest, CancelledDialogEndsTheProgram) {
  shell.logins.push_back({false, "", ""});
  EXPECT_FALSE(connect());
  EXPECT_TRUE(loop.quitPosted());
  EXPECT_TRUE(shell.boxes.empty());
}

TEST_F(AppTest, LostConnectionIsReportedAndEndsTheProgram) {
  shell.logins.push_back({true, "demo", "demo"});
  ASSERT_TRUE(connect());
  ASSERT_TRUE(runUntil([] { return authenticated; }));
  std::string tipAtNotice;
  shell.onBox = [&] { tipAtNotice = trayMessage; };
  sim.reset();
  ASSERT_TRUE(runUntil([&] { return loop.quitPosted(); }));
  EXPECT_EQ(shell.boxes, std::vector<std::string>({"TAVRO: Connection to TAVRO has been lost."}));
  EXPECT_FALSE(sink->isConnected());
  // The notice's own modal wait refreshes no tip: it was set before.
  EXPECT_EQ(tipAtNotice, "Not connected.");
}

TEST_F(AppTest, MalformedFrameClosesFromOurSideAndStillEnds) {
  sim.reset();
  options.malformed = SimMalformed::TRAILER;
  startSim();
  shell.logins.push_back({true, "demo", "demo"});
  LogCapture logs(3);
  ASSERT_TRUE(connect());
  ASSERT_TRUE(runUntil([&] { return loop.quitPosted(); }));
  EXPECT_TRUE(logs.contains("QelChannel::recvMessage - invalid message"));
  EXPECT_EQ(shell.boxes, std::vector<std::string>({"TAVRO: Connection to TAVRO has been lost."}));
}

class AppRoutingTest : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    shell.logins.push_back({true, "demo", "demo"});
    ASSERT_TRUE(connect());
    ASSERT_TRUE(runUntil([] { return authenticated; }));
  }
};

TEST_F(AppRoutingTest, ImagesAndUpdatesReachTheStockAsText) {
  Stock* vod = findOrCreateStock("LSE_VOD");
  vod->open();
  ASSERT_TRUE(runUntil([&] { return vod->isOpen() && vod->values.count(4); }));
  const std::string bid = vod->values[4];
  EXPECT_FALSE(bid.empty());
  EXPECT_NE(bid.find_first_of("0123456789"), std::string::npos);
  // Updates keep arriving: some value moves away from the first image's.
  const FieldValues first = vod->values;
  ASSERT_TRUE(runUntil([&] {
    for (const auto& entry : vod->values)
      if (first.find(entry.first) == first.end() || first.find(entry.first)->second != entry.second) return true;
    return false;
  }));
  EXPECT_TRUE(tipShown("1 active stocks"));
  vod->close();
  ASSERT_TRUE(runUntil([&] { return !vod->isOpen(); }));
}

TEST_F(AppRoutingTest, SymbolRecordRowFollowsTheUserLocale) {
  std::string oldLocale = userLocale;
  Restore locale([&] { strcpy(userLocale, oldLocale.c_str()); });
  strcpy(userLocale, "fr_FR");
  Stock* vod = findOrCreateStock("LSE_VOD");
  vod->open();
  ASSERT_TRUE(runUntil([&] { return vod->values.count(FID_LANGUAGE) != 0; }));
  EXPECT_EQ(vod->values[FID_LANGUAGE], "fr_FR");
  // UTF-8 from the feed, Windows-1252 for the spreadsheet.
  bool found = false;
  for (const auto& v : vod->values) found |= v.second.str().find("soci\xE9t\xE9") != std::string::npos;
  EXPECT_TRUE(found);
}

TEST_F(AppRoutingTest, RequestsAnswerFromTheCacheForTwoSecondsAfterTheLastImage) {
  static std::time_t now = 1000;
  Restore clock([] { setStockClock(nullptr); });
  setStockClock([] { return now; });
  Stock* vod = findOrCreateStock("LSE_VOD");
  vod->open();
  ASSERT_TRUE(runUntil([&] { return vod->isOpen() && vod->values.count(4); }));
  vod->close();
  ASSERT_TRUE(runUntil([&] { return !vod->isOpen(); }));
  auto ask = [] {
    HDDEDATA data = request(reinterpret_cast<HCONV>(1), "lse_vod", "BID", CF_TEXT);
    char text[64] = "";
    if (data) DdeGetData(data, reinterpret_cast<BYTE*>(text), sizeof text - 1, 0);
    return std::string(text);
  };
  now = vod->lastUpdate + 2;
  EXPECT_EQ(ask(), vod->values[4]);
  EXPECT_EQ(sink->getRecordStatus(vod->rid.c_str()).status, QELSTATUS_CLOSED);
  now = vod->lastUpdate + 3;
  EXPECT_EQ(ask(), " ");
  EXPECT_EQ(sink->getRecordStatus(vod->rid.c_str()).status, QELSTATUS_SNAPSHOT_WAIT);
}

TEST_F(AppRoutingTest, ErrorStatusMarksTheStockInvalid) {
  Stock* bad = findOrCreateStock("LSE_NOSUCH");
  bad->open();
  ASSERT_TRUE(runUntil([&] { return bad->invalid; }));
  Stock* unresolved = findOrCreateStock("XYZ_ABC");
  EXPECT_EQ(unresolved->rid, "ERROR^XYZ^ABC");
  unresolved->open();
  ASSERT_TRUE(runUntil([&] { return unresolved->invalid; }));
}

// Many refusals at once used to share one budget: the fourth was only counted.
TEST_F(AppRoutingTest, EveryRefusedInstrumentIsNamed) {
  LogCapture logs(3);
  std::vector<Stock*> refused;
  for (const char* s : {"LSE_NOSUCH1", "LSE_NOSUCH2", "LSE_NOSUCH3", "LSE_NOSUCH4"}) {
    refused.push_back(findOrCreateStock(s));
    refused.back()->open();
  }
  ASSERT_TRUE(runUntil([&] { return std::all_of(refused.begin(), refused.end(), [](Stock* s) { return s->invalid; }); }));
  for (Stock* s : refused) EXPECT_TRUE(logs.contains("status 7 (" + s->rid + ")")) << s->rid << "\n" << logs.text();
}

TEST_F(AppRoutingTest, RecordsNobodyOpenedAreLoggedAndDropped) {
  App app;
  std::string bytes = frame(QELMSG_IMAGE, "L1^LSE^ZZZ", std::string("\x01\x00\x00\x00\x05", 5));
  LogCapture logs;
  app.handleRecord(*sink, QelMessage::at(&bytes[0]));
  EXPECT_TRUE(logs.contains("Can't find stock (LSE_ZZZ)"));
  std::string unknownMarket = frame(QELMSG_IMAGE, "L1^QQ^ZZZ");
  app.handleRecord(*sink, QelMessage::at(&unknownMarket[0]));
  EXPECT_EQ(stocks.count("LSE_ZZZ"), 0u);
  app.handleStatus(*sink, "L1^LSE^ZZZ", QELSTATUS_OPEN, QELSTATUS_ERROR);
  EXPECT_TRUE(logs.contains("can't find stock (LSE_ZZZ)"));
  // A storm of statuses writes a few lines, then counts the rest.
  LogCapture storm(3);
  for (int i = 0; i < 100; ++i) app.handleStatus(*sink, "L1^LSE^VOD", QELSTATUS_STALE, QELSTATUS_STALE);
  flushLogLimits();
  EXPECT_EQ(storm.count("status 5 (L1^LSE^VOD)"), static_cast<int>(LOG_LIMIT_LINES));
  EXPECT_TRUE(storm.contains("... 95 more like this"));
}

void heldUntilExit(int i) { LOG_WRN_CAPPED("trouble " << i); }

// The real entry: the tip waits for the main loop, and reads
// "Authenticating.." while the login answer is outstanding.
TEST(AppStartUpTest, FirstTipComesFromTheMainLoopWhileTheLoginIsAnswered) {
  ServerHarness h;
  LoopbackServer feed;  // takes the connection and never answers
  hostname = "127.0.0.1";
  feedPorts[0] = feedPorts[1] = feed.port();
  h.shell.logins.push_back({true, "demo", "demo"});
  std::size_t tipsDuringDialog = 99;
  h.shell.onDialog = [&] {
    tipsDuringDialog = h.shell.tips.size();
    for (int i = 0; i < 7; ++i) heldUntilExit(i);
  };
  struct Exit : TimerHandler {
    ScriptedShell* shell;
    void handleTimer(int) override { shell->exit(); }
  } exitLater;
  exitLater.shell = &h.shell;
  h.loop.setTimer(h.loop.allocateTimerId(), 1300, &exitLater);
  LogCapture logs(3);
  EXPECT_EQ(tavroMain(h.shell, h.loop), 0);
  EXPECT_EQ(tipsDuringDialog, 0u);
  ASSERT_FALSE(h.shell.tips.empty());
  EXPECT_EQ(h.shell.tips[0], "Authenticating..");
  // The program ends inside the window: what it held back is counted on the way out.
  EXPECT_EQ(logs.count("trouble "), static_cast<int>(LOG_LIMIT_LINES));
  EXPECT_TRUE(logs.contains("WRN - ... " + std::to_string(7 - LOG_LIMIT_LINES) + " more like this\n"));
}

// With the DDE directory refused no client can reach the program: it says
// so and ends with a failure status.
TEST(AppStartUpTest, ServiceThatCannotStartEndsTheProgram) {
  ServerHarness h;
  ASSERT_TRUE(h.startSim());
  std::string notADirectory = h.dir.root + "/file";
  FILE* f = std::fopen(notADirectory.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  setenv("TAVRO_DDE_DIR", notADirectory.c_str(), 1);
  h.shell.logins.push_back({true, "demo", "demo"});
  LogCapture logs(3);
  EXPECT_EQ(tavroMain(h.shell, h.loop), 1);
  ASSERT_EQ(h.shell.boxes.size(), 1u);
  EXPECT_NE(h.shell.boxes[0].find("could not be started"), std::string::npos);
}

// A second start finds the first's claim: no dialog, no icon, a word on where the first is.
TEST(AppStartUpTest, SecondCopySaysWhereTheFirstIsAndEndsWithZero) {
  ServerHarness h;
  ASSERT_EQ(::mkdir(h.dir.ddeDir.c_str(), 0700), 0);
  int first = ::open((h.dir.ddeDir + "/TavroDDE.lock").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_EQ(::flock(first, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(tavroMain(h.shell, h.loop), 0);
  EXPECT_EQ(h.shell.boxes,
            std::vector<std::string>({"TAVRO: TavroDDE is already running; its icon is in the notification area."}));
  EXPECT_TRUE(h.shell.prompts.empty());
  EXPECT_FALSE(h.shell.trayAdded);
  // Started by COM for a spreadsheet: nobody is there to click a box.
  EXPECT_EQ(tavroMain(h.shell, h.loop, true), 0);
  EXPECT_EQ(h.shell.boxes.size(), 1u);
  EXPECT_TRUE(h.shell.prompts.empty());
  ::close(first);
  EXPECT_FALSE(anotherCopyRuns(h.shell));  // the first has gone: this one may serve
}

TEST(AppLocaleTest, OnlyFourLocaleIdsSelectAnotherLanguage) {
  EXPECT_STREQ(localeForId(1031), "de_DE");
  EXPECT_STREQ(localeForId(1036), "fr_FR");
  EXPECT_STREQ(localeForId(1040), "it_IT");
  EXPECT_STREQ(localeForId(1046), "pt_BR");
  EXPECT_STREQ(localeForId(2057), "en_GB");
  EXPECT_STREQ(localeForId(3079), "en_GB");
  EXPECT_STREQ(localeForId(1033), "en_GB");
}

TEST(AppMarketListTest, LinesWithoutFourFieldsAreSkipped) {
  clearMarkets();
  LogCapture logs;
  const char text[] = "LSE:R:LSE:1\n\nNQ:D:NASDAQ:7\nBROKEN:X\n::x:3\nNY:R:NYSE:notanumber\nXE:R:XETRA:4";
  EXPECT_EQ(parseMarketList(text, sizeof text - 1), 3);
  EXPECT_EQ(marketMap.size(), 3u);
  EXPECT_EQ(marketMap["LSE"]->getID(), 1);
  EXPECT_EQ(marketMap["NQ"]->getID(), 7);
  EXPECT_EQ(marketSymbols["XETRA"], "XE");
  EXPECT_EQ(logs.count("skipping market line"), 3);
  // The balloon names as many as fit and counts the rest.
  std::string many;
  for (int i = 100; i < 200; ++i) many += "M" + std::to_string(i) + ":R:MKT" + std::to_string(i) + ":1\n";
  clearMarkets();
  ASSERT_EQ(parseMarketList(many.data(), many.size()), 100);
  const std::string notice = signedInNotice(255);
  EXPECT_LE(notice.size(), 255u);
  // A comma after every name shown but the last, and one before "and N more".
  std::size_t shown = static_cast<std::size_t>(std::count(notice.begin(), notice.end(), ','));
  EXPECT_NE(notice.find(", and " + std::to_string(100 - shown) + " more (the log lists them all). Link"),
            std::string::npos) << notice;
  EXPECT_EQ(notice.find("MKT1" + std::to_string(shown)), std::string::npos) << notice;
  // The text ends at the first NUL.
  clearMarkets();
  const char withNul[] = "LSE:R:LSE:1\n\0NQ:D:NASDAQ:7\n";
  EXPECT_EQ(parseMarketList(withNul, sizeof withNul - 1), 1);
  clearMarkets();
}

}  // namespace
