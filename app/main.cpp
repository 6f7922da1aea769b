#include <memory>

#include "app/TavroDDE.h"
#include "platform/RtdServer.h"

int main(int argc, char** argv) {
  int code = 0;
  // The registration switches do their work and end: no window, no sign-in.
  if (rtdRegistrationCommand(argc, argv, code)) return code;
  EventLoop eventLoop;
  // Owned here, so that a copy that ends at once, finding another running,
  // gives it back too.
  std::unique_ptr<Shell> platformShell(createPlatformShell(eventLoop));
  return tavroMain(*platformShell, eventLoop);
}
