#pragma once
// The spreadsheet's real-time data (RTD) door: on Windows a COM local server
// of class "Tavro.RTD" served from this program, through which a worksheet's
// RTD function reaches the same cache as DDE. The platform takes the COM
// calls from the one message loop and hands each spreadsheet's calls to one
// RtdSession that the core makes; values cross as RtdValues. Where there is
// no COM (POSIX) there is no door: opening it does nothing.

#include <string>
#include <utility>
#include <vector>

// One cell as a spreadsheet shows it: a number, or a Windows-1252 string.
struct RtdValue {
  bool isNumber = false;
  double number = 0.0;
  std::string text;

  static RtdValue ofNumber(double value) {
    RtdValue v;
    v.isNumber = true;
    v.number = value;
    return v;
  }
  static RtdValue ofText(const std::string& value) {
    RtdValue v;
    v.text = value;
    return v;
  }
  friend bool operator==(const RtdValue& a, const RtdValue& b) {
    return a.isNumber == b.isNumber && (a.isNumber ? a.number == b.number : a.text == b.text);
  }
  friend bool operator!=(const RtdValue& a, const RtdValue& b) { return !(a == b); }
};

// The door's side of a session: the spreadsheet is to be told that a refresh
// has something for it. Called on the one thread; never calls out at once.
class RtdUpdateListener {
 public:
  virtual ~RtdUpdateListener() = default;
  virtual void rtdUpdated() = 0;
};

// One spreadsheet's topics, by the ids the spreadsheet chose.
class RtdSession {
 public:
  virtual ~RtdSession() = default;
  // (topic, item) as a DDE client names them; the value at once.
  virtual RtdValue connect(long topicId, const std::vector<std::string>& strings) = 0;
  virtual void disconnect(long topicId) = 0;
  // The topics whose value changed since the last refresh, with their latest values.
  virtual std::vector<std::pair<long, RtdValue>> refresh() = 0;
  // Releases every topic.
  virtual void terminate() = 0;
};

class RtdSessionFactory {
 public:
  virtual ~RtdSessionFactory() = default;
  // A session for a new spreadsheet, owned by the caller; `listener` outlives it.
  virtual RtdSession* newRtdSession(RtdUpdateListener* listener) = 0;
};

// Makes the class reachable: from now on spreadsheets' calls arrive through
// the message loop and go to sessions of `factory` (not owned). False, with
// an ERR line, when the system refused.
bool rtdOpen(RtdSessionFactory* factory);
// Ends every session and withdraws the class.
void rtdClose();

// The switches of a COM local server: "/regserver" (or "-regserver") writes
// the class's per-user registration for this executable, "/unregserver"
// removes it. True when `argv` held one, with the process's exit code.
bool rtdRegistrationCommand(int argc, char** argv, int& exitCode);
