#pragma once
// A Shell whose user follows a script: login answers and box answers are
// queued by the test, and everything shown is recorded. Dialogs can run the
// event loop for a while first, as a user takes time to type.

#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/Shell.h"

class ScriptedShell : public Shell {
 public:
  struct Login {
    bool ok;
    std::string user;
    std::string pass;
  };

  ScriptedShell() = default;

  bool trayAdd() override {
    trayAdded = true;
    return trayWorks;
  }
  void traySetTip(const char* tip) override { tips.push_back(tip); }
  void trayNotify(const char* title, const char* text) override {
    notices.push_back(std::string(title) + ": " + text);
  }
  void trayRemove() override { trayRemoved = true; }
  void setExitHandler(std::function<void()> onExit) override { exit = std::move(onExit); }

  bool loginDialog(const char* prompt, char* username, char* password, std::size_t size) override {
    prompts.push_back(prompt);
    shownUser.push_back(username);
    shownPass.push_back(password);
    maxEntry = size - 1;
    if (onDialog) onDialog();
    if (logins.empty()) return false;
    Login l = logins.front();
    logins.pop_front();
    if (!l.ok) return false;
    copy(username, l.user, size);
    copy(password, l.pass, size);
    return true;
  }

  bool messageBox(const char* text, const char* title, Buttons buttons) override {
    boxes.push_back(std::string(title) + ": " + text);
    if (onBox) onBox();
    if (buttons == BUTTONS_OK) return true;
    if (answers.empty()) return false;
    bool a = answers.front();
    answers.pop_front();
    return a;
  }

  unsigned systemLocaleId() override { return localeId; }

  std::deque<Login> logins;
  std::deque<bool> answers;
  std::vector<std::string> prompts, shownUser, shownPass, boxes, tips, notices;
  std::function<void()> exit, onDialog, onBox;
  std::size_t maxEntry = 0;
  unsigned localeId = 2057;
  bool trayWorks = true, trayAdded = false, trayRemoved = false;

 private:
  static void copy(char* dest, const std::string& src, std::size_t size) {
    std::size_t n = src.size() < size - 1 ? src.size() : size - 1;
    std::memcpy(dest, src.data(), n);
    dest[n] = '\0';
  }
};
