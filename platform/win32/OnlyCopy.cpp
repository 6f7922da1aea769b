#include "platform/OnlyCopy.h"

#include "platform/win32/Win32.h"
#include "support/Log.h"

bool claimOnlyCopy() {
  static HANDLE held = nullptr;
  if (held) return true;
  // Kept open for the life of the process; the system closes it at exit.
  HANDLE mutex = CreateMutexA(nullptr, FALSE, "Local\\TavroDDE.OnlyCopy");
  DWORD error = GetLastError();
  if (!mutex) {
    // Taken by a copy that this user may not open: another copy all the same.
    if (error == ERROR_ACCESS_DENIED) return false;
    LOG_WRN("cannot tell whether another copy runs: CreateMutex failed - " << error);
    return true;
  }
  if (error == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return false;
  }
  held = mutex;
  return true;
}
