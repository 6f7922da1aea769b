// The Windows event loop is the thread's message loop around one hidden
// window: sockets report readiness to it through WSAAsyncSelect, timers are
// SetTimer on it, and dialogs and message boxes run their own modal loops that
// dispatch to it as well, so the feed keeps flowing while they wait.

#include "platform/EventLoop.h"

#include <map>
#include <vector>

#include "platform/Socket.h"
#include "platform/win32/MainWindow.h"
#include "support/Log.h"

namespace {

const char WINDOW_CLASS[] = "TAVRO";
const char WINDOW_TITLE[] = "TAVRO DDE Link";
const WORD ICON_ID = 200;

// Winsock reports write readiness once per full buffer, while the loop's
// contract is to report it as long as it lasts; when the socket is not
// writable yet and no notice may come, this timer looks again.
const UINT_PTR WRITE_RETRY_TIMER = 0x7A5E0001;
const UINT WRITE_RETRY_MS = 20;

// Bounds on work done for one notification, so that no peer can hold the loop.
const int MAX_READS_BEFORE_CLOSE = 1024;
const int MAX_MESSAGES_PER_RUN_ONCE = 256;

class TickClock : public MonotonicClock {
 public:
  std::int64_t nowMs() override { return static_cast<std::int64_t>(GetTickCount64()); }
};

TickClock tickClock;
EventLoop* currentLoop = nullptr;
std::map<const EventLoop*, HWND> loopWindows;
WindowMessageHandler* messageHandler = nullptr;

SOCKET asSocket(int fd) { return static_cast<SOCKET>(static_cast<unsigned>(fd)); }

bool writable(int fd) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(asSocket(fd), &set);
  timeval zero{0, 0};
  return ::select(0, nullptr, &set, nullptr, &zero) == 1;
}

unsigned long bytesAvailable(int fd) {
  u_long count = 0;
  if (::ioctlsocket(asSocket(fd), FIONREAD, &count) != 0) return 0;
  return count;
}

// Asks for another write notice: at once when the socket takes bytes now,
// else from the retry timer.
void kickWrite(HWND hwnd, int fd) {
  if (writable(fd))
    PostMessageA(hwnd, WM_TAVRO_SOCKET, static_cast<WPARAM>(asSocket(fd)), WSAMAKESELECTREPLY(FD_WRITE, 0));
  else
    SetTimer(hwnd, WRITE_RETRY_TIMER, WRITE_RETRY_MS, nullptr);
}

void selectEvents(HWND hwnd, int fd, unsigned interest) {
  long mask = 0;
  if (interest & EVENT_READ) mask |= FD_READ;
  // A close is always worth knowing: without EVENT_CLOSE it reaches the reader as a read.
  if (interest & (EVENT_READ | EVENT_CLOSE)) mask |= FD_CLOSE;
  if (interest & EVENT_WRITE) mask |= FD_WRITE;
  if (::WSAAsyncSelect(asSocket(fd), hwnd, WM_TAVRO_SOCKET, mask) != 0)
    LOG_ERR("select unsuccessful " << socketErrorName(::WSAGetLastError()));
}

HWND windowOf(const EventLoop* loop) {
  auto it = loopWindows.find(loop);
  return it != loopWindows.end() ? it->second : nullptr;
}

}  // namespace

HWND mainWindow(const EventLoop& loop) { return windowOf(&loop); }

void setWindowMessageHandler(WindowMessageHandler* handler) { messageHandler = handler; }

EventLoop::EventLoop(MonotonicClock* clock) : m_clock(clock ? clock : &tickClock), m_previous(currentLoop) {
  currentLoop = this;

  // Defined here so that it may reach the loop's watches and timers.
  static const WNDPROC windowProc = [](HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) -> LRESULT {
    if (msg == WM_NCCREATE) {
      auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
      SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<EventLoop*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (!self) return DefWindowProcA(hwnd, msg, wParam, lParam);

    switch (msg) {
      case WM_TAVRO_SOCKET: {
        int fd = static_cast<int>(wParam);
        auto it = self->m_watches.find(fd);
        if (it == self->m_watches.end()) return 0;  // a notice left over from a closed socket
        std::uint64_t generation = it->second.generation;
        // Each step re-checks the watch: a handler may have dropped or replaced it.
        auto current = [self, fd, generation]() -> Watch* {
          auto found = self->m_watches.find(fd);
          return found != self->m_watches.end() && found->second.generation == generation ? &found->second
                                                                                         : nullptr;
        };
        Watch* w = &it->second;
        switch (WSAGETSELECTEVENT(lParam)) {
          case FD_READ:
            if (w->interest & EVENT_READ) w->handler->handleSocketEvent(fd, EVENT_READ);
            break;
          case FD_WRITE:
            if (w->interest & EVENT_WRITE) {
              w->handler->handleSocketEvent(fd, EVENT_WRITE);
              if ((w = current()) && (w->interest & EVENT_WRITE)) kickWrite(hwnd, fd);
            }
            break;
          case FD_CLOSE: {
            // The data that came before the close is read first.
            for (int i = 0; i < MAX_READS_BEFORE_CLOSE && (w = current()) && (w->interest & EVENT_READ) &&
                            bytesAvailable(fd) > 0;
                 ++i)
              w->handler->handleSocketEvent(fd, EVENT_READ);
            if (!(w = current())) break;
            EventLoopHandler* handler = w->handler;
            if (w->interest & EVENT_CLOSE) {
              self->m_watches.erase(fd);
              ::WSAAsyncSelect(asSocket(fd), hwnd, 0, 0);
              handler->handleSocketEvent(fd, EVENT_CLOSE);
            } else if (w->interest & EVENT_READ) {
              handler->handleSocketEvent(fd, EVENT_READ);  // the reader meets the end of the stream
            }
            break;
          }
          default:
            break;
        }
        return 0;
      }
      case WM_TIMER: {
        if (wParam == WRITE_RETRY_TIMER) {
          KillTimer(hwnd, WRITE_RETRY_TIMER);
          std::vector<int> waiting;
          for (const auto& w : self->m_watches)
            if (w.second.interest & EVENT_WRITE) waiting.push_back(w.first);
          for (int fd : waiting) kickWrite(hwnd, fd);
          return 0;
        }
        int id = static_cast<int>(wParam);
        auto it = self->m_timers.find(id);
        if (it != self->m_timers.end()) it->second.handler->handleTimer(id);
        return 0;
      }
      case WM_TAVRO_POSTED:
        self->m_postSignalled = false;
        self->runPosted(false);  // the message loop runs the after-event hook itself
        return 0;
      case WM_DESTROY:
        self->postQuit(0);
        return 0;
      default: {
        LRESULT result = 0;
        if (messageHandler && messageHandler->handleWindowMessage(hwnd, msg, wParam, lParam, result)) return result;
        return DefWindowProcA(hwnd, msg, wParam, lParam);
      }
    }
  };

  HINSTANCE instance = GetModuleHandleA(nullptr);
  static bool registered = false;
  if (!registered) {
    WNDCLASSA wc{};
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = windowProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(ICON_ID));
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = WINDOW_CLASS;
    registered = RegisterClassA(&wc) != 0;
  }
  HWND hwnd = CreateWindowExA(WS_EX_TOOLWINDOW, WINDOW_CLASS, WINDOW_TITLE, WS_VISIBLE, 0, 0, 0, 0, nullptr,
                              nullptr, instance, this);
  if (!hwnd) LOG_ERR("CreateWindowEx failed - " << GetLastError());
  loopWindows[this] = hwnd;
}

EventLoop::~EventLoop() {
  HWND hwnd = windowOf(this);
  loopWindows.erase(this);
  if (hwnd) {
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
    DestroyWindow(hwnd);
  }
  if (currentLoop == this) currentLoop = m_previous;
}

EventLoop* EventLoop::current() { return currentLoop; }

void EventLoop::watch(int fd, EventLoopHandler* handler, unsigned interest) {
  if (fd < 0 || !handler) return;
  m_watches[fd] = Watch{handler, interest, ++m_generation};
  HWND hwnd = windowOf(this);
  selectEvents(hwnd, fd, interest);
  if (interest & EVENT_WRITE) kickWrite(hwnd, fd);
}

void EventLoop::setInterest(int fd, unsigned interest) {
  auto it = m_watches.find(fd);
  if (it == m_watches.end() || it->second.interest == interest) return;
  bool writeAdded = (interest & EVENT_WRITE) && !(it->second.interest & EVENT_WRITE);
  it->second.interest = interest;
  HWND hwnd = windowOf(this);
  selectEvents(hwnd, fd, interest);
  if (writeAdded) kickWrite(hwnd, fd);
}

void EventLoop::readAgain(int fd) {
  if (m_watches.count(fd))
    PostMessageA(windowOf(this), WM_TAVRO_SOCKET, static_cast<WPARAM>(asSocket(fd)), WSAMAKESELECTREPLY(FD_READ, 0));
}

void EventLoop::unwatch(int fd) {
  if (m_watches.erase(fd) == 0) return;
  // Usually the socket is closed already, and the call fails harmlessly.
  ::WSAAsyncSelect(asSocket(fd), windowOf(this), 0, 0);
}

void EventLoop::setTimer(int id, unsigned periodMs, TimerHandler* handler) {
  if (!handler || periodMs == 0) return;
  m_timers[id] = Timer{periodMs, handler, now() + periodMs};
  HWND hwnd = windowOf(this);
  SetTimer(hwnd, static_cast<UINT_PTR>(static_cast<unsigned>(id)), periodMs, nullptr);
  // The window exists only to receive messages; it goes out of sight once it has its timers.
  if (hwnd && IsWindowVisible(hwnd)) ShowWindow(hwnd, SW_HIDE);
}

void EventLoop::killTimer(int id) {
  if (m_timers.erase(id) == 0) return;
  KillTimer(windowOf(this), static_cast<UINT_PTR>(static_cast<unsigned>(id)));
}

void EventLoop::post(std::function<void()> fn) {
  if (!fn) return;
  m_posted.push_back(std::move(fn));
  if (m_postSignalled) return;
  HWND hwnd = windowOf(this);
  m_postSignalled = hwnd && PostMessageA(hwnd, WM_TAVRO_POSTED, 0, 0);
}

void EventLoop::postQuit(int code) {
  if (m_quit) return;
  m_quit = true;
  m_quitCode = code;
  PostQuitMessage(code);
}

int EventLoop::run() {
  MSG msg{};
  BOOL got;
  while ((got = GetMessageA(&msg, nullptr, 0, 0)) != 0) {
    if (got == -1) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
    if (m_afterEvent) m_afterEvent();
  }
  m_quit = true;
  m_quitCode = static_cast<int>(msg.wParam);
  return m_quitCode;
}

bool EventLoop::runUntil(const std::function<bool()>& done) {
  while (!done()) {
    if (m_quit) return false;
    MSG msg{};
    BOOL got = GetMessageA(&msg, nullptr, 0, 0);
    if (got == 0) {
      // The quit belongs to the main loop: leave it in the queue for it.
      m_quit = true;
      m_quitCode = static_cast<int>(msg.wParam);
      PostQuitMessage(m_quitCode);
      return false;
    }
    if (got == -1) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return true;
}

bool EventLoop::runOnce(int maxWaitMs) { return dispatch(maxWaitMs, true); }

bool EventLoop::dispatch(int maxWaitMs, bool mainLoop) {
  MSG msg{};
  if (!PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE))
    MsgWaitForMultipleObjectsEx(0, nullptr, maxWaitMs < 0 ? INFINITE : static_cast<DWORD>(maxWaitMs), QS_ALLINPUT,
                                MWMO_INPUTAVAILABLE);
  bool dispatched = false;
  for (int i = 0; i < MAX_MESSAGES_PER_RUN_ONCE && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
    if (msg.message == WM_QUIT) {
      m_quit = true;
      m_quitCode = static_cast<int>(msg.wParam);
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
    dispatched = true;
    if (mainLoop && m_afterEvent) m_afterEvent();
  }
  return dispatched;
}
