#include <cctype>
#include <memory>
#include <string>

#include "app/TavroDDE.h"
#include "platform/RtdServer.h"

namespace {

// COM starts a local server with "-Embedding" (or "/Embedding").
bool startedByCom(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    for (char& c : arg) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (arg == "-embedding" || arg == "/embedding") return true;
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
