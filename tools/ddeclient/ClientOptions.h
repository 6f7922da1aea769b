#pragma once
// The command line shared by the POSIX and Windows ddeclient:
//   request TOPIC ITEM | advise TOPIC ITEM... | watch TOPIC... --items A,B
// with --xltable, --service NAME, --count N, --seconds T, --help.

#include <string>
#include <vector>

struct ClientOptions {
  std::string command;
  std::vector<std::string> words;  // topic and items, or topics
  std::vector<std::string> items;  // --items
  std::string service = "TAVRO";
  bool xltable = false;
  long count = -1;
  double seconds = -1;
  bool help = false;
};

// True when the command line holds together (or asks for --help); otherwise
// false with a one-line reason in `why`.
bool parseClientOptions(int argc, char** argv, ClientOptions& o, std::string& why);

// The names of a comma-separated list, empty ones left out ("A,,B," is A and B).
std::vector<std::string> splitList(const std::string& list);
