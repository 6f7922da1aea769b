#pragma once
// One DDE conversation held over the raw window-message protocol, the way a
// spreadsheet holds it: WM_DDE_INITIATE broadcast and its WM_DDE_ACK, then
// WM_DDE_REQUEST, WM_DDE_ADVISE / WM_DDE_UNADVISE with their acknowledgements,
// WM_DDE_DATA (acknowledged when the server asks, freed when it says so) and
// WM_DDE_TERMINATE. The client window receives everything on this thread;
// waits pump the thread's messages, so several conversations may run at once.
// Every wait is bounded. Data from the server is copied out of its global
// memory within the size the memory reports.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <deque>
#include <string>

enum class DdeReply { Ok, Refused, Failed };

struct DdeValue {
  std::string item;
  UINT format = 0;  // as the server put it in DDEDATA, low 16 bits
  bool response = false;  // an answer to a request, not advise data
  std::string data;
};

class RawDdeClient {
 public:
  RawDdeClient();
  ~RawDdeClient();
  RawDdeClient(const RawDdeClient&) = delete;
  RawDdeClient& operator=(const RawDdeClient&) = delete;

  // Finds a server for service|topic; false when none answers.
  bool initiate(const char* service, const char* topic, int timeoutMs);
  DdeReply request(const char* item, UINT format, int timeoutMs, DdeValue& out);
  DdeReply adviseStart(const char* item, UINT format, int timeoutMs);
  DdeReply adviseStop(const char* item, UINT format, int timeoutMs);
  // The next advise data already received, if any; never waits.
  bool takeAdvise(DdeValue& out);
  void terminate(int timeoutMs);

  bool connected() const { return m_server && !m_serverTerminated; }
  const std::string& lastError() const { return m_error; }

  // Dispatches the thread's messages for up to `timeoutMs`; false on WM_QUIT.
  static bool pump(int timeoutMs);
  // The clipboard format registered under `name`, low 16 bits.
  static UINT registeredFormat(const char* name);

 private:
  struct Ack {
    bool positive;
    WORD status;
    std::string item;
  };
  static LRESULT CALLBACK windowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  LRESULT handle(UINT msg, WPARAM wParam, LPARAM lParam);
  void onInitiateAck(HWND server, LPARAM lParam);
  void onAck(HWND server, LPARAM lParam);
  void onData(HWND server, LPARAM lParam);
  bool waitAck(const char* item, int timeoutMs, Ack& out);

  HWND m_window = nullptr;
  HWND m_server = nullptr;
  bool m_initiating = false;
  bool m_terminateSent = false;
  bool m_serverTerminated = false;
  std::deque<Ack> m_acks;
  std::deque<DdeValue> m_data;
  std::string m_error;
};
