#pragma once
// The whole server in one process and on one event loop, for tests: a feed
// simulator on a loopback port, the program's start-up and login flow with a
// scripted user, and a DDE client on the local socket. The program's globals
// are reset when the harness goes.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "app/App.h"
#include "app/TavroDDE.h"
#include "dde/Conversation.h"
#include "dde/DDEInterface.h"
#include "dde/Stock.h"
#include "feed/Market.h"
#include "support/Log.h"
#include "tests/TestSupport.h"
#include "tests/fakes/ScriptedShell.h"
#include "tools/ddeclient/DdeClient.h"
#include "tools/feedsim/FeedSim.h"

class ServerHarness {
 public:
  ServerHarness() {
    data.loadBuiltin();
    options.port = 0;
    options.rate = 20;
    options.pingInterval = 0;
    options.seeded = true;
    options.seed = 7;
  }
  ~ServerHarness() {
    client.close();
    closeDDE();
    for (auto& entry : conversationMap) delete entry.second;
    conversationMap.clear();
    stocks.clear();
    delete sink;
    sink = nullptr;
    delete console;
    console = nullptr;
    clearMarkets();
    authenticated = authFailed = false;
    trayMessage[0] = '\0';
    sim.reset();
  }

  // A (new) simulator with `options`, which the program's first port points at.
  bool startSim() {
    sim = std::make_unique<FeedSim>(options, data, loop);
    if (!sim->start()) return false;
    hostname = "127.0.0.1";
    feedPorts[0] = feedPorts[1] = sim->port();
    return true;
  }
  // The program's start-up, up to (not including) the login flow.
  void startProgram() {
    startUp(shell, loop);
    setLogLevel(0);
    loop.setAfterEvent(updateStats);
  }
  // Simulator, program, and a login as demo with the DDE client connected.
  bool start() {
    if (!startSim()) return false;
    startProgram();
    shell.logins.push_back({true, "demo", "demo"});
    if (!connect() || !runUntil([] { return ddeInstance != 0; })) return false;
    client.setIdle([this] { loop.runOnce(2); });
    client.setTimeoutMs(3000);
    return client.open("TAVRO");
  }

  bool runUntil(const std::function<bool()>& done, int ms = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      loop.runOnce(5);
      if (client.isOpen()) client.pump(0);
    }
    return true;
  }

  std::uint32_t conversation(const std::string& topic) {
    std::uint32_t conv = 0;
    EXPECT_EQ(client.connect("TAVRO", topic, conv), DdeReply::Ok) << topic;
    return conv;
  }

  DdeReply request(std::uint32_t conv, const std::string& item, const DdeBridgeFormat& format, std::string& out) {
    DdeBridgeFormat dataFormat;
    return client.request(conv, item, format, dataFormat, out);
  }

  TempDir dir;
  EventLoop loop;
  ScriptedShell shell;
  SimOptions options;
  SimData data;
  std::unique_ptr<FeedSim> sim;
  DdeClient client;
};
