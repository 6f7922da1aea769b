// The shell on the Windows desktop: the notification-area icon with its tip
// and one-item menu, the login dialog (resource 101), warning boxes owned by
// the hidden main window, and the system default locale. The dialog and the
// boxes run the system's modal loops, which keep dispatching socket and timer
// messages to the main window.

#include "platform/Shell.h"

#include "platform/EventLoop.h"
#include "platform/win32/MainWindow.h"
#include "res/resource.h"
#include "support/Log.h"

namespace {

const UINT TRAY_ID = 0;
const UINT MENU_EXIT = 1;

// What the dialog procedure works on, handed over at WM_INITDIALOG.
struct LoginEntries {
  const char* prompt;
  char* username;
  char* password;
  int size;
};

INT_PTR CALLBACK PasswordDialogProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_INITDIALOG: {
      auto* entries = reinterpret_cast<LoginEntries*>(lParam);
      SetWindowLongPtrA(dialog, DWLP_USER, lParam);
      SetDlgItemTextA(dialog, IDC_PROMPT, entries->prompt);
      SetDlgItemTextA(dialog, IDC_USERNAME, entries->username);
      SetDlgItemTextA(dialog, IDC_PASSWORD, entries->password);
      SendDlgItemMessageA(dialog, IDC_USERNAME, EM_LIMITTEXT, static_cast<WPARAM>(entries->size - 1), 0);
      SendDlgItemMessageA(dialog, IDC_PASSWORD, EM_LIMITTEXT, static_cast<WPARAM>(entries->size - 1), 0);
      SetFocus(GetDlgItem(dialog, IDC_USERNAME));
      return FALSE;  // the focus stays where it was put
    }
    case WM_COMMAND: {
      auto* entries = reinterpret_cast<LoginEntries*>(GetWindowLongPtrA(dialog, DWLP_USER));
      if (LOWORD(wParam) == IDOK && entries) {
        GetDlgItemTextA(dialog, IDC_USERNAME, entries->username, entries->size);
        GetDlgItemTextA(dialog, IDC_PASSWORD, entries->password, entries->size);
        EndDialog(dialog, 1);
      } else if (LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, 0);
      }
      return TRUE;
    }
    case WM_CLOSE:
      EndDialog(dialog, 0);
      return TRUE;
    default:
      return FALSE;
  }
}

class Win32Shell : public Shell, public WindowMessageHandler {
 public:
  explicit Win32Shell(EventLoop& loop) : m_loop(loop), m_instance(GetModuleHandleA(nullptr)) {
    setWindowMessageHandler(this);
  }
  ~Win32Shell() override { setWindowMessageHandler(nullptr); }

  bool trayAdd() override {
    if (!m_menu) {
      m_menu = CreatePopupMenu();
      AppendMenuA(m_menu, MF_STRING, MENU_EXIT, "Exit");
    }
    NOTIFYICONDATAA nid = notifyData(NIF_MESSAGE | NIF_ICON);
    m_trayAdded = Shell_NotifyIconA(NIM_ADD, &nid) != FALSE;
    return m_trayAdded;
  }

  void traySetTip(const char* tip) override {
    if (!m_trayAdded) return;
    NOTIFYICONDATAA nid = notifyData(NIF_MESSAGE | NIF_ICON | NIF_TIP);
    lstrcpynA(nid.szTip, tip, sizeof nid.szTip);
    Shell_NotifyIconA(NIM_MODIFY, &nid);
  }

  void trayNotify(const char* title, const char* text) override {
    if (!m_trayAdded) return;
    NOTIFYICONDATAA nid = notifyData(NIF_MESSAGE | NIF_ICON | NIF_INFO);
    lstrcpynA(nid.szInfoTitle, title, sizeof nid.szInfoTitle);
    lstrcpynA(nid.szInfo, text, sizeof nid.szInfo);
    nid.uTimeout = 15000;  // read by systems before Vista; later ones follow the user's settings
    nid.dwInfoFlags = NIIF_INFO;
    Shell_NotifyIconA(NIM_MODIFY, &nid);
  }

  void trayRemove() override {
    if (!m_trayAdded) return;
    NOTIFYICONDATAA nid = notifyData(NIF_ICON);
    Shell_NotifyIconA(NIM_DELETE, &nid);
    m_trayAdded = false;
  }

  void setExitHandler(std::function<void()> onExit) override { m_onExit = std::move(onExit); }

  bool loginDialog(const char* prompt, char* username, char* password, std::size_t size) override {
    if (size == 0) return false;
    LoginEntries entries{prompt, username, password, static_cast<int>(size)};
    INT_PTR result = DialogBoxParamA(m_instance, MAKEINTRESOURCEA(IDD_LOGIN), window(), PasswordDialogProc,
                                     reinterpret_cast<LPARAM>(&entries));
    if (result == -1) LOG_ERR("DialogBoxParam failed - " << GetLastError());
    return result == 1;
  }

  bool messageBox(const char* text, const char* title, Buttons buttons) override {
    UINT type = (buttons == BUTTONS_YES_NO ? MB_YESNO : MB_OK) | MB_ICONWARNING | MB_SYSTEMMODAL;
    int answer = MessageBoxA(window(), text, title, type);
    return answer == IDYES || answer == IDOK;
  }

  unsigned systemLocaleId() override { return GetSystemDefaultLCID(); }

  bool handleWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) override {
    result = 0;
    if (msg == WM_TAVRO_TRAY) {
      UINT mouse = static_cast<UINT>(lParam);
      if (wParam == TRAY_ID && (mouse == WM_LBUTTONDOWN || mouse == WM_RBUTTONDOWN) && m_menu) {
        POINT at{};
        GetCursorPos(&at);
        SetForegroundWindow(hwnd);
        TrackPopupMenu(m_menu, TPM_RIGHTALIGN, at.x, at.y, 0, hwnd, nullptr);
      }
      return true;
    }
    if (msg == WM_COMMAND) {
      if (lParam == 0 && LOWORD(wParam) == MENU_EXIT && m_onExit) m_onExit();
      return true;
    }
    return false;
  }

 private:
  HWND window() const { return mainWindow(m_loop); }

  // A fresh record for every call, the icon loaded again each time.
  NOTIFYICONDATAA notifyData(UINT flags) const {
    NOTIFYICONDATAA nid{};
    // The layout up to and including the item GUID, which every shell since Windows XP reads.
    nid.cbSize = NOTIFYICONDATAA_V3_SIZE;
    nid.hWnd = window();
    nid.uID = TRAY_ID;
    nid.uFlags = flags;
    nid.uCallbackMessage = WM_TAVRO_TRAY;
    nid.hIcon = LoadIconA(m_instance, MAKEINTRESOURCEA(IDI_TAVRO));
    return nid;
  }

  EventLoop& m_loop;
  HINSTANCE m_instance;
  HMENU m_menu = nullptr;
  bool m_trayAdded = false;
  std::function<void()> m_onExit;
};

}  // namespace

Shell* createPlatformShell(EventLoop& loop) { return new Win32Shell(loop); }
