#include "tools/ddeclient/win32/RawDdeClient.h"

#include <dde.h>

#include <cstring>

namespace {

const char CLIENT_CLASS[] = "TavroRawDdeClient";

// The first word of DDEDATA and DDEADVISE, bit by bit.
const WORD DATA_RESPONSE = 0x1000;
const WORD DATA_RELEASE = 0x2000;
const WORD ACK_REQUESTED = 0x8000;
const WORD ACK_POSITIVE = 0x8000;
// DDEDATA's Value starts after the flags word and the format.
const SIZE_T DDEDATA_HEADER = 4;

std::string atomName(ATOM atom) {
  char name[256];
  UINT n = atom ? GlobalGetAtomNameA(atom, name, sizeof name) : 0;
  return std::string(name, n < sizeof name ? n : 0);
}

bool sameItem(const std::string& a, const char* b) { return lstrcmpiA(a.c_str(), b) == 0; }

ULONGLONG deadlineAfter(int timeoutMs) { return GetTickCount64() + static_cast<ULONGLONG>(timeoutMs); }

int leftUntil(ULONGLONG deadline) {
  ULONGLONG now = GetTickCount64();
  return now >= deadline ? 0 : static_cast<int>(deadline - now);
}

}  // namespace

RawDdeClient::RawDdeClient() {
  HINSTANCE instance = GetModuleHandleA(nullptr);
  static bool registered = false;
  if (!registered) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = windowProc;
    wc.hInstance = instance;
    wc.lpszClassName = CLIENT_CLASS;
    registered = RegisterClassA(&wc) != 0;
  }
  // A top-level window that is never shown: DDE servers answer top-level windows.
  m_window = CreateWindowExA(0, CLIENT_CLASS, "ddeclient", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance, this);
  if (!m_window) m_error = "cannot create the client window";
}

RawDdeClient::~RawDdeClient() {
  if (m_server && !m_terminateSent) terminate(1000);
  if (m_window) {
    SetWindowLongPtrA(m_window, GWLP_USERDATA, 0);
    DestroyWindow(m_window);
  }
}

LRESULT CALLBACK RawDdeClient::windowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<RawDdeClient*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (self && msg >= WM_DDE_FIRST && msg <= WM_DDE_LAST) return self->handle(msg, wParam, lParam);
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

LRESULT RawDdeClient::handle(UINT msg, WPARAM wParam, LPARAM lParam) {
  HWND from = reinterpret_cast<HWND>(wParam);
  switch (msg) {
    case WM_DDE_ACK:
      if (m_initiating)
        onInitiateAck(from, lParam);
      else
        onAck(from, lParam);
      return 0;
    case WM_DDE_DATA:
      onData(from, lParam);
      return 0;
    case WM_DDE_TERMINATE:
      if (from == m_server) {
        m_serverTerminated = true;
        if (!m_terminateSent) {
          PostMessageA(m_server, WM_DDE_TERMINATE, reinterpret_cast<WPARAM>(m_window), 0);
          m_terminateSent = true;
        }
      }
      return 0;
    case WM_DDE_INITIATE:
      return 0;  // our own broadcast, or another client's: we serve nothing
    default:
      // Messages a server does not send to a client: release what they carry.
      FreeDDElParam(msg, lParam);
      return 0;
  }
}

// The answer to WM_DDE_INITIATE is sent, not posted, and its atoms are ours to delete.
void RawDdeClient::onInitiateAck(HWND server, LPARAM lParam) {
  GlobalDeleteAtom(LOWORD(lParam));
  GlobalDeleteAtom(HIWORD(lParam));
  ++m_answers;
  if (!m_server)
    m_server = server;
  else if (server != m_server)
    PostMessageA(server, WM_DDE_TERMINATE, reinterpret_cast<WPARAM>(m_window), 0);  // one server is enough
}

void RawDdeClient::onAck(HWND server, LPARAM lParam) {
  UINT_PTR status = 0, atom = 0;
  UnpackDDElParam(WM_DDE_ACK, lParam, &status, &atom);
  FreeDDElParam(WM_DDE_ACK, lParam);
  std::string item = atomName(static_cast<ATOM>(atom));
  if (atom) GlobalDeleteAtom(static_cast<ATOM>(atom));
  if (server != m_server) return;
  m_acks.push_back(Ack{(status & ACK_POSITIVE) != 0, static_cast<WORD>(status), item});
}

void RawDdeClient::onData(HWND server, LPARAM lParam) {
  UINT_PTR memory = 0, atom = 0;
  UnpackDDElParam(WM_DDE_DATA, lParam, &memory, &atom);
  HGLOBAL hData = reinterpret_cast<HGLOBAL>(memory);
  DdeValue value;
  value.item = atomName(static_cast<ATOM>(atom));
  WORD flags = 0;
  bool valid = false;
  if (hData) {
    SIZE_T size = GlobalSize(hData);
    const BYTE* bytes = static_cast<const BYTE*>(GlobalLock(hData));
    if (bytes && size >= DDEDATA_HEADER) {
      WORD format;
      std::memcpy(&flags, bytes, sizeof flags);
      std::memcpy(&format, bytes + 2, sizeof format);
      value.format = format;
      value.response = (flags & DATA_RESPONSE) != 0;
      value.data.assign(reinterpret_cast<const char*>(bytes + DDEDATA_HEADER), size - DDEDATA_HEADER);
      valid = true;
    }
    if (bytes) GlobalUnlock(hData);
  }

  if (server == m_server) ++m_dataReceived;
  if ((flags & ACK_REQUESTED) && !m_acknowledge) {
    if (valid && server == m_server) m_data.push_back(std::move(value));
    return;
  }
  if (flags & ACK_REQUESTED) {
    // The item atom goes back with the acknowledgement; the server deletes it.
    WORD status = valid && server == m_server ? ACK_POSITIVE : 0;
    LPARAM ack = ReuseDDElParam(lParam, WM_DDE_DATA, WM_DDE_ACK, status, atom);
    if (!PostMessageA(server, WM_DDE_ACK, reinterpret_cast<WPARAM>(m_window), ack)) {
      FreeDDElParam(WM_DDE_ACK, ack);
      if (atom) GlobalDeleteAtom(static_cast<ATOM>(atom));
    }
    // On a negative acknowledgement the server keeps the memory.
    if (status && (flags & DATA_RELEASE)) GlobalFree(hData);
  } else {
    FreeDDElParam(WM_DDE_DATA, lParam);
    if (atom) GlobalDeleteAtom(static_cast<ATOM>(atom));
    if (hData && (flags & DATA_RELEASE)) GlobalFree(hData);
  }
  if (valid && server == m_server) m_data.push_back(std::move(value));
}

bool RawDdeClient::pump(int timeoutMs) {
  ULONGLONG deadline = deadlineAfter(timeoutMs);
  for (;;) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) return false;
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    int left = leftUntil(deadline);
    if (left == 0) return true;
    MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(left), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}

UINT RawDdeClient::registeredFormat(const char* name) { return RegisterClipboardFormatA(name) & 0xFFFF; }

HWND RawDdeClient::serverHost() const {
  HWND parent = m_server ? GetAncestor(m_server, GA_PARENT) : nullptr;
  return parent && parent != GetDesktopWindow() ? parent : HWND_BROADCAST;
}

namespace {

// UTF-8 to UTF-16; names are made as Unicode atoms, as a Unicode client
// makes them, so a topic may hold what the ANSI code page cannot show.
std::wstring wide(const char* utf8) {
  int size = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
  std::wstring text(size > 0 ? static_cast<std::size_t>(size) : 1, L'\0');
  if (size > 0) MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &text[0], size);
  text.resize(text.size() - 1);
  return text;
}

}  // namespace

bool RawDdeClient::initiate(const char* service, const char* topic, int timeoutMs, HWND to) {
  if (!m_window) return false;
  ATOM app = GlobalAddAtomW(wide(service).c_str());
  ATOM top = GlobalAddAtomW(wide(topic).c_str());
  m_initiating = true;
  m_answers = 0;
  DWORD_PTR ignored = 0;
  // SMTO_NORMAL: the servers' answers, sent to us meanwhile, are handled during the wait.
  SendMessageTimeoutA(to, WM_DDE_INITIATE, reinterpret_cast<WPARAM>(m_window), MAKELPARAM(app, top),
                      SMTO_NORMAL | SMTO_ABORTIFHUNG, static_cast<UINT>(timeoutMs), &ignored);
  m_initiating = false;
  GlobalDeleteAtom(app);
  GlobalDeleteAtom(top);
  if (!m_server) {
    m_error = std::string("no server answered for ") + service + "|" + topic;
    return false;
  }
  return true;
}

bool RawDdeClient::waitAck(const char* item, int timeoutMs, Ack& out) {
  ULONGLONG deadline = deadlineAfter(timeoutMs);
  for (;;) {
    while (!m_acks.empty()) {
      Ack ack = m_acks.front();
      m_acks.pop_front();
      if (sameItem(ack.item, item)) {
        out = ack;
        return true;
      }
    }
    if (m_serverTerminated) {
      m_error = "the server ended the conversation";
      return false;
    }
    int left = leftUntil(deadline);
    if (left == 0) {
      m_error = std::string("no acknowledgement for ") + item + " in time";
      return false;
    }
    if (!pump(left < 20 ? left : 20)) return false;
  }
}

DdeReply RawDdeClient::request(const char* item, UINT format, int timeoutMs, DdeValue& out) {
  if (!connected()) return DdeReply::Failed;
  ATOM atom = GlobalAddAtomA(item);
  if (!PostMessageA(m_server, WM_DDE_REQUEST, reinterpret_cast<WPARAM>(m_window),
                    PackDDElParam(WM_DDE_REQUEST, format & 0xFFFF, atom))) {
    GlobalDeleteAtom(atom);
    m_error = "cannot post WM_DDE_REQUEST";
    return DdeReply::Failed;
  }
  ULONGLONG deadline = deadlineAfter(timeoutMs);
  for (;;) {
    for (auto it = m_data.begin(); it != m_data.end(); ++it) {
      if (it->response && sameItem(it->item, item)) {
        out = *it;
        m_data.erase(it);
        return DdeReply::Ok;
      }
    }
    for (auto it = m_acks.begin(); it != m_acks.end(); ++it) {
      // A positive acknowledgement without data is no answer: some servers send one after the data.
      if (!it->positive && sameItem(it->item, item)) {
        m_acks.erase(it);
        m_error = std::string("request for ") + item + " refused";
        return DdeReply::Refused;
      }
    }
    if (m_serverTerminated) {
      m_error = "the server ended the conversation";
      return DdeReply::Failed;
    }
    int left = leftUntil(deadline);
    if (left == 0) {
      m_error = std::string("no answer for ") + item + " in time";
      return DdeReply::Failed;
    }
    if (!pump(left < 20 ? left : 20)) return DdeReply::Failed;
  }
}

bool RawDdeClient::postAdvise(const char* item, UINT format) {
  if (!connected()) return false;
  HGLOBAL options = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, 2 * sizeof(WORD));
  if (!options) {
    m_error = "out of global memory";
    return false;
  }
  // A hot link (data with every change), each update acknowledged unless told otherwise.
  auto* advise = static_cast<WORD*>(GlobalLock(options));
  advise[0] = m_askAcknowledge ? ACK_REQUESTED : 0;
  advise[1] = static_cast<WORD>(format & 0xFFFF);
  GlobalUnlock(options);

  ATOM atom = GlobalAddAtomA(item);
  LPARAM lParam = PackDDElParam(WM_DDE_ADVISE, reinterpret_cast<UINT_PTR>(options), atom);
  if (!PostMessageA(m_server, WM_DDE_ADVISE, reinterpret_cast<WPARAM>(m_window), lParam)) {
    FreeDDElParam(WM_DDE_ADVISE, lParam);
    GlobalDeleteAtom(atom);
    GlobalFree(options);
    m_error = "cannot post WM_DDE_ADVISE";
    return false;
  }
  m_lastOptions = options;
  return true;
}

DdeReply RawDdeClient::adviseStart(const char* item, UINT format, int timeoutMs) {
  if (!postAdvise(item, format)) return DdeReply::Failed;
  HGLOBAL options = m_lastOptions;
  Ack ack{};
  if (!waitAck(item, timeoutMs, ack)) return DdeReply::Failed;  // the options may still be in use: kept
  if (ack.positive) return DdeReply::Ok;
  GlobalFree(options);  // refused: the options are ours again
  m_error = std::string("advise on ") + item + " refused";
  return DdeReply::Refused;
}

DdeReply RawDdeClient::adviseStop(const char* item, UINT format, int timeoutMs) {
  if (!connected()) return DdeReply::Failed;
  ATOM atom = GlobalAddAtomA(item);
  if (!PostMessageA(m_server, WM_DDE_UNADVISE, reinterpret_cast<WPARAM>(m_window),
                    PackDDElParam(WM_DDE_UNADVISE, format & 0xFFFF, atom))) {
    GlobalDeleteAtom(atom);
    m_error = "cannot post WM_DDE_UNADVISE";
    return DdeReply::Failed;
  }
  Ack ack{};
  if (!waitAck(item, timeoutMs, ack)) return DdeReply::Failed;
  return ack.positive ? DdeReply::Ok : DdeReply::Refused;
}

bool RawDdeClient::takeAdvise(DdeValue& out) {
  for (auto it = m_data.begin(); it != m_data.end(); ++it) {
    if (!it->response) {
      out = *it;
      m_data.erase(it);
      return true;
    }
  }
  return false;
}

void RawDdeClient::terminate(int timeoutMs) {
  if (!m_server) return;
  if (!m_terminateSent) {
    PostMessageA(m_server, WM_DDE_TERMINATE, reinterpret_cast<WPARAM>(m_window), 0);
    m_terminateSent = true;
  }
  ULONGLONG deadline = deadlineAfter(timeoutMs);
  while (!m_serverTerminated && leftUntil(deadline) > 0)
    if (!pump(20)) break;
}
