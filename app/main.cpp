#include "app/TavroDDE.h"

int main() {
  EventLoop eventLoop;
  Shell* platformShell = createPlatformShell(eventLoop);
  return tavroMain(*platformShell, eventLoop);
}
