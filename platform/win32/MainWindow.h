#pragma once
// The hidden main window of the Windows back-end. The event loop creates and
// owns it and handles its socket and timer messages; the shell receives the
// rest of what arrives there (the tray callback and the menu command) through
// one registered handler, and owns the dialogs and boxes it parents.

#include "platform/win32/Win32.h"

class EventLoop;

// Socket readiness (WSAAsyncSelect) and the tray icon's callback.
const UINT WM_TAVRO_SOCKET = WM_USER + 1;
const UINT WM_TAVRO_TRAY = WM_USER + 5;
// Runs the functions posted to the loop.
const UINT WM_TAVRO_POSTED = WM_USER + 6;

class WindowMessageHandler {
 public:
  virtual ~WindowMessageHandler() = default;
  // True when the message was handled; `result` is then the window procedure's result.
  virtual bool handleWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) = 0;
};

// The window of `loop`; null if it could not be created.
HWND mainWindow(const EventLoop& loop);
// Not owned; null stops the forwarding.
void setWindowMessageHandler(WindowMessageHandler* handler);
