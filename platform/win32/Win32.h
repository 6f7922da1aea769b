#pragma once
// The Windows headers in the one order that works: Winsock 2 before
// <windows.h>, which would otherwise pull in the old Winsock 1 header.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <shellapi.h>
