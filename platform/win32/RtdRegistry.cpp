// Writes and removes the per-user COM registration of the RTD class. Every
// key goes into both registry views: a 32-bit spreadsheet reads the
// redirected copies (CLSID and Interface among them) to reach this 64-bit
// server, and where a key is shared between the views the second write
// lands on the first.

#include "platform/win32/RtdRegistry.h"

#include <ole2.h>
// The ids of TavroRtd.h are defined here, once.
#include <initguid.h>

#include <cstring>
#include <string>
#include <vector>

#include "TavroRtd.h"
#include "platform/RtdServer.h"
#include "support/Log.h"

const wchar_t RTD_PROGID[] = L"Tavro.RTD";
const wchar_t RTD_VERSIONED_PROGID[] = L"Tavro.RTD.1";

namespace {

// The standard marshaler that proxies an interface from its type library.
const wchar_t TYPELIB_MARSHALER[] = L"{00020424-0000-0000-C000-000000000046}";
const wchar_t DESCRIPTION[] = L"TAVRO real-time data";
const REGSAM VIEWS[] = {KEY_WOW64_64KEY, KEY_WOW64_32KEY};

std::wstring guidText(REFGUID guid) {
  wchar_t text[40];
  return StringFromGUID2(guid, text, 40) ? std::wstring(text) : std::wstring();
}

std::string narrow(const std::wstring& text) {
  char buffer[512];
  int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, buffer, sizeof buffer, nullptr, nullptr);
  return n > 0 ? std::string(buffer) : std::string("?");
}

std::wstring classesKey(const std::wstring& key) { return L"Software\\Classes\\" + key; }

const char* viewName(REGSAM view) { return view == KEY_WOW64_32KEY ? "32-bit" : "64-bit"; }

bool setValue(HKEY root, REGSAM view, const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  HKEY handle;
  LONG rc = RegCreateKeyExW(root, classesKey(key).c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &handle,
                            nullptr);
  if (rc == ERROR_SUCCESS) {
    rc = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
  }
  if (rc != ERROR_SUCCESS) LOG_ERR("cannot write registry key " << narrow(key) << " (" << viewName(view) << " view): " << rc);
  return rc == ERROR_SUCCESS;
}

std::wstring readValue(HKEY root, REGSAM view, const std::wstring& key) {
  HKEY handle;
  if (RegOpenKeyExW(root, classesKey(key).c_str(), 0, KEY_QUERY_VALUE | view, &handle) != ERROR_SUCCESS)
    return std::wstring();
  wchar_t value[260] = L"";
  DWORD size = sizeof value - sizeof(wchar_t), type = 0;
  LONG rc = RegQueryValueExW(handle, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(handle);
  return rc == ERROR_SUCCESS && type == REG_SZ ? std::wstring(value) : std::wstring();
}

bool removeKey(HKEY root, REGSAM view, const std::wstring& key) {
  HKEY handle;
  LONG rc = RegOpenKeyExW(root, classesKey(key).c_str(), 0, KEY_ALL_ACCESS | view, &handle);
  if (rc == ERROR_FILE_NOT_FOUND) return true;
  if (rc == ERROR_SUCCESS) {
    RegDeleteTreeW(handle, nullptr);
    RegCloseKey(handle);
    rc = RegDeleteKeyExW(root, classesKey(key).c_str(), view, 0);
  }
  if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
    LOG_ERR("cannot remove registry key " << narrow(key) << " (" << viewName(view) << " view): " << rc);
    return false;
  }
  return true;
}

struct InterfaceName {
  const IID* iid;
  const wchar_t* name;
};
const InterfaceName INTERFACES[] = {{&IID_IRtdServer, L"IRtdServer"}, {&IID_IRTDUpdateEvent, L"IRTDUpdateEvent"}};

std::wstring typeLibKey() { return L"TypeLib\\" + guidText(LIBID_TavroRtd) + L"\\1.0"; }

}  // namespace

bool rtdWriteRegistration(HKEY root, const wchar_t* exePath) {
  const std::wstring exe = exePath;
  const std::wstring clsid = guidText(CLSID_TavroRtd);
  const std::wstring libid = guidText(LIBID_TavroRtd);
  const std::wstring folder = exe.substr(0, exe.find_last_of(L'\\'));
  const std::wstring classKey = L"CLSID\\" + clsid;
  const std::wstring lib = typeLibKey();
  struct Value {
    std::wstring key;
    const wchar_t* name;
    std::wstring value;
  };
  std::wstring progId = RTD_PROGID, versioned = RTD_VERSIONED_PROGID;
  std::vector<Value> values = {
      {progId, nullptr, DESCRIPTION},
      {progId + L"\\CLSID", nullptr, clsid},
      {progId + L"\\CurVer", nullptr, versioned},
      {versioned, nullptr, DESCRIPTION},
      {versioned + L"\\CLSID", nullptr, clsid},
      {classKey, nullptr, DESCRIPTION},
      {classKey + L"\\LocalServer32", nullptr, L"\"" + exe + L"\""},
      {classKey + L"\\ProgID", nullptr, versioned},
      {classKey + L"\\VersionIndependentProgID", nullptr, progId},
      {classKey + L"\\TypeLib", nullptr, libid},
      {classKey + L"\\Version", nullptr, L"1.0"},
      {lib, nullptr, DESCRIPTION},
      {lib + L"\\FLAGS", nullptr, L"0"},
      {lib + L"\\HELPDIR", nullptr, folder},
      // Resource 1 is the 64-bit library, resource 2 the 32-bit one.
      {lib + L"\\0\\win64", nullptr, exe},
      {lib + L"\\0\\win32", nullptr, exe + L"\\2"},
  };
  for (const InterfaceName& i : INTERFACES) {
    std::wstring key = L"Interface\\" + guidText(*i.iid);
    values.push_back({key, nullptr, i.name});
    values.push_back({key + L"\\ProxyStubClsid32", nullptr, TYPELIB_MARSHALER});
    values.push_back({key + L"\\ProxyStubClsid", nullptr, TYPELIB_MARSHALER});
    values.push_back({key + L"\\TypeLib", nullptr, libid});
    values.push_back({key + L"\\TypeLib", L"Version", L"1.0"});
  }
  for (REGSAM view : VIEWS)
    for (const Value& v : values)
      if (!setValue(root, view, v.key, v.name, v.value)) return false;
  return true;
}

bool rtdRemoveRegistration(HKEY root) {
  const std::wstring clsid = guidText(CLSID_TavroRtd);
  const std::wstring libid = guidText(LIBID_TavroRtd);
  bool ok = true;
  for (REGSAM view : VIEWS) {
    // Keys another program may own are removed only while they are still ours.
    for (const wchar_t* progId : {RTD_PROGID, RTD_VERSIONED_PROGID})
      if (readValue(root, view, std::wstring(progId) + L"\\CLSID") == clsid) ok &= removeKey(root, view, progId);
    for (const InterfaceName& i : INTERFACES) {
      std::wstring key = L"Interface\\" + guidText(*i.iid);
      if (readValue(root, view, key + L"\\TypeLib") == libid) ok &= removeKey(root, view, key);
    }
    ok &= removeKey(root, view, L"CLSID\\" + clsid);
    ok &= removeKey(root, view, L"TypeLib\\" + libid);
  }
  return ok;
}

bool rtdRegistrationCommand(int argc, char** argv, int& exitCode) {
  bool remove = false, found = false;
  for (int i = 1; i < argc && !found; ++i) {
    const char* arg = argv[i];
    if (arg[0] != '/' && arg[0] != '-') continue;
    if (_stricmp(arg + 1, "regserver") == 0) found = true;
    if (_stricmp(arg + 1, "unregserver") == 0) found = remove = true;
  }
  if (!found) return false;
  setLogLevel(3);
  wchar_t exe[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, exe, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    LOG_ERR("cannot tell where this program is installed");
    exitCode = 1;
    return true;
  }
  bool ok = remove ? rtdRemoveRegistration(HKEY_CURRENT_USER) : rtdWriteRegistration(HKEY_CURRENT_USER, exe);
  if (ok && remove) LOG_INF("removed " << narrow(RTD_PROGID) << " for this user");
  if (ok && !remove) LOG_INF("registered " << narrow(RTD_PROGID) << " for this user: " << narrow(exe));
  exitCode = ok ? 0 : 1;
  return true;
}
