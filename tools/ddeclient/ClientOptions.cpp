#include "tools/ddeclient/ClientOptions.h"

#include <cstdlib>

namespace {

// DDE names are at most 255 characters.
const std::size_t MAX_NAME = 255;

bool parseNumber(const std::string& text, double& out) {
  char* end = nullptr;
  out = std::strtod(text.c_str(), &end);
  return !text.empty() && end && *end == '\0' && out >= 0 && out < 1e9;
}

}  // namespace

bool parseClientOptions(int argc, char** argv, ClientOptions& o, std::string& why) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      o.help = true;
      return true;
    } else if (a == "--xltable") {
      o.xltable = true;
    } else if (a == "--service") {
      if (!value(o.service) || o.service.empty() || o.service.size() > MAX_NAME) return why = "--service needs a name", false;
    } else if (a == "--count") {
      double n;
      if (!value(v) || !parseNumber(v, n) || n < 1 || n != static_cast<long>(n))
        return why = "--count needs a whole number", false;
      o.count = static_cast<long>(n);
    } else if (a == "--seconds") {
      if (!value(v) || !parseNumber(v, o.seconds)) return why = "--seconds needs a number", false;
    } else if (a == "--items") {
      if (!value(v)) return why = "--items needs a list", false;
      for (std::string& item : splitList(v)) o.items.push_back(item);
    } else if (a.size() > 1 && a[0] == '-') {
      return why = "unknown option " + a, false;
    } else if (o.command.empty()) {
      o.command = a;
    } else {
      o.words.push_back(a);
    }
  }
  for (const auto* list : {&o.words, &o.items})
    for (const std::string& name : *list)
      if (name.size() > MAX_NAME) return why = "names are at most 255 characters", false;
  if (o.command == "request") {
    if (o.words.size() != 2) return why = "request takes a topic and an item", false;
  } else if (o.command == "advise") {
    if (o.words.size() < 2) return why = "advise takes a topic and at least one item", false;
  } else if (o.command == "watch") {
    if (o.words.empty() || o.items.empty()) return why = "watch takes topics and --items", false;
  } else {
    return why = o.command.empty() ? "no command" : "unknown command " + o.command, false;
  }
  return true;
}

std::vector<std::string> splitList(const std::string& list) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t comma; start <= list.size(); start = comma + 1) {
    comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    if (comma > start) out.push_back(list.substr(start, comma - start));
  }
  return out;
}
