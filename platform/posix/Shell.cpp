// The shell on a terminal: the tray tip as a status line on standard error,
// the login dialog and message boxes as prompts (the password not echoed),
// two lines from standard input when it is not a terminal, SIGINT/SIGTERM as
// "Exit". Prompts wait through the event loop, so the feed keeps flowing.

#include "platform/Shell.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <termios.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/EventLoop.h"

namespace {

int signalPipe[2] = {-1, -1};

void keepOutOfCoreDumps() {
#ifdef __linux__
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#else
  struct rlimit none {};
  ::setrlimit(RLIMIT_CORE, &none);
#endif
}

void onSignal(int) {
  char c = 'x';
  ssize_t ignored = ::write(signalPipe[1], &c, 1);
  (void)ignored;
}

class TerminalShell : public Shell, public EventLoopHandler {
 public:
  explicit TerminalShell(EventLoop& loop) : m_loop(loop), m_tty(::isatty(STDIN_FILENO) == 1) {}

  bool trayAdd() override { return true; }
  void traySetTip(const char* tip) override { std::fprintf(stderr, "[TAVRO] %s\n", tip); }
  void trayNotify(const char* title, const char* text) override { std::fprintf(stderr, "[%s] %s\n", title, text); }
  void trayRemove() override {}

  void setExitHandler(std::function<void()> onExit) override {
    m_onExit = std::move(onExit);
    if (signalPipe[0] < 0 && ::pipe(signalPipe) == 0) {
      ::fcntl(signalPipe[0], F_SETFL, O_NONBLOCK);
      ::fcntl(signalPipe[1], F_SETFL, O_NONBLOCK);
      struct sigaction sa {};
      sa.sa_handler = onSignal;
      sigemptyset(&sa.sa_mask);
      ::sigaction(SIGINT, &sa, nullptr);
      ::sigaction(SIGTERM, &sa, nullptr);
    }
    if (signalPipe[0] >= 0) m_loop.watch(signalPipe[0], this, EVENT_READ);
  }

  bool loginDialog(const char* prompt, char* username, char* password, std::size_t size) override {
    std::fprintf(stderr, "%s\n", prompt);
    std::string user, pass;
    if (m_tty) std::fprintf(stderr, "Username%s%s%s: ", *username ? " [" : "", username, *username ? "]" : "");
    if (!readLine(user)) return false;
    if (user.empty()) user = username;
    // The program holds the password from here on: no core dump may carry it.
    keepOutOfCoreDumps();
    // Echo goes off first: a password typed as soon as the prompt shows is not echoed.
    bool echoOff = m_tty && setEcho(false);
    if (m_tty) std::fprintf(stderr, "Password: ");
    bool ok = readLine(pass);
    if (echoOff) {
      setEcho(true);
      std::fprintf(stderr, "\n");
    }
    if (!ok) return false;
    if (pass.empty() && m_tty) pass = password;
    copy(username, user, size);
    copy(password, pass, size);
    return true;
  }

  bool messageBox(const char* text, const char* title, Buttons buttons) override {
    std::fprintf(stderr, "%s: %s\n", title, text);
    if (buttons == BUTTONS_OK) return true;
    if (!m_tty) return false;  // no one to answer: the safe default is No
    std::fprintf(stderr, "[y/n] ");
    std::string answer;
    return readLine(answer) && (answer[0] == 'y' || answer[0] == 'Y');
  }

  unsigned systemLocaleId() override {
    const char* name = std::setlocale(LC_ALL, "");
    std::string locale = name ? name : "";
    std::setlocale(LC_ALL, "C");  // the program itself works in the C locale
    if (locale.empty() || locale == "C" || locale == "POSIX") {
      const char* lang = std::getenv("LANG");
      locale = lang ? lang : "";
    }
    struct Known {
      const char* prefix;
      unsigned id;
    } known[] = {{"de_DE", 1031}, {"fr_FR", 1036}, {"it_IT", 1040}, {"pt_BR", 1046},
                 {"en_GB", 2057}, {"de_AT", 3079}, {"en_US", 1033}};
    for (const Known& k : known)
      if (locale.compare(0, std::strlen(k.prefix), k.prefix) == 0) return k.id;
    return 1033;
  }

  void handleSocketEvent(int fd, unsigned) override {
    if (fd == signalPipe[0]) {
      char buf[16];
      while (::read(fd, buf, sizeof buf) > 0) {
      }
      if (m_onExit) m_onExit();
      return;
    }
    char buf[256];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) {
      m_eof = true;
      m_loop.unwatch(fd);
      return;
    }
    m_input.append(buf, static_cast<std::size_t>(n));
  }

 private:
  // One line from standard input, waiting in the event loop; false at end of input or on quit.
  bool readLine(std::string& line) {
    m_loop.watch(STDIN_FILENO, this, EVENT_READ);
    bool done = m_loop.runUntil([this] { return m_eof || m_input.find('\n') != std::string::npos; });
    m_loop.unwatch(STDIN_FILENO);
    std::size_t nl = m_input.find('\n');
    if (!done || nl == std::string::npos) {
      if (m_eof && !m_input.empty()) {
        line = m_input;
        m_input.clear();
        return true;
      }
      return false;
    }
    line = m_input.substr(0, nl);
    m_input.erase(0, nl + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
  }

  static bool setEcho(bool on) {
    termios t{};
    if (::tcgetattr(STDIN_FILENO, &t) != 0) return false;
    if (on)
      t.c_lflag |= ECHO;
    else
      t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    return ::tcsetattr(STDIN_FILENO, TCSANOW, &t) == 0;
  }

  static void copy(char* dest, const std::string& src, std::size_t size) {
    if (size == 0) return;
    std::size_t n = src.size() < size - 1 ? src.size() : size - 1;
    std::memcpy(dest, src.data(), n);
    dest[n] = '\0';
  }

  EventLoop& m_loop;
  bool m_tty;
  bool m_eof = false;
  std::string m_input;
  std::function<void()> m_onExit;
};

}  // namespace

Shell* createPlatformShell(EventLoop& loop) { return new TerminalShell(loop); }
