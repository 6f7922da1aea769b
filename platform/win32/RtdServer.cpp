// The RTD door on Windows: a COM local server inside this process. At start
// the class object is registered (REGCLS_MULTIPLEUSE) in a single-threaded
// apartment on the program's one thread, so every call arrives through the
// message loop like any other event. Each server object a spreadsheet
// creates holds one core session from ServerStart to ServerTerminate and
// converts between COM's VARIANTs and SAFEARRAYs and the core's values. The
// spreadsheet's UpdateNotify is called on a later turn of the loop, never
// from inside the feed's handling, and through IDispatch::Invoke, which
// works whichever way the spreadsheet implemented its callback.

#include "platform/RtdServer.h"

#include "platform/win32/Win32.h"

#include <ole2.h>
#include <oleauto.h>

#include <algorithm>
#include <string>
#include <vector>

#include "TavroRtd.h"
#include "platform/EventLoop.h"
#include "platform/win32/RtdRegistry.h"
#include "support/Log.h"

namespace {

// Dispatch ids of the spreadsheet's interfaces.
const DISPID DISPID_SERVER_START = 10, DISPID_CONNECT_DATA = 11, DISPID_REFRESH_DATA = 12,
             DISPID_DISCONNECT_DATA = 13, DISPID_HEARTBEAT = 14, DISPID_SERVER_TERMINATE = 15;
const DISPID DISPID_UPDATE_NOTIFY = 10;
// A spreadsheet busy with a modal state refuses calls for a while.
const UINT BUSY_RETRY_MS = 1000;

class RtdServer;

RtdSessionFactory* sessionFactory = nullptr;
DWORD classRegistration = 0;
bool comStarted = false;
std::vector<RtdServer*> servers;
ITypeInfo* serverTypeInfo = nullptr;

std::wstring wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  int n = MultiByteToWideChar(1252, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(1252, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
  return out;
}

std::string narrow(const wchar_t* text, UINT length) {
  if (!text || length == 0) return std::string();
  int n = WideCharToMultiByte(1252, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(1252, 0, text, static_cast<int>(length), &out[0], n, nullptr, nullptr);
  return out;
}

// A VARIANT passed by reference to a VARIANT reads as that VARIANT.
VARIANT* deref(VARIANT* v) {
  return V_VT(v) == (VT_VARIANT | VT_BYREF) && V_VARIANTREF(v) ? V_VARIANTREF(v) : v;
}

bool toValue(const RtdValue& value, VARIANT* out) {
  VariantInit(out);
  if (value.isNumber) {
    V_VT(out) = VT_R8;
    V_R8(out) = value.number;
    return true;
  }
  std::wstring text = wide(value.text);
  BSTR bstr = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (!bstr) return false;
  V_VT(out) = VT_BSTR;
  V_BSTR(out) = bstr;
  return true;
}

// The strings of a one-dimensional array of VARIANTs or of BSTRs; false when
// the array is of another kind or an element is no text.
bool stringsOf(SAFEARRAY* array, std::vector<std::string>& out) {
  if (!array || SafeArrayGetDim(array) != 1) return false;
  VARTYPE type = VT_EMPTY;
  LONG low = 0, high = -1;
  if (FAILED(SafeArrayGetVartype(array, &type)) || FAILED(SafeArrayGetLBound(array, 1, &low)) ||
      FAILED(SafeArrayGetUBound(array, 1, &high)))
    return false;
  if (type != VT_VARIANT && type != VT_BSTR) return false;
  for (LONG i = low; i <= high; ++i) {
    VARIANT text;
    VariantInit(&text);
    HRESULT hr;
    if (type == VT_BSTR) {
      BSTR element = nullptr;
      hr = SafeArrayGetElement(array, &i, &element);
      V_VT(&text) = VT_BSTR;
      V_BSTR(&text) = element;
    } else {
      VARIANT element;
      VariantInit(&element);
      hr = SafeArrayGetElement(array, &i, &element);
      if (SUCCEEDED(hr)) hr = VariantChangeType(&text, &element, 0, VT_BSTR);
      VariantClear(&element);
    }
    if (SUCCEEDED(hr)) out.push_back(narrow(V_BSTR(&text), SysStringLen(V_BSTR(&text))));
    VariantClear(&text);
    if (FAILED(hr)) return false;
  }
  return true;
}

// The 2 x N array of a refresh: (topic id, value) for each changed topic.
SAFEARRAY* refreshArray(const std::vector<std::pair<long, RtdValue>>& changes) {
  SAFEARRAYBOUND bounds[2] = {{2, 0}, {static_cast<ULONG>(changes.size()), 0}};
  SAFEARRAY* array = SafeArrayCreate(VT_VARIANT, 2, bounds);
  if (!array && changes.empty()) {
    // Some implementations refuse an empty dimension; the count of 0 says
    // that the one column of empty cells carries nothing.
    bounds[1].cElements = 1;
    array = SafeArrayCreate(VT_VARIANT, 2, bounds);
  }
  if (!array) return nullptr;
  VARIANT* cells = nullptr;
  if (FAILED(SafeArrayAccessData(array, reinterpret_cast<void**>(&cells)))) {
    SafeArrayDestroy(array);
    return nullptr;
  }
  // The first index runs fastest: each topic's id and value lie side by side.
  bool ok = true;
  for (std::size_t i = 0; i < changes.size() && ok; ++i) {
    V_VT(&cells[2 * i]) = VT_I4;
    V_I4(&cells[2 * i]) = changes[i].first;
    ok = toValue(changes[i].second, &cells[2 * i + 1]);
  }
  SafeArrayUnaccessData(array);
  if (!ok) {
    SafeArrayDestroy(array);
    return nullptr;
  }
  return array;
}

bool isGone(HRESULT hr) { return hr != RPC_E_CALL_REJECTED && hr != RPC_E_SERVERCALL_RETRYLATER; }

class RtdServer : public IRtdServer, public RtdUpdateListener {
 public:
  RtdServer() { servers.push_back(this); }
  RtdServer(const RtdServer&) = delete;
  RtdServer& operator=(const RtdServer&) = delete;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, IID_IRtdServer)) {
      *out = static_cast<IRtdServer*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++m_refs); }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG refs = --m_refs;
    if (refs == 0) delete this;
    return static_cast<ULONG>(refs);
  }

  // IDispatch, served by hand so that arguments by value and by reference
  // are both taken, whatever the caller's language passes.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = serverTypeInfo ? 1 : 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0 || !serverTypeInfo) return DISP_E_BADINDEX;
    serverTypeInfo->AddRef();
    *info = serverTypeInfo;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    static const struct {
      const wchar_t* name;
      DISPID id;
    } METHODS[] = {{L"ServerStart", DISPID_SERVER_START},       {L"ConnectData", DISPID_CONNECT_DATA},
                   {L"RefreshData", DISPID_REFRESH_DATA},       {L"DisconnectData", DISPID_DISCONNECT_DATA},
                   {L"Heartbeat", DISPID_HEARTBEAT},           {L"ServerTerminate", DISPID_SERVER_TERMINATE}};
    if (!names || !ids) return E_POINTER;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
      ids[i] = DISPID_UNKNOWN;
      if (i == 0)
        for (const auto& method : METHODS)
          if (names[0] && _wcsicmp(names[0], method.name) == 0) ids[0] = method.id;
      if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO*, UINT* argError) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    if (!(flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET))) return DISP_E_MEMBERNOTFOUND;
    if (params && params->cNamedArgs > 0) return DISP_E_NONAMEDARGS;
    UINT count = params ? params->cArgs : 0;
    // Arguments arrive last first.
    auto arg = [&](UINT i) { return deref(&params->rgvarg[count - 1 - i]); };
    auto badArg = [&](UINT i) {
      if (argError) *argError = count - 1 - i;
      return DISP_E_TYPEMISMATCH;
    };
    VARIANT ignored;
    VariantInit(&ignored);
    if (!result) result = &ignored;
    HRESULT hr;
    switch (id) {
      case DISPID_SERVER_START: {
        if (count != 1) return DISP_E_BADPARAMCOUNT;
        VARIANT* v = arg(0);
        IUnknown* callback = nullptr;
        if (V_VT(v) == VT_DISPATCH) callback = V_DISPATCH(v);
        else if (V_VT(v) == VT_UNKNOWN) callback = V_UNKNOWN(v);
        else if (V_VT(v) == (VT_DISPATCH | VT_BYREF) && V_DISPATCHREF(v)) callback = *V_DISPATCHREF(v);
        else return badArg(0);
        long started = 0;
        hr = start(callback, &started);
        if (SUCCEEDED(hr)) {
          V_VT(result) = VT_I4;
          V_I4(result) = started;
        }
        break;
      }
      case DISPID_CONNECT_DATA: {
        if (count != 3) return DISP_E_BADPARAMCOUNT;
        long topicId;
        if (!longOf(arg(0), topicId)) return badArg(0);
        VARIANT* strings = arg(1);
        SAFEARRAY* array = nullptr;
        if (V_VT(strings) & VT_ARRAY) array = V_VT(strings) & VT_BYREF ? *V_ARRAYREF(strings) : V_ARRAY(strings);
        else return badArg(1);
        VARIANT* getNewValues = arg(2);
        hr = ConnectData(topicId, &array, nullptr, result);
        if (SUCCEEDED(hr) && V_VT(getNewValues) == (VT_BOOL | VT_BYREF) && V_BOOLREF(getNewValues))
          *V_BOOLREF(getNewValues) = VARIANT_TRUE;
        break;
      }
      case DISPID_REFRESH_DATA: {
        if (count != 1) return DISP_E_BADPARAMCOUNT;
        long topics = 0;
        SAFEARRAY* array = nullptr;
        hr = RefreshData(&topics, &array);
        if (SUCCEEDED(hr)) {
          VARIANT* countArg = arg(0);
          if (V_VT(countArg) == (VT_I4 | VT_BYREF) && V_I4REF(countArg)) *V_I4REF(countArg) = topics;
          V_VT(result) = VT_ARRAY | VT_VARIANT;
          V_ARRAY(result) = array;
        }
        break;
      }
      case DISPID_DISCONNECT_DATA: {
        if (count != 1) return DISP_E_BADPARAMCOUNT;
        long topicId;
        if (!longOf(arg(0), topicId)) return badArg(0);
        hr = DisconnectData(topicId);
        break;
      }
      case DISPID_HEARTBEAT: {
        long alive = 0;
        hr = Heartbeat(&alive);
        V_VT(result) = VT_I4;
        V_I4(result) = alive;
        break;
      }
      case DISPID_SERVER_TERMINATE:
        hr = ServerTerminate();
        break;
      default:
        return DISP_E_MEMBERNOTFOUND;
    }
    VariantClear(&ignored);
    return hr;
  }

  // IRtdServer
  HRESULT STDMETHODCALLTYPE ServerStart(IRTDUpdateEvent* callback, long* result) override {
    return start(callback, result);
  }
  HRESULT STDMETHODCALLTYPE ConnectData(LONG topicId, SAFEARRAY** strings, VARIANT_BOOL* getNewValues,
                                        VARIANT* value) override {
    if (!value) return E_POINTER;
    VariantInit(value);
    if (!m_session) return E_UNEXPECTED;
    std::vector<std::string> names;
    if (!strings || !stringsOf(*strings, names)) {
      LOG_ERR("RTD topic " << topicId << ": its strings are not an array of texts");
      names.clear();
    }
    if (!toValue(m_session->connect(topicId, names), value)) return E_OUTOFMEMORY;
    if (getNewValues) *getNewValues = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE RefreshData(LONG* topicCount, SAFEARRAY** values) override {
    if (!topicCount || !values) return E_POINTER;
    *values = nullptr;
    *topicCount = 0;
    // After ServerTerminate a late refresh finds nothing.
    std::vector<std::pair<long, RtdValue>> changes;
    if (m_session) changes = m_session->refresh();
    *values = refreshArray(changes);
    if (!*values) return E_OUTOFMEMORY;
    *topicCount = static_cast<LONG>(changes.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE DisconnectData(LONG topicId) override {
    if (m_session) m_session->disconnect(topicId);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Heartbeat(long* result) override {
    if (!result) return E_POINTER;
    *result = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ServerTerminate() override {
    LOG_INF("RTD server terminated by its spreadsheet");
    end();
    return S_OK;
  }

  // RtdUpdateListener: the call goes out on a later turn of the loop.
  void rtdUpdated() override {
    if (m_notifyPending) return;
    EventLoop* loop = EventLoop::current();
    if (!loop) return;
    m_notifyPending = true;
    AddRef();
    loop->post([this] {
      notify();
      Release();
    });
  }

  // Releases the session and the callback; the spreadsheet's references
  // keep the object until it lets go.
  void end() {
    delete m_session;
    m_session = nullptr;
    if (m_callback) m_callback->Release();
    m_callback = nullptr;
    stopRetry();
  }

 private:
  ~RtdServer() {
    end();
    servers.erase(std::remove(servers.begin(), servers.end(), this), servers.end());
  }

  static bool longOf(VARIANT* v, long& out) {
    VARIANT number;
    VariantInit(&number);
    if (FAILED(VariantChangeType(&number, v, 0, VT_I4))) return false;
    out = V_I4(&number);
    return true;
  }

  HRESULT start(IUnknown* callback, long* result) {
    if (!result) return E_POINTER;
    *result = 0;
    IDispatch* dispatch = nullptr;
    if (!callback || FAILED(callback->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch))))
      return E_INVALIDARG;
    end();  // a second start begins afresh
    m_callback = dispatch;
    m_session = sessionFactory ? sessionFactory->newRtdSession(this) : nullptr;
    if (!m_session) {
      end();
      return E_UNEXPECTED;
    }
    LOG_INF("RTD server started by a spreadsheet");
    *result = 1;
    return S_OK;
  }

  void notify() {
    m_notifyPending = false;
    if (!m_callback || !m_session) return;
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    IDispatch* callback = m_callback;
    callback->AddRef();
    HRESULT hr =
        callback->Invoke(DISPID_UPDATE_NOTIFY, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr);
    callback->Release();
    if (SUCCEEDED(hr)) return;
    if (!isGone(hr)) {
      retryLater();
      return;
    }
    LOG_ERR("RTD spreadsheet did not take UpdateNotify (0x" << std::hex << static_cast<unsigned long>(hr) << std::dec
                                                              << "); releasing its topics");
    end();
  }

  void retryLater() {
    if (m_retryTimer) return;
    m_retryTimer = SetTimer(nullptr, 0, BUSY_RETRY_MS, retryTimer);
    if (m_retryTimer) AddRef();
  }
  void stopRetry() {
    if (!m_retryTimer) return;
    KillTimer(nullptr, m_retryTimer);
    m_retryTimer = 0;
    Release();
  }
  static void CALLBACK retryTimer(HWND, UINT, UINT_PTR timer, DWORD) {
    for (RtdServer* server : servers)
      if (server->m_retryTimer == timer) {
        server->AddRef();
        server->stopRetry();
        server->rtdUpdated();
        server->Release();
        return;
      }
    KillTimer(nullptr, timer);
  }

  LONG m_refs = 1;
  RtdSession* m_session = nullptr;
  IDispatch* m_callback = nullptr;
  bool m_notifyPending = false;
  UINT_PTR m_retryTimer = 0;
};

class RtdClassFactory : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *out = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  // One static object: its count means nothing.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    RtdServer* server = new RtdServer();
    HRESULT hr = server->QueryInterface(riid, out);
    server->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};
RtdClassFactory classFactory;

// The type information of IRtdServer, from the library in this executable.
void loadTypeInfo() {
  wchar_t exe[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, exe, MAX_PATH);
  ITypeLib* library = nullptr;
  if (length == 0 || length >= MAX_PATH || FAILED(LoadTypeLibEx(exe, REGKIND_NONE, &library))) {
    LOG_WRN("no type library in the executable; RTD callers get no type information");
    return;
  }
  library->GetTypeInfoOfGuid(IID_IRtdServer, &serverTypeInfo);
  library->Release();
}

void registerClass() {
  HRESULT hr = CoRegisterClassObject(CLSID_TavroRtd, &classFactory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                     &classRegistration);
  if (FAILED(hr)) {
    LOG_ERR("the RTD class could not be registered with COM (0x" << std::hex << static_cast<unsigned long>(hr)
                                                                  << std::dec << ")");
    classRegistration = 0;
  }
}

}  // namespace

bool rtdOpen(RtdSessionFactory* factory) {
  sessionFactory = factory;
  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(hr)) {
    LOG_ERR("COM could not be started (0x" << std::hex << static_cast<unsigned long>(hr) << std::dec << ")");
    return false;
  }
  comStarted = true;
  loadTypeInfo();
  registerClass();
  return classRegistration != 0;
}

void rtdClose() {
  if (classRegistration) CoRevokeClassObject(classRegistration);
  classRegistration = 0;
  // Spreadsheets still holding a server see it end, as for any ended server.
  std::vector<RtdServer*> live = servers;
  for (RtdServer* server : live) {
    server->AddRef();
    server->end();
    CoDisconnectObject(static_cast<IRtdServer*>(server), 0);
    server->Release();
  }
  if (serverTypeInfo) serverTypeInfo->Release();
  serverTypeInfo = nullptr;
  if (comStarted) CoUninitialize();
  comStarted = false;
  sessionFactory = nullptr;
}
