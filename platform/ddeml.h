#pragma once
// The DDE Management Library calls the DDE layer makes. On Windows this is the
// real library. Elsewhere the same subset is declared here and implemented by
// platform/posix/localdde/ as a DDE server over a Unix-domain socket in a
// per-user directory, so that dde/ is one body of code on both platforms.

#if defined(_WIN32)

// Lean, so that the rest of <windows.h> (NetBIOS's NAME_BUFFER, min/max, ...)
// does not collide with names of ours.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <ddeml.h>

// The library copies the source bytes and never writes them; its header just
// does not say so.
inline HDDEDATA DdeCreateDataHandle(DWORD idInst, const BYTE* pSrc, DWORD cb, DWORD cbOff, HSZ hszItem, UINT wFmt,
                                    UINT afCmd) {
  return ::DdeCreateDataHandle(idInst, const_cast<BYTE*>(pSrc), cb, cbOff, hszItem, wFmt, afCmd);
}

// Ends `hconv` and returns true when its client's window is gone: a client
// killed without terminating leaves its conversations and loops behind, and
// the library does not always say so.
inline bool ddeEndIfPartnerGone(HCONV hconv) {
  CONVINFO info = {};
  info.cb = sizeof info;
  if (!DdeQueryConvInfo(hconv, QID_SYNC, &info) || IsWindow(info.hwndPartner)) return false;
  DdeDisconnect(hconv);
  return true;
}

// The largest value the DDE layer hands to a client. Windows copies data of
// any size; a value can be no longer than the feed frame that carried it.
const DWORD DDE_MAX_VALUE_BYTES = 16u << 20;

#else

#include <cstdint>

typedef unsigned long DWORD;
typedef unsigned int UINT;
typedef int BOOL;
typedef unsigned char BYTE;
typedef std::uintptr_t ULONG_PTR;
typedef wchar_t WCHAR;

typedef struct HSZ__* HSZ;
typedef struct HDDEDATA__* HDDEDATA;
typedef struct HCONV__* HCONV;

struct HSZPAIR {
  HSZ hszSvc;
  HSZ hszTopic;
};

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#define CALLBACK

typedef HDDEDATA (*PFNCALLBACK)(UINT uType, UINT uFmt, HCONV hconv, HSZ hsz1, HSZ hsz2, HDDEDATA hdata,
                                ULONG_PTR dwData1, ULONG_PTR dwData2);

// Transaction types.
const UINT XTYP_ERROR = 0x8002;
const UINT XTYP_ADVDATA = 0x4010;
const UINT XTYP_ADVREQ = 0x2022;
const UINT XTYP_ADVSTART = 0x1030;
const UINT XTYP_ADVSTOP = 0x8040;
const UINT XTYP_EXECUTE = 0x4050;
const UINT XTYP_CONNECT = 0x1062;
const UINT XTYP_CONNECT_CONFIRM = 0x8072;
const UINT XTYP_XACT_COMPLETE = 0x8080;
const UINT XTYP_POKE = 0x4090;
const UINT XTYP_REGISTER = 0x80A2;
const UINT XTYP_REQUEST = 0x20B0;
const UINT XTYP_DISCONNECT = 0x80C2;
const UINT XTYP_UNREGISTER = 0x80D2;
const UINT XTYP_WILDCONNECT = 0x20E2;
const UINT XTYP_MONITOR = 0x80F2;

const UINT CF_TEXT = 1;
const UINT CF_UNICODETEXT = 13;
const int CP_WINANSI = 1004;
const int CP_WINUNICODE = 1200;

const DWORD APPCLASS_STANDARD = 0;
const DWORD CBF_FAIL_EXECUTES = 0x00008000;
const UINT DNS_REGISTER = 0x0001;
const UINT DNS_UNREGISTER = 0x0002;
const UINT EC_ENABLEALL = 0;
const UINT EC_DISABLE = 0x0008;
const UINT DMLERR_NO_ERROR = 0;
const UINT DMLERR_DLL_USAGE = 0x4004;
const UINT DMLERR_INVALIDPARAMETER = 0x4006;
const UINT DMLERR_NO_CONV_ESTABLISHED = 0x400a;
const UINT DMLERR_SYS_ERROR = 0x400f;
const UINT HDATA_APPOWNED = 0x0001;
const ULONG_PTR DDE_FACK = 0x8000;

UINT DdeInitializeW(DWORD* pidInst, PFNCALLBACK pfnCallback, DWORD afCmd, DWORD ulRes);
BOOL DdeUninitialize(DWORD idInst);
HDDEDATA DdeNameService(DWORD idInst, HSZ hsz1, HSZ hsz2, UINT afCmd);
UINT DdeGetLastError(DWORD idInst);

HSZ DdeCreateStringHandleA(DWORD idInst, const char* psz, int iCodePage);
HSZ DdeCreateStringHandleW(DWORD idInst, const WCHAR* psz, int iCodePage);
DWORD DdeQueryStringA(DWORD idInst, HSZ hsz, char* psz, DWORD cchMax, int iCodePage);
DWORD DdeQueryStringW(DWORD idInst, HSZ hsz, WCHAR* psz, DWORD cchMax, int iCodePage);
int DdeCmpStringHandles(HSZ hsz1, HSZ hsz2);
BOOL DdeFreeStringHandle(DWORD idInst, HSZ hsz);
BOOL DdeKeepStringHandle(DWORD idInst, HSZ hsz);

HDDEDATA DdeCreateDataHandle(DWORD idInst, const BYTE* pSrc, DWORD cb, DWORD cbOff, HSZ hszItem, UINT wFmt,
                             UINT afCmd);
BYTE* DdeAccessData(HDDEDATA hData, DWORD* pcbDataSize);
BOOL DdeUnaccessData(HDDEDATA hData);
DWORD DdeGetData(HDDEDATA hData, BYTE* pDst, DWORD cbMax, DWORD cbOff);
BOOL DdeFreeDataHandle(HDDEDATA hData);

BOOL DdePostAdvise(DWORD idInst, HSZ hszTopic, HSZ hszItem);
BOOL DdeEnableCallback(DWORD idInst, HCONV hConv, UINT wCmd);

UINT RegisterClipboardFormatA(const char* lpszFormat);

// The local library ends a client's conversations itself when its socket closes.
inline bool ddeEndIfPartnerGone(HCONV) { return false; }

// The largest value the DDE layer hands to a client: the local transport
// carries at most 64 KiB per message, and the item and format names and the
// message header need the rest.
const DWORD DDE_MAX_VALUE_BYTES = 60u * 1024u;

#endif
