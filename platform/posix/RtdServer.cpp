// No RTD door on POSIX: spreadsheets there reach the program over the DDE
// bridge alone, so opening the door and the registration switches do nothing.

#include "platform/RtdServer.h"

bool rtdOpen(RtdSessionFactory*) { return true; }

void rtdClose() {}

bool rtdRegistrationCommand(int, char**, int&) { return false; }
