// ddemlprobe: a DDE client on the system's own DDE Management Library, to see
// what a DDEML client gets from the server: connect, then synchronous CF_TEXT
// and XlTable requests, each printed as text and as bytes. Under Wine a
// synchronous call is followed by a short message pump, since Wine's library
// sends an extra acknowledgement after the data that would otherwise answer
// the next call. Exit status: 0 every request answered, 1 usage, 2 no
// conversation, 3 a request failed.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <ddeml.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const DWORD TRANSACTION_MS = 5000;
const DWORD SETTLE_MS = 50;

HDDEDATA CALLBACK callback(UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) { return nullptr; }

void pump(DWORD ms) {
  ULONGLONG deadline = GetTickCount64() + ms;
  for (;;) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    ULONGLONG now = GetTickCount64();
    if (now >= deadline) return;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now), QS_ALLINPUT);
  }
}

std::string hex(const BYTE* bytes, DWORD n) {
  std::string s;
  char b[4];
  for (DWORD i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, i ? " %02x" : "%02x", bytes[i]);
    s += b;
  }
  return s;
}

// One synchronous request; false when it failed.
bool request(DWORD instance, HCONV conv, const char* item, UINT format, const char* label) {
  HSZ hszItem = DdeCreateStringHandleA(instance, item, CP_WINANSI);
  DWORD result = 0;
  HDDEDATA data = DdeClientTransaction(nullptr, 0, conv, hszItem, format, XTYP_REQUEST, TRANSACTION_MS, &result);
  UINT error = data ? 0 : DdeGetLastError(instance);
  pump(SETTLE_MS);
  DdeFreeStringHandle(instance, hszItem);
  if (!data) {
    std::printf("%s %s: failed 0x%04x\n", label, item, error);
    return false;
  }
  BYTE bytes[512];
  DWORD size = DdeGetData(data, nullptr, 0, 0);
  DWORD n = DdeGetData(data, bytes, sizeof bytes, 0);
  DdeFreeDataHandle(data);
  if (format == CF_TEXT) {
    std::string text(reinterpret_cast<const char*>(bytes), n);
    text = text.substr(0, text.find('\0'));
    std::printf("%s %s: \"%s\" (%lu bytes: %s)\n", label, item, text.c_str(), static_cast<unsigned long>(size),
                hex(bytes, n).c_str());
  } else {
    std::printf("%s %s: %lu bytes: %s\n", label, item, static_cast<unsigned long>(size), hex(bytes, n).c_str());
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: ddemlprobe TOPIC ITEM [--service NAME] [--repeat N]\n", stderr);
    return 1;
  }
  const char* topic = argv[1];
  const char* item = argv[2];
  const char* service = "TAVRO";
  int repeat = 1;
  for (int i = 3; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--service") == 0) service = argv[i + 1];
    if (std::strcmp(argv[i], "--repeat") == 0) repeat = std::atoi(argv[i + 1]);
  }
  if (repeat < 1 || repeat > 100) repeat = 1;
  setvbuf(stdout, nullptr, _IONBF, 0);

  DWORD instance = 0;
  UINT rc = DdeInitializeA(&instance, callback, APPCMD_CLIENTONLY, 0);
  if (rc != DMLERR_NO_ERROR) {
    std::printf("DdeInitialize failed 0x%04x\n", rc);
    return 2;
  }
  HSZ hszService = DdeCreateStringHandleA(instance, service, CP_WINANSI);
  HSZ hszTopic = DdeCreateStringHandleA(instance, topic, CP_WINANSI);
  HCONV conv = DdeConnect(instance, hszService, hszTopic, nullptr);
  pump(SETTLE_MS);
  if (!conv) {
    std::printf("DdeConnect %s|%s failed 0x%04x\n", service, topic, DdeGetLastError(instance));
    DdeUninitialize(instance);
    return 2;
  }
  std::printf("connected %s|%s\n", service, topic);
  UINT xltable = RegisterClipboardFormatA("XlTable");
  bool ok = true;
  for (int i = 0; i < repeat; ++i) {
    ok &= request(instance, conv, item, CF_TEXT, "CF_TEXT");
    ok &= request(instance, conv, item, xltable, "XlTable");
  }
  DdeDisconnect(conv);
  pump(SETTLE_MS);
  DdeFreeStringHandle(instance, hszService);
  DdeFreeStringHandle(instance, hszTopic);
  DdeUninitialize(instance);
  return ok ? 0 : 3;
}
