#include "app/TavroDDE.h"
#include "platform/RtdServer.h"

int main(int argc, char** argv) {
  int code = 0;
  // The registration switches do their work and end: no window, no sign-in.
  if (rtdRegistrationCommand(argc, argv, code)) return code;
  EventLoop eventLoop;
  Shell* platformShell = createPlatformShell(eventLoop);
  return tavroMain(*platformShell, eventLoop);
}
