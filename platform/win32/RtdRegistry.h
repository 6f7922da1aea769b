#pragma once
// The registration of the RTD class "Tavro.RTD": the class, its two ProgIDs,
// the type library embedded in the executable and the two interfaces'
// marshaling through it. Written per user (HKCU\Software\Classes) by the
// "/regserver" switch and the installer; the Wine test client writes the same
// keys under HKLM, the only classes Wine reads.

#include "platform/win32/Win32.h"

extern const wchar_t RTD_PROGID[];           // "Tavro.RTD"
extern const wchar_t RTD_VERSIONED_PROGID[]; // "Tavro.RTD.1"

// Writes every key under `root`\Software\Classes, in the 64-bit and the
// 32-bit registry view, pointing at `exePath`. False, with an ERR line, on
// the first key that cannot be written.
bool rtdWriteRegistration(HKEY root, const wchar_t* exePath);
// Removes what rtdWriteRegistration wrote; interface keys only while they
// still name our type library. False when a key could not be removed.
bool rtdRemoveRegistration(HKEY root);
