#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/DdeServer.h"
#include "support/Log.h"

namespace localdde {

bool registerService(Instance& in, HSZ service) {
  StringEntry* e = strings.find(service);
  if (!e) {
    LOG_ERR("DDE service handle " << static_cast<void*>(service) << " is not valid");
    return false;
  }
  std::string name = toUtf8(e->text);
  for (auto& l : in.listeners)
    if (strings.find(l.second.service) == e) return true;
  EventLoop* loop = EventLoop::current();
  bool busyElsewhere = in.loop && in.loop != loop && (!in.listeners.empty() || !in.clients.empty());
  if (!loop || busyElsewhere) {
    LOG_ERR("DDE service " << name << " not started: no event loop to serve it on");
    return false;
  }
  std::string dir = ddeBridgeDirectory(), path, error;
  if (!ddeBridgeCheckDirectory(dir, true, error) || !ddeBridgeSocketPath(dir, name, path, error)) {
    LOG_ERR("DDE service " << name << " not started: " << error);
    return false;
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) {
    LOG_ERR("DDE service " << name << " not started: " << std::strerror(errno));
    return false;
  }
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
  const sockaddr* addr = reinterpret_cast<const sockaddr*>(&sa);
  int rc = ::bind(fd, addr, sizeof sa);
  if (rc != 0 && errno == EADDRINUSE) {
    // A socket file is there: a live server keeps it, a dead one's is replaced.
    int probe = ::socket(AF_UNIX, SOCK_STREAM, 0);
    bool live = probe >= 0 && ::connect(probe, addr, sizeof sa) == 0;
    if (probe >= 0) ::close(probe);
    if (live) {
      LOG_ERR("DDE service " << name << " not started: " << path << " is served by another process");
      ::close(fd);
      return false;
    }
    ::unlink(path.c_str());
    rc = ::bind(fd, addr, sizeof sa);
  }
  if (rc != 0 || ::listen(fd, 128) != 0) {
    LOG_ERR("DDE service " << name << " not started: " << path << ": " << std::strerror(errno));
    ::close(fd);
    return false;
  }
  ::chmod(path.c_str(), 0600);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
  struct stat st {};
  ::stat(path.c_str(), &st);
  Listener l;
  l.service = service;
  strings.take(LIBRARY_OWNER, service);
  l.name = name;
  l.path = path;
  l.fd = fd;
  l.dev = st.st_dev;
  l.ino = st.st_ino;
  in.listeners[fd] = l;
  in.loop = loop;
  fdOwner[fd] = in.id;
  loop->watch(fd, &server, EVENT_READ);
  updateTimers();
  LOG_INF("DDE service " << name << " listening on " << path);
  return true;
}

bool unregisterService(Instance& in, HSZ service) {
  StringEntry* e = service ? strings.find(service) : nullptr;
  if (service && !e) return false;
  std::vector<int> fds;
  for (auto& l : in.listeners)
    if (!service || strings.find(l.second.service) == e) fds.push_back(l.first);
  for (int fd : fds) {
    Listener l = in.listeners[fd];
    in.listeners.erase(fd);
    if (in.loop) in.loop->unwatch(fd);
    fdOwner.erase(fd);
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
    strings.release(LIBRARY_OWNER, l.service);
  }
  updateTimers();
  return !fds.empty();
}


}  // namespace localdde
