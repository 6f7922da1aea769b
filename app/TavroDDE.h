#pragma once
// The application shell: start-up and the event loop, the tray tip, the login
// and connection flow, and the market list of the login answer. Free
// functions over the shell's process-wide state, all on the one thread.

#include <cstddef>
#include <string>

#include "platform/EventLoop.h"
#include "platform/Shell.h"

class App;
class QelMessage;

// Where the feed server is; tests point these at loopback ports.
extern const char* hostname;
extern int feedPorts[2];

extern char trayMessage[128];
extern App* console;
extern char username[128];
extern char password[128];
extern bool authenticated;
extern bool authFailed;
extern Shell* shell;
extern EventLoop* loop;

// Each login entry is limited so that "AUTH^user^password" fits a frame's 255 RID bytes.
const std::size_t MAX_LOGIN_ENTRY = 124;

// Runs the whole program on `eventLoop` with `platformShell`; the exit code.
// `startedByCom`: COM started it for a spreadsheet (-Embedding).
int tavroMain(Shell& platformShell, EventLoop& eventLoop, bool startedByCom = false);
// Before any dialog: true when another copy serves this session, after
// telling the user so (only the log when COM started this one); the caller
// then ends with status 0.
bool anotherCopyRuns(Shell& platformShell, bool startedByCom = false);
// Start-up up to the login flow (tables, log level, tray, timers, sink, listener).
void startUp(Shell& platformShell, EventLoop& eventLoop);
// Lets spreadsheets reach the program through their RTD function.
void openRtdDoor();
// What the main loop ends with: tray removed, RTD and DDE services closed.
void shutDown();

const char* localeForId(unsigned lcid);
void updateStats();
void updateSystemTray(const char* message);

bool connect();
void connected();
void handleAuthImage(QelMessage* msg);
// Fills the market table from the login answer's text; the number of markets read.
int parseMarketList(const char* data, std::size_t length);
// The display symbols of the account's markets, in order, joined by ", ".
std::string marketNames();
// What the balloon at sign-in says, at most `maxLength` characters.
std::string signedInNotice(std::size_t maxLength);
void notAuthenticated();
void disconnected();
// The DDE service could not start: the user is told, and the program ends with status 1.
void serviceFailed();
const char* socketError();
