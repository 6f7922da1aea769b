#include "platform/OnlyCopy.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/posix/localdde/DdeBridge.h"
#include "support/Log.h"

bool claimOnlyCopy() {
  // One claim per directory: a process that moves to another (tests do) gives up the old one.
  static int held = -1;
  static std::string heldDir;
  std::string dir = ddeBridgeDirectory(), error;
  if (held >= 0 && dir == heldDir) return true;
  int dirFd = ddeBridgeOpenDirectory(dir, true, error);
  if (dirFd < 0) {
    LOG_WRN("cannot tell whether another copy runs: " << error);
    return true;
  }
  int fd = ::openat(dirFd, "TavroDDE.lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  int openError = errno;
  ::close(dirFd);
  if (fd < 0) {
    LOG_WRN("cannot tell whether another copy runs: " << dir << "/TavroDDE.lock: " << std::strerror(openError));
    return true;
  }
  // The system drops the lock when the process ends, however it ends.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    bool taken = errno == EWOULDBLOCK;
    if (!taken) LOG_WRN("cannot tell whether another copy runs: flock: " << std::strerror(errno));
    ::close(fd);
    return !taken;
  }
  if (held >= 0) ::close(held);
  held = fd;
  heldDir = dir;
  return true;
}
