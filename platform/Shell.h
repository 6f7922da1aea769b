#pragma once
// What the program shows the user, and what the user can tell it: the tray
// icon with its tip and "Exit" menu, the modal login dialog, message boxes,
// and the system's default locale. Dialogs and boxes are modal but keep the
// event loop dispatching while they wait. Windows: the notification area,
// dialog 101 and MessageBoxA. POSIX: the terminal and signals.

#include <cstddef>
#include <functional>

class EventLoop;

class Shell {
 public:
  enum Buttons { BUTTONS_OK, BUTTONS_YES_NO };

  virtual ~Shell() = default;

  // Adds the icon (no tip yet) and its one-item menu; false when the platform has no tray.
  virtual bool trayAdd() = 0;
  virtual void traySetTip(const char* tip) = 0;
  // A short notice beside the icon (a balloon), gone by itself after a while.
  // Windows shows at most 63 characters of `title` and 255 of `text`.
  virtual void trayNotify(const char* title, const char* text) = 0;
  virtual void trayRemove() = 0;
  // Called when the user chooses "Exit" (or, on POSIX, on SIGINT/SIGTERM).
  virtual void setExitHandler(std::function<void()> onExit) = 0;

  // The login dialog, pre-filled with `username` and `password` (buffers of
  // `size` bytes, at most size-1 characters written back). True on OK.
  virtual bool loginDialog(const char* prompt, char* username, char* password, std::size_t size) = 0;
  // A warning box; true for Yes (or OK), false for No or when dismissed otherwise.
  virtual bool messageBox(const char* text, const char* title, Buttons buttons) = 0;

  // The system default locale as a Windows locale identifier (1031 German, ...).
  virtual unsigned systemLocaleId() = 0;
};

// The platform's own shell, driving its modal waits through `loop`.
Shell* createPlatformShell(EventLoop& loop);
