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

  // Finds a server for service|topic; false when none answers. `to` may name
  // the window that answered an earlier initiate (see serverHost), which
  // spares a broadcast to every top-level window.
  bool initiate(const char* service, const char* topic, int timeoutMs, HWND to = HWND_BROADCAST);
  DdeReply request(const char* item, UINT format, int timeoutMs, DdeValue& out);
  DdeReply adviseStart(const char* item, UINT format, int timeoutMs);
  // Asks for an advise loop without waiting for the answer, which joins the
  // acknowledgements (see acknowledgements, forgetAcks).
  bool postAdvise(const char* item, UINT format);
  std::size_t acknowledgements() const { return m_acks.size(); }

  DdeReply adviseStop(const char* item, UINT format, int timeoutMs);
  // The next advise data already received, if any; never waits.
  bool takeAdvise(DdeValue& out);
  void terminate(int timeoutMs);

  bool connected() const { return m_server && !m_serverTerminated; }
  const std::string& lastError() const { return m_error; }
  HWND window() const { return m_window; }
  HWND server() const { return m_server; }
  // The window that created the server's side of this conversation, when the
  // system makes it the parent (Wine does); else HWND_BROADCAST.
  HWND serverHost() const;
  // Off: advise data that asks for an acknowledgement gets none, and its
  // memory stays the server's, as with a client that hangs.
  void setAcknowledge(bool on) { m_acknowledge = on; }
  // Off: loops started from now on ask for data without acknowledgements.
  void setAskAcknowledge(bool on) { m_askAcknowledge = on; }
  long dataReceived() const { return m_dataReceived; }
  // How many servers answered the last initiate (the first is kept, the rest sent away).
  int answers() const { return m_answers; }
  // Drops acknowledgements not waited for (answers to messages sent without waiting).
  void forgetAcks() { m_acks.clear(); }

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
  bool m_acknowledge = true;
  bool m_askAcknowledge = true;
  HGLOBAL m_lastOptions = nullptr;
  long m_dataReceived = 0;
  int m_answers = 0;
  std::deque<Ack> m_acks;
  std::deque<DdeValue> m_data;
  std::string m_error;
};
