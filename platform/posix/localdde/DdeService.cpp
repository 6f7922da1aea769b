#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/localdde/DdeServer.h"
#include "support/Log.h"

namespace localdde {

namespace {

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// True when a server accepts connections at `addr`.
bool liveAt(const sockaddr* addr, socklen_t size) {
  int probe = ::socket(AF_UNIX, SOCK_STREAM, 0);
  bool live = probe >= 0 && ::connect(probe, addr, size) == 0;
  if (probe >= 0) ::close(probe);
  return live;
}

// Binds and listens at `path` inside the directory open as `dirFd`. The
// socket listens under a name of its own first and is then linked to `path`,
// so that the service's name never shows a socket that refuses clients. The
// file is looked at and changed through the descriptor, and the path is
// checked to lead to that same directory once the socket is there, so
// nothing can be slipped in between. The socket's status goes to `st`; -1
// when refused.
int listenIn(int dirFd, const std::string& dir, const std::string& path, const std::string& name, struct stat& st) {
  std::string file = path.substr(dir.size() + 1);
  std::string temp = "." + file + "." + std::to_string(::getpid());
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) {
    LOG_ERR("DDE service " << name << " not started: " << std::strerror(errno));
    return -1;
  }
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
  const sockaddr* addr = reinterpret_cast<const sockaddr*>(&sa);
  sockaddr_un ta = sa;
  // Where the temporary name would not fit, the socket is bound at its name.
  bool viaTemp = dir.size() + 1 + temp.size() < sizeof ta.sun_path;
  if (viaTemp) {
    std::string tempPath = dir + "/" + temp;
    std::memcpy(ta.sun_path, tempPath.c_str(), tempPath.size() + 1);
    ::unlinkat(dirFd, temp.c_str(), 0);  // left by a process of ours that died here
  }
  int rc = ::bind(fd, reinterpret_cast<const sockaddr*>(&ta), sizeof ta);
  if (rc == 0) rc = ::listen(fd, 128);
  if (rc == 0 && viaTemp) {
    ::fchmodat(dirFd, temp.c_str(), 0600, 0);
    rc = ::linkat(dirFd, temp.c_str(), dirFd, file.c_str(), 0);
  }
  if (rc != 0 && errno == EADDRINUSE && !viaTemp) {
    // Bound at its name: the name was taken, so it is looked at below and
    // bound again.
    errno = EEXIST;
  }
  if (rc != 0 && errno == EEXIST) {
    // A socket file is there: a live server keeps it, a dead one's is replaced.
    if (liveAt(addr, sizeof sa)) {
      LOG_ERR("DDE service " << name << " not started: " << path << " is served by another process");
      if (viaTemp) ::unlinkat(dirFd, temp.c_str(), 0);
      ::close(fd);
      return -1;
    }
    ::unlinkat(dirFd, file.c_str(), 0);
    if (viaTemp) {
      rc = ::linkat(dirFd, temp.c_str(), dirFd, file.c_str(), 0);
    } else {
      rc = ::bind(fd, addr, sizeof sa);
      if (rc == 0) rc = ::listen(fd, 128);
    }
  }
  int saved = errno;
  if (viaTemp) ::unlinkat(dirFd, temp.c_str(), 0);
  if (rc != 0) {
    LOG_ERR("DDE service " << name << " not started: " << path << ": " << std::strerror(saved));
    ::close(fd);
    return -1;
  }
  struct stat held {}, named {};
  bool same = ::fstat(dirFd, &held) == 0 && ::lstat(dir.c_str(), &named) == 0 && sameFile(held, named);
  if (!same || ::fstatat(dirFd, file.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISSOCK(st.st_mode)) {
    LOG_ERR("DDE service " << name << " not started: " << dir << " was replaced while the service started");
    ::close(fd);
    return -1;
  }
  ::fchmodat(dirFd, file.c_str(), 0600, 0);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
  return fd;
}

}  // namespace

bool registerService(Instance& in, HSZ service) {
  StringEntry* e = lib.strings.find(service);
  if (!e) {
    LOG_ERR("DDE service handle " << static_cast<void*>(service) << " is not valid");
    return false;
  }
  std::string name = toUtf8(e->text);
  for (auto& l : in.listeners)
    if (lib.strings.find(l.second.service) == e) return true;
  EventLoop* loop = EventLoop::current();
  bool busyElsewhere = in.loop && in.loop != loop && (!in.listeners.empty() || !in.clients.empty());
  if (!loop || busyElsewhere) {
    LOG_ERR("DDE service " << name << " not started: no event loop to serve it on");
    return false;
  }
  std::string dir = ddeBridgeDirectory(), path, error;
  int dirFd = ddeBridgeOpenDirectory(dir, true, error);
  if (dirFd < 0 || !ddeBridgeSocketPath(dir, name, path, error)) {
    LOG_ERR("DDE service " << name << " not started: " << error);
    if (dirFd >= 0) ::close(dirFd);
    return false;
  }
  struct stat st {};
  int fd = listenIn(dirFd, dir, path, name, st);
  ::close(dirFd);
  if (fd < 0) return false;
  Listener l;
  l.service = service;
  lib.strings.take(LIBRARY_OWNER, service);
  l.name = name;
  l.path = path;
  l.fd = fd;
  l.dev = st.st_dev;
  l.ino = st.st_ino;
  in.listeners[fd] = l;
  in.loop = loop;
  lib.fdOwner[fd] = in.id;
  loop->watch(fd, &lib, EVENT_READ);
  updateTimers();
  LOG_INF("DDE service " << name << " listening on " << path);
  return true;
}

bool unregisterService(Instance& in, HSZ service) {
  StringEntry* e = service ? lib.strings.find(service) : nullptr;
  if (service && !e) return false;
  std::vector<int> fds;
  for (auto& l : in.listeners)
    if (!service || lib.strings.find(l.second.service) == e) fds.push_back(l.first);
  for (int fd : fds) {
    Listener l = in.listeners[fd];
    in.listeners.erase(fd);
    if (in.loop) in.loop->unwatch(fd);
    lib.fdOwner.erase(fd);
    ::close(fd);
    struct stat st {};
    if (::lstat(l.path.c_str(), &st) == 0 && st.st_dev == l.dev && st.st_ino == l.ino) ::unlink(l.path.c_str());
    LOG_INF("DDE service " << l.name << " stopped");
    std::vector<std::uint64_t> ids;
    for (auto& c : in.clients)
      if (c.second->listenFd == fd) ids.push_back(c.first);
    for (std::uint64_t id : ids) {
      Client* c = findClient(in, id);
      if (c) closeClient(in, *c, true);
    }
    lib.strings.release(LIBRARY_OWNER, l.service);
  }
  updateTimers();
  return !fds.empty();
}


}  // namespace localdde
