// rtdclient: a spreadsheet's side of the RTD door, for the Wine suite. It
// creates the server as a spreadsheet does (CoCreateInstance of "Tavro.RTD",
// a local server: COM starts TavroDDE.exe when it is not running), starts it
// with a callback of its own, connects 3 instruments x 4 items through the
// vtable and again through IDispatch::Invoke, and refreshes on every
// UpdateNotify. Once values flow it opens an XlTable advise loop over raw
// DDE on each of the 4 x 3 links (one conversation per link, so that no
// value can land under another link) and checks that every refreshed value
// is what the loop on the same link carries. Then it disconnects every
// topic, terminates the server and checks that the DDE loops go on.
//
//   rtdclient register EXE      writes the class's keys under HKLM for EXE
//                               (Wine reads COM classes only there)
//   rtdclient unregister        removes them
//   rtdclient run SECONDS       the session above; SECONDS of comparison
//   rtdclient bench PREFIX N SECONDS
//                               for the Wine benchmark (TavroDDE.exe running and
//                               signed in): N topics PREFIX0000.. on NAME, which
//                               does not change, and in windows of SECONDS the
//                               same instruments on TIME, stamped at every update,
//                               unrefreshed, then refreshed every 2 s (a
//                               spreadsheet's default): each RefreshData timed,
//                               its array's bytes counted
// Lines start with "rtd:"; the last is "rtd: PASS" or "rtd: FAIL ...".
// Exit status: 0 pass, 1 usage, 2 failure.

#include "platform/win32/Win32.h"

#include <ole2.h>
#include <oleauto.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "TavroRtd.h"
#include "platform/win32/RtdRegistry.h"
#include "tools/ddeclient/XlTable.h"
#include "tools/ddeclient/win32/RawDdeClient.h"

namespace {

const char* const TOPICS[] = {"lse_vod", "nasdaq_msft", "nyse_ibm"};
const char* const ITEMS[] = {"BID", "OFFER", "NAME", "LAST_TRADE_TIME"};
const int LINKS = 12;
// Topic ids: links through the vtable 1..12, through Invoke 101..112.
const long VIA_INVOKE = 100;
const long BAD_ITEM = 201, BAD_INSTRUMENT = 202, NO_MARKET = 203;
const DWORD WAIT_LOGIN_MS = 90000;
// How often the benchmark refreshes: a spreadsheet's default throttle.
const DWORD REFRESH_INTERVAL_MS = 2000;

void say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::printf("rtd: ");
  std::vprintf(format, args);
  std::printf("\n");
  std::fflush(stdout);
  va_end(args);
}

// A value as the spreadsheet shows it, for comparing and printing.
std::string show(const VARIANT& v) {
  char text[512];
  if (V_VT(&v) == VT_R8) return formatNumber(V_R8(&v));
  if (V_VT(&v) == VT_BSTR) {
    int n = WideCharToMultiByte(1252, 0, V_BSTR(&v), static_cast<int>(SysStringLen(V_BSTR(&v))), text,
                                sizeof text - 1, nullptr, nullptr);
    return "\"" + std::string(text, n > 0 ? static_cast<std::size_t>(n) : 0) + "\"";
  }
  std::snprintf(text, sizeof text, "<vartype %u>", static_cast<unsigned>(V_VT(&v)));
  return text;
}

std::string show(const XlCell& cell) {
  if (cell.type == XlCell::Float) return formatNumber(cell.number);
  if (cell.type == XlCell::String) return "\"" + cell.text + "\"";
  return "<" + formatCell(cell) + ">";
}

// The spreadsheet's callback: counts UpdateNotify, whichever way it comes.
class UpdateEvent : public IRTDUpdateEvent {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, IID_IRTDUpdateEvent)) {
      *out = static_cast<IRTDUpdateEvent*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++m_refs); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--m_refs); }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    if (id != 10) return DISP_E_MEMBERNOTFOUND;
    ++invoked;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE UpdateNotify() override {
    ++vtableCalls;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_HeartbeatInterval(LONG* value) override {
    *value = 15000;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_HeartbeatInterval(LONG) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Disconnect() override { return S_OK; }

  int invoked = 0;
  int vtableCalls = 0;

 private:
  LONG m_refs = 1;
};

class Session {
 public:
  int run(double seconds);
  int bench(const std::string& prefix, int topics, double seconds);

 private:
  bool fail(const std::string& why) {
    say("FAIL %s", why.c_str());
    m_failed = true;
    return false;
  }
  HRESULT invoke(DISPID id, std::vector<VARIANT> args, VARIANT* result) {
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPPARAMS params = {reversed.empty() ? nullptr : reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    return m_dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result, nullptr, nullptr);
  }
  bool connect(long id, const std::vector<std::string>& strings, bool viaInvoke, VARIANT& value);
  bool refresh(bool viaInvoke);
  bool create();
  bool connectAll(const std::string& prefix, int topics, long firstId, const char* item);
  bool timedRefresh(double& micros, long& count, std::size_t& bytes);
  bool waitForAll(long firstId, int topics, DWORD ms);
  bool waitForValues(DWORD ms);
  void pump(DWORD ms);
  bool startDde();
  bool compare();

  IRtdServer* m_server = nullptr;
  IDispatch* m_dispatch = nullptr;
  UpdateEvent m_callback;
  int m_refreshes = 0;
  int m_notifications = 0;
  std::map<long, std::string> m_rtd;  // latest value of each topic
  std::map<long, std::vector<std::string>> m_history;
  std::vector<std::unique_ptr<RawDdeClient>> m_dde;  // one per link
  std::vector<std::vector<std::string>> m_ddeValues;
  long m_compared = 0, m_equal = 0;
  bool m_failed = false;
  bool m_terminated = false;
  bool m_autoRefresh = true;
};

std::string linkName(int link) { return std::string(TOPICS[link / 4]) + " " + ITEMS[link % 4]; }

bool Session::connect(long id, const std::vector<std::string>& strings, bool viaInvoke, VARIANT& value) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(strings.size()));
  for (LONG i = 0; i < static_cast<LONG>(strings.size()); ++i) {
    wchar_t wide[256];
    MultiByteToWideChar(1252, 0, strings[static_cast<std::size_t>(i)].c_str(), -1, wide, 256);
    VARIANT text;
    V_VT(&text) = VT_BSTR;
    V_BSTR(&text) = SysAllocString(wide);
    SafeArrayPutElement(array, &i, &text);
    VariantClear(&text);
  }
  VARIANT_BOOL getNew = VARIANT_FALSE;
  VariantInit(&value);
  HRESULT hr;
  if (!viaInvoke) {
    hr = m_server->ConnectData(id, &array, &getNew, &value);
  } else {
    VARIANT args[3];
    V_VT(&args[0]) = VT_I4;
    V_I4(&args[0]) = id;
    V_VT(&args[1]) = VT_ARRAY | VT_VARIANT | VT_BYREF;
    V_ARRAYREF(&args[1]) = &array;
    V_VT(&args[2]) = VT_BOOL | VT_BYREF;
    V_BOOLREF(&args[2]) = &getNew;
    hr = invoke(11, {args[0], args[1], args[2]}, &value);
  }
  SafeArrayDestroy(array);
  if (FAILED(hr)) return fail("ConnectData " + std::to_string(id) + " failed: " + std::to_string(hr));
  m_rtd[id] = show(value);
  return true;
}

bool Session::refresh(bool viaInvoke) {
  LONG count = -1;
  SAFEARRAY* array = nullptr;
  HRESULT hr;
  if (!viaInvoke) {
    hr = m_server->RefreshData(&count, &array);
  } else {
    VARIANT arg, result;
    V_VT(&arg) = VT_I4 | VT_BYREF;
    V_I4REF(&arg) = &count;
    VariantInit(&result);
    hr = invoke(12, {arg}, &result);
    if (SUCCEEDED(hr) && V_VT(&result) == (VT_ARRAY | VT_VARIANT)) array = V_ARRAY(&result);
    else if (SUCCEEDED(hr)) VariantClear(&result);
  }
  ++m_refreshes;
  if (FAILED(hr) || !array) return fail("RefreshData failed: " + std::to_string(hr));
  LONG rowsHigh = -1, columnsHigh = -2;
  SafeArrayGetUBound(array, 1, &rowsHigh);
  if (count > 0) SafeArrayGetUBound(array, 2, &columnsHigh);
  if (SafeArrayGetDim(array) != 2 || rowsHigh != 1 || (count > 0 && columnsHigh != count - 1)) {
    SafeArrayDestroy(array);
    return fail("RefreshData: not a 2 x " + std::to_string(count) + " array");
  }
  for (LONG i = 0; i < count; ++i) {
    VARIANT id, value;
    VariantInit(&id);
    VariantInit(&value);
    LONG at[2] = {0, i};
    SafeArrayGetElement(array, at, &id);
    at[0] = 1;
    SafeArrayGetElement(array, at, &value);
    if (V_VT(&id) != VT_I4) fail("RefreshData: a topic id of type " + std::to_string(V_VT(&id)));
    long topic = V_I4(&id);
    m_rtd[topic] = show(value);
    auto& history = m_history[topic];
    history.push_back(m_rtd[topic]);
    VariantClear(&value);
  }
  SafeArrayDestroy(array);
  return true;
}

// Runs the thread's messages: incoming COM calls and DDE messages alike.
void Session::pump(DWORD ms) {
  RawDdeClient::pump(static_cast<int>(ms));
  int notified = m_callback.invoked + m_callback.vtableCalls;
  if (notified != m_notifications && !m_terminated && m_autoRefresh) {
    m_notifications = notified;
    refresh(m_refreshes % 2 == 1);
  }
  for (std::size_t link = 0; link < m_dde.size(); ++link) {
    DdeValue value;
    while (m_dde[link]->takeAdvise(value)) {
      XlTable table;
      std::string error;
      if (!decodeXlTable(value.data, table, error) || table.cells.size() != 1) {
        fail(linkName(static_cast<int>(link)) + ": advise data is no one-cell XlTable");
        continue;
      }
      m_ddeValues[link].push_back(show(table.cells[0]));
    }
  }
}

bool Session::waitForValues(DWORD ms) {
  ULONGLONG end = GetTickCount64() + ms;
  while (GetTickCount64() < end && !m_failed) {
    pump(50);
    int ready = 0;
    for (int link = 0; link < LINKS; ++link)
      for (long base : {0L, VIA_INVOKE}) {
        const std::string& v = m_rtd[base + link + 1];
        if (!v.empty() && v != "0" && v != "\" \"") ++ready;
      }
    for (long bad : {BAD_ITEM, BAD_INSTRUMENT, NO_MARKET})
      if (m_rtd[bad] == "\"ERROR\"") ++ready;
    if (ready == 2 * LINKS + 3) return true;
  }
  return false;
}

bool Session::startDde() {
  UINT xltable = RawDdeClient::registeredFormat("XlTable");
  for (int link = 0; link < LINKS; ++link) {
    m_dde.push_back(std::make_unique<RawDdeClient>());
    m_ddeValues.emplace_back();
    RawDdeClient& client = *m_dde.back();
    if (!client.initiate("TAVRO", TOPICS[link / 4], 5000))
      return fail(linkName(link) + ": no DDE conversation: " + client.lastError());
    // Under Wine an acknowledgement can come back under another item's name
    // (several topics share the items); asking again is answered again.
    DdeReply reply = DdeReply::Failed;
    for (int attempt = 0; attempt < 3 && reply != DdeReply::Ok; ++attempt)
      reply = client.adviseStart(ITEMS[link % 4], xltable, 3000);
    if (reply != DdeReply::Ok) return fail(linkName(link) + ": no XlTable advise loop: " + client.lastError());
  }
  return true;
}

// Each topic's latest refreshed value against its link's loop: the same, or
// (an update being between the two doors at that moment) the loop's next one.
bool Session::compare() {
  for (int link = 0; link < LINKS; ++link) {
    const std::vector<std::string>& dde = m_ddeValues[link];
    if (dde.empty()) continue;
    for (long base : {0L, VIA_INVOKE}) {
      const std::string& rtd = m_rtd[base + link + 1];
      ++m_compared;
      bool recent = dde.back() == rtd || (dde.size() >= 2 && dde[dde.size() - 2] == rtd);
      if (recent) ++m_equal;
      else say("differs: %s (topic %ld): RTD %s, XlTable loop %s", linkName(link).c_str(), base + link + 1,
               rtd.c_str(), dde.back().c_str());
    }
  }
  return true;
}

// Creates the server as a spreadsheet does and starts it with the callback.
bool Session::create() {
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(RTD_PROGID, &clsid);
  if (FAILED(hr)) return fail("no class for Tavro.RTD: " + std::to_string(hr));
  ULONGLONG t0 = GetTickCount64();
  say("creating the server");
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IRtdServer, reinterpret_cast<void**>(&m_server));
  if (FAILED(hr))
    return fail("CoCreateInstance(Tavro.RTD, CLSCTX_LOCAL_SERVER) failed after " +
                std::to_string(GetTickCount64() - t0) + " ms: " + std::to_string(hr));
  say("server created in %llu ms (IRtdServer through its vtable)", GetTickCount64() - t0);
  hr = m_server->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&m_dispatch));
  if (FAILED(hr)) return fail("no IDispatch: " + std::to_string(hr));
  long started = 0;
  hr = m_server->ServerStart(&m_callback, &started);
  if (FAILED(hr) || started != 1) return fail("ServerStart: " + std::to_string(hr));
  return true;
}

int Session::run(double seconds) {
  if (!create()) return 2;
  VARIANT beat;
  VariantInit(&beat);
  long alive = 0;
  if (FAILED(m_server->Heartbeat(&alive)) || alive != 1 || FAILED(invoke(14, {}, &beat)) || V_VT(&beat) != VT_I4 ||
      V_I4(&beat) != 1)
    return fail("Heartbeat is not 1"), 2;
  say("ServerStart 1, Heartbeat 1 through the vtable and through Invoke");

  std::string first;
  for (int link = 0; link < LINKS; ++link)
    for (bool viaInvoke : {false, true}) {
      VARIANT value;
      if (!connect((viaInvoke ? VIA_INVOKE : 0) + link + 1, {TOPICS[link / 4], ITEMS[link % 4]}, viaInvoke, value))
        return 2;
      if (link == 0 && !viaInvoke) first = show(value);
      VariantClear(&value);
    }
  say("connected %d topics through the vtable and %d through Invoke; lse_vod BID at once: %s", LINKS, LINKS,
      first.c_str());
  struct Bad {
    long id;
    std::vector<std::string> strings;
    const char* what;
  } bads[] = {{BAD_ITEM, {"lse_vod", "NO_SUCH_FIELD"}, "a bad item"},
              {BAD_INSTRUMENT, {"lse_nosuch", "BID"}, "an invalid instrument (once the feed refuses it)"},
              {NO_MARKET, {"xyz_abc", "BID"}, "an unknown market"}};
  for (const Bad& bad : bads) {
    VARIANT value;
    if (!connect(bad.id, bad.strings, bad.id % 2 == 0, value)) return 2;
    VariantClear(&value);
  }

  if (!waitForValues(WAIT_LOGIN_MS)) {
    for (const auto& topic : m_rtd) say("topic %ld: %s", topic.first, topic.second.c_str());
    return fail("not every topic got its value from an UpdateNotify and refresh"), 2;
  }
  say("every topic has a value after %d UpdateNotify (%d by Invoke) and %d refreshes", m_notifications,
      m_callback.invoked, m_refreshes);
  for (const Bad& bad : bads) {
    say("%s (%s %s) gives \"ERROR\"", bad.what, bad.strings[0].c_str(), bad.strings[1].c_str());
  }
  say("RTD alone holds the instruments open");
  pump(3000);

  if (!startDde()) return 2;
  ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(seconds * 1000);
  int refreshesBefore = m_refreshes;
  while (GetTickCount64() < end && !m_failed) {
    int r = m_refreshes;
    pump(20);
    if (m_refreshes != r) {
      pump(100);  // what the DDE side has on its way
      compare();
    }
  }
  if (m_failed) return 2;
  say("compared %ld refreshed values with the XlTable loops on the same links over %d refreshes: %ld equal",
      m_compared, m_refreshes - refreshesBefore, m_equal);
  if (m_compared == 0 || m_equal != m_compared) return fail("refreshed values differ from the XlTable loops"), 2;

  for (int link = 0; link < LINKS; ++link) {
    if (FAILED(m_server->DisconnectData(link + 1))) return fail("DisconnectData"), 2;
    VARIANT id, none;
    V_VT(&id) = VT_I4;
    V_I4(&id) = VIA_INVOKE + link + 1;
    VariantInit(&none);
    if (FAILED(invoke(13, {id}, &none))) return fail("DisconnectData through Invoke"), 2;
  }
  for (const Bad& bad : bads) m_server->DisconnectData(bad.id);
  if (FAILED(m_server->ServerTerminate())) return fail("ServerTerminate"), 2;
  m_terminated = true;
  say("every topic disconnected, server terminated");

  std::vector<std::size_t> before;
  for (const auto& values : m_ddeValues) before.push_back(values.size());
  pump(4000);
  std::size_t after = 0;
  for (std::size_t link = 0; link < m_ddeValues.size(); ++link) after += m_ddeValues[link].size() - before[link];
  if (after == 0) return fail("the DDE loops stopped with the RTD server"), 2;
  say("the XlTable loops go on after ServerTerminate: %zu values in 4 s", after);
  for (auto& client : m_dde) client->terminate(2000);
  m_dde.clear();
  m_dispatch->Release();
  m_server->Release();
  if (m_failed) return 2;
  say("PASS");
  return 0;
}

bool Session::connectAll(const std::string& prefix, int topics, long firstId, const char* item) {
  for (int i = 0; i < topics; ++i) {
    char topic[64];
    std::snprintf(topic, sizeof topic, "%s%04d", prefix.c_str(), i);
    VARIANT value;
    if (!connect(firstId + i, {topic, item}, false, value)) return false;
    VariantClear(&value);
  }
  return true;
}

// Until every topic of the range shows more than the placeholder.
bool Session::waitForAll(long firstId, int topics, DWORD ms) {
  ULONGLONG end = GetTickCount64() + ms;
  while (GetTickCount64() < end && !m_failed) {
    pump(50);
    int ready = 0;
    for (long id = firstId; id < firstId + topics; ++id) {
      const std::string& v = m_rtd[id];
      if (!v.empty() && v != "0" && v != "\" \"" && v != "\"ERROR\"") ++ready;
    }
    if (ready == topics) return true;
  }
  return fail("not every topic got a value in time");
}

// One RefreshData as the spreadsheet makes it, timed, and its array's size in memory.
bool Session::timedRefresh(double& micros, long& count, std::size_t& bytes) {
  LARGE_INTEGER frequency, t0, t1;
  QueryPerformanceFrequency(&frequency);
  LONG n = -1;
  SAFEARRAY* array = nullptr;
  QueryPerformanceCounter(&t0);
  HRESULT hr = m_server->RefreshData(&n, &array);
  QueryPerformanceCounter(&t1);
  if (FAILED(hr) || !array) return fail("RefreshData failed: " + std::to_string(hr));
  bytes = 0;
  for (LONG i = 0; i < n; ++i) {
    VARIANT value;
    VariantInit(&value);
    LONG at[2] = {1, i};
    SafeArrayGetElement(array, at, &value);
    bytes += 2 * sizeof(VARIANT);
    if (V_VT(&value) == VT_BSTR) bytes += sizeof(DWORD) + SysStringByteLen(V_BSTR(&value)) + sizeof(OLECHAR);
    VariantClear(&value);
  }
  SafeArrayDestroy(array);
  micros = static_cast<double>(t1.QuadPart - t0.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
  count = n;
  return true;
}

// Rounds of three windows, each `seconds` long, the NAME topics holding every
// instrument open throughout: "idle" (no topic changes), "unrefreshed" (the
// TIME topics change, nobody refreshes: the update path alone), "refresh"
// (refreshed every interval). Alternating rounds spread the machine's noise.
int Session::bench(const std::string& prefix, int topics, double seconds) {
  const int ROUNDS = 3;
  if (!create()) return 2;
  if (!connectAll(prefix, topics, 1, "NAME") || !waitForAll(1, topics, 60000)) return 2;
  m_autoRefresh = false;
  const DWORD window = static_cast<DWORD>(seconds * 1000);
  std::vector<double> micros;
  std::vector<long> counts;
  std::vector<std::size_t> bytes;
  long values = 0;
  ULONGLONG refreshingMs = 0;
  for (int round = 1; round <= ROUNDS && !m_failed; ++round) {
    say("idle %d: start (%d topics on NAME)", round, topics);
    pump(window);
    say("idle %d: end", round);
    const long first = round * topics + 1;  // fresh ids: no old topic answers for a new one
    m_autoRefresh = true;  // a topic still on the placeholder fills through a refresh
    if (!connectAll(prefix, topics, first, "TIME") || !waitForAll(first, topics, 60000)) return 2;
    m_autoRefresh = false;
    say("unrefreshed %d: start (%d topics on TIME)", round, topics);
    pump(window);
    say("unrefreshed %d: end", round);
    refresh(false);  // from here each refresh carries one interval's changes
    say("refresh %d: start", round);
    const ULONGLONG start = GetTickCount64();
    while (GetTickCount64() - start < window && !m_failed) {
      pump(REFRESH_INTERVAL_MS);
      double us = 0;
      long count = 0;
      std::size_t size = 0;
      if (!timedRefresh(us, count, size)) return 2;
      micros.push_back(us);
      counts.push_back(count);
      bytes.push_back(size);
      values += count;
    }
    refreshingMs += GetTickCount64() - start;
    say("refresh %d: end", round);
    for (long id = first; id < first + topics; ++id) m_server->DisconnectData(id);
  }
  m_server->ServerTerminate();
  m_dispatch->Release();
  m_server->Release();
  if (micros.empty() || m_failed) return fail("no refresh measured"), 2;
  auto median = [](auto v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  // result: refreshes K values V median_topics T median_us U median_bytes B window_ms W
  std::printf("result: refreshes %zu values %ld median_topics %ld median_us %.0f median_bytes %zu window_ms %llu\n",
              micros.size(), values, median(counts), median(micros), median(bytes), refreshingMs);
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> a(argv + 1, argv + argc);
  if (a.size() == 2 && a[0] == "register") {
    wchar_t exe[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, a[1].c_str(), -1, exe, MAX_PATH);
    bool ok = rtdWriteRegistration(HKEY_LOCAL_MACHINE, exe);
    say(ok ? "registered under HKLM" : "FAIL registering under HKLM");
    return ok ? 0 : 2;
  }
  if (a.size() == 1 && a[0] == "unregister") {
    bool ok = rtdRemoveRegistration(HKEY_LOCAL_MACHINE);
    say(ok ? "removed from HKLM" : "FAIL removing from HKLM");
    return ok ? 0 : 2;
  }
  if (a.size() == 2 && a[0] == "run") {
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
    Session session;
    int rc = session.run(std::atof(a[1].c_str()));
    CoUninitialize();
    return rc;
  }
  if (a.size() == 4 && a[0] == "bench") {
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
    int rc = 2;
    {
      Session session;
      rc = session.bench(a[1], std::atoi(a[2].c_str()), std::atof(a[3].c_str()));
    }
    CoUninitialize();
    return rc;
  }
  std::fprintf(stderr, "usage: rtdclient register EXE | unregister | run SECONDS | bench PREFIX N SECONDS\n");
  return 1;
}
