#include "tools/feedsim/SimOptions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(SimOptionsTest, OptionsParseEveryFlag) {
  const char* argv[] = {"feedsim",          "--host",         "localhost",        "--port=0",
                        "--data",           "f.txt",          "--name",           "sim",
                        "--rate",           "2.5",            "--ping-interval",  "3",
                        "--publish",        "--drop-after-frames", "4",           "--drop-after-seconds",
                        "1.5",              "--malformed",    "ridlength",        "--truncated-update",
                        "--split-bytes",    "--stall",        "-v",               "-v",
                        "--exit-after-seconds", "9",          "--exit-when-idle", "--fail-on-violation",
                        "--seed",           "12",             "--stamp",          "--spread",
                        "--instruments",    "1000"};
  SimOptions o;
  std::string error;
  ASSERT_TRUE(parseSimOptions(static_cast<int>(sizeof argv / sizeof argv[0]), argv, o, error)) << error;
  EXPECT_EQ(o.host, "localhost");
  EXPECT_EQ(o.port, 0);
  EXPECT_EQ(o.dataFile, "f.txt");
  EXPECT_EQ(o.name, "sim");
  EXPECT_DOUBLE_EQ(o.rate, 2.5);
  EXPECT_EQ(o.pingInterval, 3);
  EXPECT_TRUE(o.publish);
  EXPECT_EQ(o.dropAfterFrames, 4);
  EXPECT_DOUBLE_EQ(o.dropAfterSeconds, 1.5);
  EXPECT_EQ(o.malformed, SimMalformed::RIDLENGTH);
  EXPECT_TRUE(o.truncatedUpdate);
  EXPECT_TRUE(o.splitBytes);
  EXPECT_TRUE(o.stall);
  EXPECT_EQ(o.verbosity, 2);
  EXPECT_DOUBLE_EQ(o.exitAfterSeconds, 9);
  EXPECT_TRUE(o.exitWhenIdle);
  EXPECT_TRUE(o.failOnViolation);
  EXPECT_TRUE(o.seeded);
  EXPECT_EQ(o.seed, 12u);
  EXPECT_TRUE(o.stamp);
  EXPECT_TRUE(o.spread);
  EXPECT_EQ(o.instruments, 1000);
}

TEST(SimOptionsTest, OptionsDefaults) {
  const char* argv[] = {"feedsim"};
  SimOptions o;
  std::string error;
  ASSERT_TRUE(parseSimOptions(1, argv, o, error));
  EXPECT_EQ(o.host, "127.0.0.1");
  EXPECT_EQ(o.port, 7000);
  EXPECT_EQ(o.pingInterval, 10);
  EXPECT_DOUBLE_EQ(o.rate, 1.0);
  EXPECT_FALSE(o.seeded);
  EXPECT_EQ(o.malformed, SimMalformed::NONE);
  EXPECT_FALSE(o.stamp);
  EXPECT_FALSE(o.spread);
  EXPECT_EQ(o.instruments, 0);
}

TEST(SimOptionsTest, OptionsRefuseBadValues) {
  const std::vector<std::vector<const char*>> cases = {
      {"--port", "70000"}, {"--port", "x"},  {"--port"},           {"--rate", "-1"},
      {"--rate", "1001"},  {"--rate", "nan"}, {"--malformed", "size"}, {"--drop-after-frames", "0"},
      {"--drop-after-seconds", "0"}, {"--seed", "-1"}, {"--seed", "4294967296"}, {"--bogus"},
      {"--publish=yes"},   {"--ping-interval", "1.5"}, {"--exit-after-seconds", "0"}, {"--name", ""},
      {"--stamp=yes"},     {"--instruments", "0"}, {"--instruments", "100001"}, {"--instruments", "many"},
  };
  for (const auto& args : cases) {
    std::vector<const char*> argv = {"feedsim"};
    argv.insert(argv.end(), args.begin(), args.end());
    SimOptions o;
    std::string error;
    EXPECT_FALSE(parseSimOptions(static_cast<int>(argv.size()), argv.data(), o, error)) << args[0];
    EXPECT_FALSE(error.empty()) << args[0];
  }
}

TEST(SimOptionsTest, HelpDocumentsEveryFlag) {
  std::string usage = simUsage();
  for (const char* flag : {"--host", "--port", "--name", "--data", "--print-data", "--rate", "--ping-interval",
                           "--publish", "--seed", "--drop-after-frames", "--drop-after-seconds", "--malformed",
                           "--truncated-update", "--split-bytes", "--stall", "--verbose", "--exit-after-seconds",
                           "--exit-when-idle", "--fail-on-violation", "--stamp", "--spread", "--instruments",
                           "--help"}) {
    EXPECT_NE(usage.find(flag), std::string::npos) << flag;
    // Every flag the usage names is accepted.
    std::vector<const char*> argv = {"feedsim", flag};
    std::string name = flag;
    if (name == "--host" || name == "--name" || name == "--data") argv.push_back("x");
    if (name == "--port" || name == "--rate" || name == "--ping-interval" || name == "--seed" || name == "--instruments")
      argv.push_back("1");
    if (name == "--drop-after-frames" || name == "--drop-after-seconds" || name == "--exit-after-seconds")
      argv.push_back("1");
    if (name == "--malformed") argv.push_back("trailer");
    SimOptions o;
    std::string error;
    EXPECT_TRUE(parseSimOptions(static_cast<int>(argv.size()), argv.data(), o, error)) << flag << ": " << error;
  }
}

}  // namespace
