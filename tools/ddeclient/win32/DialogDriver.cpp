// dialogdriver: plays the user at TavroDDE's login dialog and message boxes
// from another process, for end-to-end runs. It finds a window by its caption,
// waits (bounded) until it is visible, reads and writes control texts with
// WM_GETTEXT / WM_SETTEXT and presses buttons with BM_CLICK.
// Exit status: 0 done, 1 usage, 2 the window did not appear in time,
// 3 it appeared but did not behave (a control missing, still open after OK).

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char LOGIN_CAPTION[] = "TAVRO DDE (Version 1.3) Authentication";
const char DIALOG_CLASS[] = "#32770";
const int ID_USERNAME = 1000;
const int ID_PASSWORD = 1001;
const int ID_PROMPT = 1002;
// The text control of a message box.
const int ID_BOX_TEXT = 0xFFFF;
const UINT SEND_TIMEOUT_MS = 5000;

const int EXIT_USAGE = 1;
const int EXIT_NOT_FOUND = 2;
const int EXIT_MISBEHAVED = 3;

const char* const USAGE =
    "usage:\n"
    "  dialogdriver login USER PASSWORD [--timeout S]  fill the login dialog and press OK\n"
    "  dialogdriver cancel [--timeout S]               press Cancel in the login dialog\n"
    "  dialogdriver prompt [--timeout S]               print the login dialog's prompt\n"
    "  dialogdriver inspect [--timeout S]              print the login dialog's layout\n"
    "  dialogdriver box [--title T] [--timeout S]      print a message box's text, press Yes or OK\n"
    "  dialogdriver window [--timeout S]               print the hidden main window's state\n"
    "  dialogdriver menu-exit [--timeout S]            click the tray icon, choose \"Exit\"\n"
    "  dialogdriver tip [TEXT] [--timeout S]           wait for a tray tip (TEXT exactly, else any of\n"
    "                                                  TavroDDE's), print the tips found\n"
    "  dialogdriver hover-tray [--timeout S]           put the pointer on the tray icon until its tip shows;\n"
    "                                                  print the screen rectangles of the tray and the tip\n"
    "  dialogdriver balloon [--timeout S]              wait for a tray balloon; print its title, text and\n"
    "                                                  screen rectangle\n"
    "  dialogdriver version FILE                       print a program's version resource\n"
    "  dialogdriver rect [--timeout S]                 print the login dialog's screen rectangle\n"
    "Every wait ends after S seconds (default 20).\n";

std::string textOf(HWND hwnd) {
  char text[512];
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutA(hwnd, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                           SEND_TIMEOUT_MS, &copied))
    return std::string();
  return std::string(text, copied < sizeof text ? copied : sizeof text - 1);
}

bool setText(HWND hwnd, const char* text) {
  DWORD_PTR result = 0;
  return SendMessageTimeoutA(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                             SEND_TIMEOUT_MS, &result) &&
         result == TRUE;
}

bool click(HWND button) {
  DWORD_PTR result = 0;
  return SendMessageTimeoutA(button, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &result) != 0;
}

// The visible top-level window of `className` with `caption`, waiting up to `timeoutMs`.
HWND waitForWindow(const char* className, const char* caption, int timeoutMs) {
  ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
  for (;;) {
    HWND hwnd = FindWindowA(className, caption);
    if (hwnd && IsWindowVisible(hwnd)) return hwnd;
    if (GetTickCount64() >= deadline) return nullptr;
    Sleep(50);
  }
}

bool waitGone(HWND hwnd, int timeoutMs) {
  ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
  while (IsWindow(hwnd) && IsWindowVisible(hwnd)) {
    if (GetTickCount64() >= deadline) return false;
    Sleep(50);
  }
  return true;
}

HWND findLogin(int timeoutMs) {
  HWND dialog = waitForWindow(DIALOG_CLASS, LOGIN_CAPTION, timeoutMs);
  if (!dialog) std::fprintf(stderr, "dialogdriver: no visible \"%s\" dialog\n", LOGIN_CAPTION);
  return dialog;
}

int login(const char* user, const char* password, int timeoutMs) {
  HWND dialog = findLogin(timeoutMs);
  if (!dialog) return EXIT_NOT_FOUND;
  HWND prompt = GetDlgItem(dialog, ID_PROMPT);
  std::printf("prompt: %s\n", prompt ? textOf(prompt).c_str() : "");
  HWND userEdit = GetDlgItem(dialog, ID_USERNAME);
  HWND passwordEdit = GetDlgItem(dialog, ID_PASSWORD);
  HWND ok = GetDlgItem(dialog, IDOK);
  if (!userEdit || !passwordEdit || !ok) {
    std::fprintf(stderr, "dialogdriver: the dialog lacks an edit or the OK button\n");
    return EXIT_MISBEHAVED;
  }
  std::printf("entries before: user \"%s\"\n", textOf(userEdit).c_str());
  if (!setText(userEdit, user) || !setText(passwordEdit, password)) {
    std::fprintf(stderr, "dialogdriver: WM_SETTEXT failed\n");
    return EXIT_MISBEHAVED;
  }
  click(ok);
  if (!waitGone(dialog, timeoutMs)) {
    std::fprintf(stderr, "dialogdriver: the dialog stayed open after OK\n");
    return EXIT_MISBEHAVED;
  }
  std::printf("login: OK pressed\n");
  return 0;
}

int cancel(int timeoutMs) {
  HWND dialog = findLogin(timeoutMs);
  if (!dialog) return EXIT_NOT_FOUND;
  HWND button = GetDlgItem(dialog, IDCANCEL);
  if (!button) return EXIT_MISBEHAVED;
  click(button);
  if (!waitGone(dialog, timeoutMs)) return EXIT_MISBEHAVED;
  std::printf("login: Cancel pressed\n");
  return 0;
}

int prompt(int timeoutMs) {
  HWND dialog = findLogin(timeoutMs);
  if (!dialog) return EXIT_NOT_FOUND;
  HWND control = GetDlgItem(dialog, ID_PROMPT);
  if (!control) return EXIT_MISBEHAVED;
  std::printf("prompt: %s\n", textOf(control).c_str());
  return 0;
}

// Dialog base units of the template's font, computed the way the dialog
// manager does (the dialog's own are out of reach from another process).
struct BaseUnits {
  int x = 1;
  int y = 1;
};

BaseUnits fontBaseUnits(const char* face, int points) {
  BaseUnits units;
  HDC dc = GetDC(nullptr);
  HFONT font = CreateFontA(-MulDiv(points, GetDeviceCaps(dc, LOGPIXELSY), 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                           DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                           DEFAULT_PITCH | FF_DONTCARE, face);
  HGDIOBJ old = SelectObject(dc, font);
  TEXTMETRICA tm{};
  SIZE extent{};
  const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  if (GetTextMetricsA(dc, &tm) && GetTextExtentPoint32A(dc, letters, 52, &extent)) {
    units.x = static_cast<int>((extent.cx / 26 + 1) / 2);
    units.y = static_cast<int>(tm.tmHeight);
  }
  SelectObject(dc, old);
  DeleteObject(font);
  ReleaseDC(nullptr, dc);
  if (units.x < 1) units.x = 1;
  if (units.y < 1) units.y = 1;
  return units;
}

void toDialogUnits(const BaseUnits& units, RECT& r) {
  r.left = MulDiv(r.left, 4, units.x);
  r.right = MulDiv(r.right, 4, units.x);
  r.top = MulDiv(r.top, 8, units.y);
  r.bottom = MulDiv(r.bottom, 8, units.y);
}

int inspect(int timeoutMs) {
  HWND dialog = findLogin(timeoutMs);
  if (!dialog) return EXIT_NOT_FOUND;
  BaseUnits units = fontBaseUnits("MS Sans Serif", 8);
  std::printf("caption: %s\n", textOf(dialog).c_str());
  std::printf("style: 0x%08lx\n", static_cast<unsigned long>(GetWindowLongA(dialog, GWL_STYLE)));
  std::printf("base units: %dx%d\n", units.x, units.y);
  // The template's position is relative to the owner's client area.
  RECT frame{};
  GetWindowRect(dialog, &frame);
  POINT origin{0, 0};
  HWND owner = GetWindow(dialog, GW_OWNER);
  if (owner) ClientToScreen(owner, &origin);
  RECT at{frame.left - origin.x, frame.top - origin.y, frame.left - origin.x, frame.top - origin.y};
  toDialogUnits(units, at);
  RECT client{};
  GetClientRect(dialog, &client);
  toDialogUnits(units, client);
  std::printf("at: %ld,%ld client: %ldx%ld\n", static_cast<long>(at.left), static_cast<long>(at.top),
              static_cast<long>(client.right), static_cast<long>(client.bottom));
  HWND focus = nullptr;
  GUITHREADINFO gui{};
  gui.cbSize = sizeof gui;
  if (GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &gui)) focus = gui.hwndFocus;
  // Children come in template order, which is the tab order.
  for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    char className[64] = "";
    GetClassNameA(child, className, sizeof className);
    RECT r{};
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    toDialogUnits(units, r);
    int id = GetDlgCtrlID(child);
    std::printf("control: id=%d class=%s style=0x%08lx exstyle=0x%08lx at=%ld,%ld size=%ldx%ld%s text=\"%s\"\n",
                id == 0xFFFF ? -1 : id, className, static_cast<unsigned long>(GetWindowLongA(child, GWL_STYLE)),
                static_cast<unsigned long>(GetWindowLongA(child, GWL_EXSTYLE)), static_cast<long>(r.left),
                static_cast<long>(r.top), static_cast<long>(r.right - r.left), static_cast<long>(r.bottom - r.top),
                child == focus ? " focus" : "", id == ID_PASSWORD ? "" : textOf(child).c_str());
  }
  for (int id : {ID_USERNAME, ID_PASSWORD}) {
    DWORD_PTR limit = 0;
    HWND edit = GetDlgItem(dialog, id);
    if (edit) SendMessageTimeoutA(edit, EM_GETLIMITTEXT, 0, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &limit);
    std::printf("limit: id=%d %lu\n", id, static_cast<unsigned long>(limit));
  }
  return 0;
}

// The message box's text: its static text control, or failing that the longest static text.
std::string boxText(HWND box) {
  HWND text = GetDlgItem(box, ID_BOX_TEXT);
  if (text) return textOf(text);
  std::string best;
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    char className[32] = "";
    GetClassNameA(child, className, sizeof className);
    if (lstrcmpiA(className, "Static") != 0) continue;
    std::string t = textOf(child);
    if (t.size() > best.size()) best = t;
  }
  return best;
}

int box(const char* title, int timeoutMs) {
  HWND found = waitForWindow(DIALOG_CLASS, title, timeoutMs);
  if (!found) {
    std::fprintf(stderr, "dialogdriver: no visible message box \"%s\"\n", title);
    return EXIT_NOT_FOUND;
  }
  std::printf("box: %s\n", boxText(found).c_str());
  HWND button = GetDlgItem(found, IDYES);
  const char* pressed = "Yes";
  if (!button) {
    button = GetDlgItem(found, IDOK);
    pressed = "OK";
  }
  if (button)
    click(button);
  else
    PostMessageA(found, WM_COMMAND, IDOK, 0);
  if (!waitGone(found, timeoutMs)) {
    std::fprintf(stderr, "dialogdriver: the box stayed open\n");
    return EXIT_MISBEHAVED;
  }
  std::printf("box: %s pressed\n", button ? pressed : "OK (command)");
  return 0;
}

int window(int timeoutMs) {
  ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
  HWND hwnd;
  while (!(hwnd = FindWindowA("TAVRO", nullptr))) {
    if (GetTickCount64() >= deadline) {
      std::fprintf(stderr, "dialogdriver: no window of class TAVRO\n");
      return EXIT_NOT_FOUND;
    }
    Sleep(50);
  }
  std::printf("window: title=\"%s\" visible=%d exstyle=0x%08lx\n", textOf(hwnd).c_str(), IsWindowVisible(hwnd) ? 1 : 0,
              static_cast<unsigned long>(GetWindowLongA(hwnd, GWL_EXSTYLE)));
  return 0;
}

// Clicks the tray icon the way the shell reports it (the icon's callback
// message with WM_RBUTTONDOWN), waits for the popup menu and chooses its
// first item, "Exit", with the keyboard.
int menuExit(int timeoutMs) {
  HWND main = FindWindowA("TAVRO", nullptr);
  if (!main) {
    std::fprintf(stderr, "dialogdriver: no window of class TAVRO\n");
    return EXIT_NOT_FOUND;
  }
  PostMessageA(main, WM_USER + 5, 0, WM_RBUTTONDOWN);
  HWND menu = waitForWindow("#32768", nullptr, timeoutMs);
  if (!menu) {
    std::fprintf(stderr, "dialogdriver: no popup menu appeared\n");
    return EXIT_MISBEHAVED;
  }
  std::printf("menu: shown\n");
  PostMessageA(menu, WM_KEYDOWN, VK_DOWN, 0);
  PostMessageA(menu, WM_KEYDOWN, VK_RETURN, 0);
  if (!waitGone(menu, timeoutMs)) {
    std::fprintf(stderr, "dialogdriver: the menu stayed open\n");
    return EXIT_MISBEHAVED;
  }
  std::printf("menu: Exit chosen\n");
  return 0;
}

// The shell keeps each icon's tip in a tooltip control of its own process.
// Tooltip messages carry pointers that are not translated between processes,
// so the tool record and its text buffer are placed in the shell's memory.
void tooltipTexts(HWND tooltip, std::vector<std::string>& out) {
  DWORD pid = 0;
  GetWindowThreadProcessId(tooltip, &pid);
  HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
  if (!process) return;
  const SIZE_T TEXT_CHARS = 1024;
  SIZE_T size = sizeof(TOOLINFOW) + TEXT_CHARS * sizeof(WCHAR);
  auto* remote = static_cast<BYTE*>(VirtualAllocEx(process, nullptr, size, MEM_COMMIT, PAGE_READWRITE));
  if (remote) {
    auto* remoteText = reinterpret_cast<WCHAR*>(remote + sizeof(TOOLINFOW));
    DWORD_PTR count = 0;
    SendMessageTimeoutW(tooltip, TTM_GETTOOLCOUNT, 0, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &count);
    for (DWORD_PTR i = 0; i < count && i < 64; ++i) {
      TOOLINFOW ti{};
      ti.cbSize = sizeof ti;
      ti.lpszText = remoteText;
      WCHAR text[TEXT_CHARS] = L"";
      DWORD_PTR ok = 0;
      SIZE_T moved = 0;
      if (!WriteProcessMemory(process, remote, &ti, sizeof ti, &moved) ||
          !WriteProcessMemory(process, remoteText, text, sizeof(WCHAR), &moved))
        break;
      SendMessageTimeoutW(tooltip, TTM_ENUMTOOLSW, i, reinterpret_cast<LPARAM>(remote), SMTO_ABORTIFHUNG,
                          SEND_TIMEOUT_MS, &ok);
      if (!ok || !ReadProcessMemory(process, remote, &ti, sizeof ti, &moved)) continue;
      // Ask for the text by the tool's identity, into our buffer.
      ti.lpszText = remoteText;
      WriteProcessMemory(process, remote, &ti, sizeof ti, &moved);
      SendMessageTimeoutW(tooltip, TTM_GETTEXTW, TEXT_CHARS, reinterpret_cast<LPARAM>(remote), SMTO_ABORTIFHUNG,
                          SEND_TIMEOUT_MS, &ok);
      if (!ReadProcessMemory(process, remoteText, text, sizeof text, &moved)) continue;
      text[TEXT_CHARS - 1] = L'\0';
      char narrow[TEXT_CHARS * 2];
      int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr);
      if (n > 1) out.push_back(narrow);
    }
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  }
  CloseHandle(process);
}

BOOL CALLBACK collectTooltip(HWND hwnd, LPARAM out) {
  char className[64] = "";
  GetClassNameA(hwnd, className, sizeof className);
  if (lstrcmpiA(className, TOOLTIPS_CLASSA) == 0)
    tooltipTexts(hwnd, *reinterpret_cast<std::vector<std::string>*>(out));
  return TRUE;
}

// Prints every tip found once one of the program's tips shows, or at the end of the wait.
int tip(const char* expected, int timeoutMs) {
  ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
  std::vector<std::string> found;
  bool matched = false;
  for (;;) {
    found.clear();
    EnumWindows(collectTooltip, reinterpret_cast<LPARAM>(&found));
    for (const std::string& s : found)
      if (expected ? s == expected
                   : s.find("active stocks") != std::string::npos || s.find("Authenticating") != std::string::npos ||
                         s.find("Not connected") != std::string::npos)
        matched = true;
    if (matched || GetTickCount64() >= deadline) break;
    Sleep(200);
  }
  for (const std::string& s : found) std::printf("tip: %s\n", s.c_str());
  if (found.empty()) std::fprintf(stderr, "dialogdriver: no tooltip text could be read\n");
  return matched ? 0 : EXIT_NOT_FOUND;
}

void printRect(const char* what, HWND hwnd) {
  RECT r{};
  GetWindowRect(hwnd, &r);
  std::printf("%s: %ld %ld %ld %ld\n", what, static_cast<long>(r.left), static_cast<long>(r.top),
              static_cast<long>(r.right - r.left), static_cast<long>(r.bottom - r.top));
}

BOOL CALLBACK findVisibleTooltip(HWND hwnd, LPARAM out) {
  char className[64] = "";
  GetClassNameA(hwnd, className, sizeof className);
  if (lstrcmpiA(className, TOOLTIPS_CLASSA) != 0 || !IsWindowVisible(hwnd)) return TRUE;
  *reinterpret_cast<HWND*>(out) = hwnd;
  return FALSE;
}

// Under Wine's X11 driver without a desktop the tray is a window of its own
// (class __winex11_standalone_tray, one __winex11_tray_icon child per icon);
// the tip shows when the pointer rests on the icon.
int hoverTray(int timeoutMs) {
  HWND tray = waitForWindow("__winex11_standalone_tray", nullptr, timeoutMs);
  HWND icon = tray ? FindWindowExA(tray, nullptr, "__winex11_tray_icon", nullptr) : nullptr;
  if (!icon) {
    std::fprintf(stderr, "dialogdriver: no tray icon\n");
    return EXIT_NOT_FOUND;
  }
  RECT r{};
  GetWindowRect(icon, &r);
  ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
  HWND tooltip = nullptr;
  for (int step = 0; !tooltip && GetTickCount64() < deadline; ++step) {
    // The tip comes up on mouse moves over the icon with the pointer there;
    // a warped pointer alone sends no move.
    int x = (r.right - r.left) / 2 + step % 3 - 1, y = (r.bottom - r.top) / 2;
    SetCursorPos(r.left + x, r.top + y);
    PostMessageA(icon, WM_MOUSEMOVE, 0, MAKELPARAM(x, y));
    Sleep(300);
    EnumWindows(findVisibleTooltip, reinterpret_cast<LPARAM>(&tooltip));
    if (!tooltip && step > 2) {
      // Failing a hover, ask each tooltip to show the tool under the pointer.
      std::vector<HWND> tooltips;
      EnumWindows(
          [](HWND hwnd, LPARAM out) -> BOOL {
            char className[64] = "";
            GetClassNameA(hwnd, className, sizeof className);
            if (lstrcmpiA(className, TOOLTIPS_CLASSA) == 0) reinterpret_cast<std::vector<HWND>*>(out)->push_back(hwnd);
            return TRUE;
          },
          reinterpret_cast<LPARAM>(&tooltips));
      for (HWND t : tooltips) PostMessageA(t, TTM_POPUP, 0, 0);
      Sleep(300);
      EnumWindows(findVisibleTooltip, reinterpret_cast<LPARAM>(&tooltip));
    }
  }
  printRect("tray", tray);
  if (!tooltip) {
    std::fprintf(stderr, "dialogdriver: the tip did not show\n");
    return EXIT_MISBEHAVED;
  }
  printRect("tip", tooltip);
  return 0;
}

// A balloon's title, read like its text through the shell's memory.
std::string tooltipTitle(HWND tooltip) {
  DWORD pid = 0;
  GetWindowThreadProcessId(tooltip, &pid);
  HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
  if (!process) return std::string();
  const UINT TITLE_CHARS = 128;
  std::string title;
  auto* remote = static_cast<BYTE*>(
      VirtualAllocEx(process, nullptr, sizeof(TTGETTITLE) + TITLE_CHARS * sizeof(WCHAR), MEM_COMMIT, PAGE_READWRITE));
  if (remote) {
    TTGETTITLE get{};
    get.dwSize = sizeof get;
    get.cch = TITLE_CHARS;
    get.pszTitle = reinterpret_cast<WCHAR*>(remote + sizeof get);
    WCHAR text[TITLE_CHARS] = L"";
    SIZE_T moved = 0;
    DWORD_PTR ignored = 0;
    if (WriteProcessMemory(process, remote, &get, sizeof get, &moved) &&
        WriteProcessMemory(process, get.pszTitle, text, sizeof(WCHAR), &moved) &&
        SendMessageTimeoutW(tooltip, TTM_GETTITLE, 0, reinterpret_cast<LPARAM>(remote), SMTO_ABORTIFHUNG,
                            SEND_TIMEOUT_MS, &ignored) &&
        ReadProcessMemory(process, get.pszTitle, text, sizeof text, &moved)) {
      text[TITLE_CHARS - 1] = L'\0';
      char narrow[TITLE_CHARS * 3];
      if (WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr) > 1) title = narrow;
    }
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  }
  CloseHandle(process);
  return title;
}

BOOL CALLBACK findVisibleBalloon(HWND hwnd, LPARAM out) {
  char className[64] = "";
  GetClassNameA(hwnd, className, sizeof className);
  if (lstrcmpiA(className, TOOLTIPS_CLASSA) != 0 || !IsWindowVisible(hwnd) ||
      !(GetWindowLongA(hwnd, GWL_STYLE) & TTS_BALLOON))
    return TRUE;
  *reinterpret_cast<HWND*>(out) = hwnd;
  return FALSE;
}

// Waits for a balloon beside a tray icon; prints its title, text and screen rectangle.
int balloon(int timeoutMs) {
  ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
  HWND shown = nullptr;
  while (!shown) {
    EnumWindows(findVisibleBalloon, reinterpret_cast<LPARAM>(&shown));
    if (shown) break;
    if (GetTickCount64() >= deadline) {
      std::fprintf(stderr, "dialogdriver: no balloon showed\n");
      return EXIT_NOT_FOUND;
    }
    Sleep(100);
  }
  Sleep(300);  // drawn, for a screenshot
  std::vector<std::string> texts;
  tooltipTexts(shown, texts);
  std::printf("title: %s\n", tooltipTitle(shown).c_str());
  for (const std::string& s : texts) std::printf("text: %s\n", s.c_str());
  printRect("balloon", shown);
  return 0;
}

int version(const char* file) {
  DWORD ignored = 0, size = GetFileVersionInfoSizeA(file, &ignored);
  std::vector<BYTE> info(size ? size : 1);
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!size || !GetFileVersionInfoA(file, 0, size, info.data()) ||
      !VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length) || length < sizeof *fixed) {
    std::fprintf(stderr, "dialogdriver: no version resource in %s\n", file);
    return EXIT_NOT_FOUND;
  }
  std::printf("version: %lu.%lu.%lu.%lu\n", static_cast<unsigned long>(HIWORD(fixed->dwFileVersionMS)),
              static_cast<unsigned long>(LOWORD(fixed->dwFileVersionMS)),
              static_cast<unsigned long>(HIWORD(fixed->dwFileVersionLS)),
              static_cast<unsigned long>(LOWORD(fixed->dwFileVersionLS)));
  const char* names[] = {"FileVersion", "ProductVersion", "FileDescription"};
  for (const char* name : names) {
    char* text = nullptr;
    std::string path = std::string("\\StringFileInfo\\080904B0\\") + name;
    if (VerQueryValueA(info.data(), path.c_str(), reinterpret_cast<void**>(&text), &length) && text)
      std::printf("%s: %s\n", name, text);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> words;
  std::string title = "TAVRO";
  int timeoutMs = 20000;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--timeout" && i + 1 < argc) {
      double s = std::atof(argv[++i]);
      if (s <= 0 || s > 3600) {
        std::fputs(USAGE, stderr);
        return EXIT_USAGE;
      }
      timeoutMs = static_cast<int>(s * 1000);
    } else if (a == "--title" && i + 1 < argc) {
      title = argv[++i];
    } else if (a == "--help" || a == "-h") {
      std::fputs(USAGE, stdout);
      return 0;
    } else {
      words.push_back(a);
    }
  }
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (words.size() == 3 && words[0] == "login") return login(words[1].c_str(), words[2].c_str(), timeoutMs);
  if (words.size() == 1 && words[0] == "cancel") return cancel(timeoutMs);
  if (words.size() == 1 && words[0] == "prompt") return prompt(timeoutMs);
  if (words.size() == 1 && words[0] == "inspect") return inspect(timeoutMs);
  if (words.size() == 1 && words[0] == "box") return box(title.c_str(), timeoutMs);
  if (words.size() == 1 && words[0] == "window") return window(timeoutMs);
  if (words.size() == 1 && words[0] == "menu-exit") return menuExit(timeoutMs);
  if (words.size() == 1 && words[0] == "tip") return tip(nullptr, timeoutMs);
  if (words.size() == 2 && words[0] == "tip") return tip(words[1].c_str(), timeoutMs);
  if (words.size() == 1 && words[0] == "hover-tray") return hoverTray(timeoutMs);
  if (words.size() == 1 && words[0] == "balloon") return balloon(timeoutMs);
  if (words.size() == 2 && words[0] == "version") return version(words[1].c_str());
  if (words.size() == 1 && words[0] == "rect") {
    HWND dialog = findLogin(timeoutMs);
    if (!dialog) return EXIT_NOT_FOUND;
    printRect("rect", dialog);
    return 0;
  }
  std::fputs(USAGE, stderr);
  return EXIT_USAGE;
}
