#include <cctype>
#include <memory>

#include "app/TavroDDE.h"
#include "platform/RtdServer.h"

namespace {

// COM starts a local server with "-Embedding" (or "/Embedding").
bool startedByCom(int argc, char** argv) {
  static const char EMBEDDING[] = "embedding";
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] != '-' && arg[0] != '/') continue;
    std::size_t n = 0;
    while (EMBEDDING[n] != '\0' && std::tolower(static_cast<unsigned char>(arg[1 + n])) == EMBEDDING[n]) ++n;
    if (EMBEDDING[n] == '\0' && arg[1 + n] == '\0') return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  int code = 0;
  // The registration switches do their work and end: no window, no sign-in.
  if (rtdRegistrationCommand(argc, argv, code)) return code;
  EventLoop eventLoop;
  // Owned here, so that a copy that ends at once, finding another running,
  // gives it back too.
  std::unique_ptr<Shell> platformShell(createPlatformShell(eventLoop));
  return tavroMain(*platformShell, eventLoop, startedByCom(argc, argv));
}
