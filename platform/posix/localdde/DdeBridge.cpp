#include "platform/posix/localdde/DdeBridge.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void putU8(std::string& out, std::uint8_t v) { out.push_back(static_cast<char>(v)); }

void putU16(std::string& out, std::uint16_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8));
}

void putU32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

bool putStr(std::string& out, const std::string& s) {
  if (s.size() > DDE_BRIDGE_MAX_NAME || s.find('\0') != std::string::npos) return false;
  putU8(out, static_cast<std::uint8_t>(s.size()));
  out += s;
  return true;
}

bool putFormat(std::string& out, const DdeBridgeFormat& f) {
  putU32(out, f.name.empty() ? f.code : 0);
  return putStr(out, f.name);
}

void putBlob(std::string& out, const std::string& b) {
  putU32(out, static_cast<std::uint32_t>(b.size()));
  out += b;
}

// Reads fields off one body; the first failure sticks, and its reason is kept.
class Cursor {
 public:
  Cursor(const char* p, std::size_t n) : m_p(reinterpret_cast<const unsigned char*>(p)), m_n(n) {}
  bool ok() const { return m_error.empty(); }
  const std::string& error() const { return m_error; }
  bool atEnd() const { return m_pos == m_n; }
  std::size_t left() const { return m_n - m_pos; }
  void fail(const std::string& why) {
    if (m_error.empty()) m_error = why;
  }

  std::uint8_t u8(const char* what) {
    if (!need(1, what)) return 0;
    return m_p[m_pos++];
  }
  std::uint16_t u16(const char* what) {
    if (!need(2, what)) return 0;
    std::uint16_t v = static_cast<std::uint16_t>(m_p[m_pos] | (m_p[m_pos + 1] << 8));
    m_pos += 2;
    return v;
  }
  std::uint32_t u32(const char* what) {
    if (!need(4, what)) return 0;
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | m_p[m_pos + static_cast<std::size_t>(i)];
    m_pos += 4;
    return v;
  }
  bool flag(const char* what) {
    std::uint8_t v = u8(what);
    if (v > 1) fail(std::string("bad ") + what + " flag " + std::to_string(v));
    return v == 1;
  }
  std::string str(const char* what) {
    std::size_t n = u8(what);
    if (!need(n, what)) return std::string();
    std::string s(reinterpret_cast<const char*>(m_p + m_pos), n);
    m_pos += n;
    if (s.find('\0') != std::string::npos) fail(std::string(what) + " holds a NUL");
    return s;
  }
  DdeBridgeFormat format(const char* what) {
    DdeBridgeFormat f;
    f.code = u32(what);
    f.name = str(what);
    if (ok() && !f.name.empty() && f.code != 0) fail(std::string(what) + " has both a number and a name");
    return f;
  }
  std::string blob(const char* what) {
    std::uint32_t n = u32(what);
    if (!need(n, what)) return std::string();
    std::string b(reinterpret_cast<const char*>(m_p + m_pos), n);
    m_pos += n;
    return b;
  }

 private:
  bool need(std::size_t n, const char* what) {
    if (!ok()) return false;
    if (n > m_n - m_pos) {
      fail(std::string(what) + " runs past the end (" + std::to_string(n) + " bytes, " +
           std::to_string(m_n - m_pos) + " left)");
      return false;
    }
    return true;
  }

  const unsigned char* m_p;
  std::size_t m_n;
  std::size_t m_pos = 0;
  std::string m_error;
};

char upperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

DdeBridgeFormat DdeBridgeFormat::standard(std::uint32_t code) {
  DdeBridgeFormat f;
  f.code = code;
  return f;
}

DdeBridgeFormat DdeBridgeFormat::registered(const std::string& name) {
  DdeBridgeFormat f;
  f.name = name;
  return f;
}

bool DdeBridgeFormat::sameAs(const DdeBridgeFormat& other) const {
  if (name.empty() || other.name.empty()) return name.empty() && other.name.empty() && code == other.code;
  if (name.size() != other.name.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i)
    if (upperAscii(name[i]) != upperAscii(other.name[i])) return false;
  return true;
}

bool DdeBridgeMessage::operator==(const DdeBridgeMessage& o) const {
  return kind == o.kind && xid == o.xid && conv == o.conv && service == o.service && topic == o.topic &&
         item == o.item && format == o.format && dataFormat == o.dataFormat && ok == o.ok && data == o.data &&
         pairs == o.pairs;
}

bool ddeBridgeEncode(const DdeBridgeMessage& m, std::string& out) {
  std::string body;
  putU8(body, m.kind);
  bool good = true;
  switch (m.kind) {
    case DDE_BRIDGE_CONNECT:
      putU32(body, m.xid);
      good = putStr(body, m.service) && putStr(body, m.topic);
      break;
    case DDE_BRIDGE_REQUEST:
    case DDE_BRIDGE_ADVSTART:
    case DDE_BRIDGE_ADVSTOP:
    case DDE_BRIDGE_POKE:
      putU32(body, m.xid);
      putU32(body, m.conv);
      good = putStr(body, m.item) && putFormat(body, m.format);
      if (m.kind == DDE_BRIDGE_POKE) putBlob(body, m.data);
      break;
    case DDE_BRIDGE_EXECUTE:
      putU32(body, m.xid);
      putU32(body, m.conv);
      putBlob(body, m.data);
      break;
    case DDE_BRIDGE_TERMINATE:
    case DDE_BRIDGE_TERMINATED:
      putU32(body, m.conv);
      break;
    case DDE_BRIDGE_CONNECTED:
      putU32(body, m.xid);
      if (m.pairs.size() > DDE_BRIDGE_MAX_PAIRS) return false;
      putU16(body, static_cast<std::uint16_t>(m.pairs.size()));
      for (const DdeBridgePair& p : m.pairs) {
        putU32(body, p.conv);
        good = good && putStr(body, p.service) && putStr(body, p.topic);
      }
      break;
    case DDE_BRIDGE_DATA:
      putU32(body, m.xid);
      putU32(body, m.conv);
      putU8(body, m.ok ? 1 : 0);
      good = putFormat(body, m.dataFormat);
      putBlob(body, m.data);
      break;
    case DDE_BRIDGE_ACK:
      putU32(body, m.xid);
      putU32(body, m.conv);
      putU8(body, m.ok ? 1 : 0);
      break;
    case DDE_BRIDGE_ADVISE:
      putU32(body, m.conv);
      good = putStr(body, m.item) && putFormat(body, m.format) && putFormat(body, m.dataFormat);
      putBlob(body, m.data);
      break;
    default:
      return false;
  }
  if (!good || body.size() > DDE_BRIDGE_MAX_MESSAGE) return false;
  putU32(out, static_cast<std::uint32_t>(body.size()));
  out += body;
  return true;
}

bool ddeBridgeAdviseHead(const std::string& item, const DdeBridgeFormat& loopFormat, std::string& head) {
  std::string h;
  if (!putStr(h, item) || !putFormat(h, loopFormat)) return false;
  head.swap(h);
  return true;
}

bool ddeBridgeAppendAdvise(std::uint32_t conv, const std::string& head, const DdeBridgeFormat& dataFormat,
                           const char* data, std::size_t size, std::string& out) {
  const std::string& name = dataFormat.name;
  if (name.size() > DDE_BRIDGE_MAX_NAME || name.find('\0') != std::string::npos) return false;
  std::size_t body = 1 + 4 + head.size() + 5 + name.size() + 4 + size;
  if (head.empty() || body > DDE_BRIDGE_MAX_MESSAGE) return false;
  // One frame per advise value: sized once and filled in place.
  std::size_t at = out.size();
  out.resize(at + 4 + body);
  char* p = &out[at];
  auto u32 = [&p](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) *p++ = static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  auto bytes = [&p](const char* b, std::size_t n) {
    if (n) std::memcpy(p, b, n);
    p += n;
  };
  u32(static_cast<std::uint32_t>(body));
  *p++ = static_cast<char>(DDE_BRIDGE_ADVISE);
  u32(conv);
  bytes(head.data(), head.size());
  u32(name.empty() ? dataFormat.code : 0);
  *p++ = static_cast<char>(name.size());
  bytes(name.data(), name.size());
  u32(static_cast<std::uint32_t>(size));
  bytes(data, size);
  return true;
}

bool ddeBridgeDecode(const char* body, std::size_t length, DdeBridgeMessage& out, std::string& error) {
  out = DdeBridgeMessage();
  Cursor c(body, length);
  out.kind = c.u8("kind");
  switch (out.kind) {
    case DDE_BRIDGE_CONNECT:
      out.xid = c.u32("xid");
      out.service = c.str("service");
      out.topic = c.str("topic");
      break;
    case DDE_BRIDGE_REQUEST:
    case DDE_BRIDGE_ADVSTART:
    case DDE_BRIDGE_ADVSTOP:
    case DDE_BRIDGE_POKE:
      out.xid = c.u32("xid");
      out.conv = c.u32("conversation");
      out.item = c.str("item");
      out.format = c.format("format");
      if (out.kind == DDE_BRIDGE_POKE) out.data = c.blob("data");
      break;
    case DDE_BRIDGE_EXECUTE:
      out.xid = c.u32("xid");
      out.conv = c.u32("conversation");
      out.data = c.blob("command");
      break;
    case DDE_BRIDGE_TERMINATE:
    case DDE_BRIDGE_TERMINATED:
      out.conv = c.u32("conversation");
      break;
    case DDE_BRIDGE_CONNECTED: {
      out.xid = c.u32("xid");
      std::uint16_t n = c.u16("pair count");
      if (n > DDE_BRIDGE_MAX_PAIRS) c.fail("too many pairs (" + std::to_string(n) + ")");
      for (std::uint16_t i = 0; i < n && c.ok(); ++i) {
        DdeBridgePair p;
        p.conv = c.u32("pair conversation");
        p.service = c.str("pair service");
        p.topic = c.str("pair topic");
        out.pairs.push_back(p);
      }
      break;
    }
    case DDE_BRIDGE_DATA:
      out.xid = c.u32("xid");
      out.conv = c.u32("conversation");
      out.ok = c.flag("ok");
      out.dataFormat = c.format("data format");
      out.data = c.blob("data");
      break;
    case DDE_BRIDGE_ACK:
      out.xid = c.u32("xid");
      out.conv = c.u32("conversation");
      out.ok = c.flag("ok");
      break;
    case DDE_BRIDGE_ADVISE:
      out.conv = c.u32("conversation");
      out.item = c.str("item");
      out.format = c.format("loop format");
      out.dataFormat = c.format("data format");
      out.data = c.blob("data");
      break;
    default:
      if (c.ok()) c.fail("unknown kind " + std::to_string(out.kind));
  }
  if (c.ok() && !c.atEnd()) c.fail(std::to_string(c.left()) + " trailing bytes");
  if (!c.ok()) {
    error = c.error();
    return false;
  }
  return true;
}

void DdeBridgeReader::append(const char* data, std::size_t length) {
  if (!m_error.empty() || length == 0) return;
  if (m_offset > 0 && m_offset == m_buffer.size()) {
    m_buffer.clear();
    m_offset = 0;
  }
  m_buffer.append(data, length);
}

int DdeBridgeReader::next(DdeBridgeMessage& out) {
  if (!m_error.empty()) return -1;
  std::size_t avail = m_buffer.size() - m_offset;
  if (avail < 4) return 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(m_buffer.data() + m_offset);
  std::uint32_t size = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                       (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
  if (size == 0 || size > DDE_BRIDGE_MAX_MESSAGE) {
    m_error = "bad message size " + std::to_string(size);
    return -1;
  }
  if (avail - 4 < size) return 0;
  std::string why;
  bool good = ddeBridgeDecode(m_buffer.data() + m_offset + 4, size, out, why);
  m_offset += 4 + size;
  if (m_offset == m_buffer.size()) {
    m_buffer.clear();
    m_offset = 0;
  } else if (m_offset > DDE_BRIDGE_MAX_MESSAGE) {
    m_buffer.erase(0, m_offset);
    m_offset = 0;
  }
  if (!good) {
    m_error = why;
    return -1;
  }
  return 1;
}

std::string ddeBridgeDirectory() {
  const char* own = std::getenv("TAVRO_DDE_DIR");
  if (own && *own) return own;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && *runtime) return std::string(runtime) + "/tavrodde";
  return "/tmp/tavrodde-" + std::to_string(static_cast<unsigned long>(::geteuid()));
}

int ddeBridgeOpenDirectory(const std::string& dir, bool create, std::string& error) {
  if (dir.empty()) {
    error = "no directory";
    return -1;
  }
  bool made = false;
  if (create) {
    if (::mkdir(dir.c_str(), 0700) == 0) made = true;
    else if (errno != EEXIST) {
      error = "cannot create " + dir + ": " + std::strerror(errno);
      return -1;
    }
  }
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    error = errno == ELOOP || errno == ENOTDIR ? dir + " is not a directory" : dir + ": " + std::strerror(errno);
    return -1;
  }
  struct stat st {};
  bool good = ::fstat(fd, &st) == 0;
  if (!good) {
    error = dir + ": " + std::strerror(errno);
  } else if (!S_ISDIR(st.st_mode)) {
    error = dir + " is not a directory";
    good = false;
  } else if (st.st_uid != ::geteuid()) {
    error = dir + " is owned by user " + std::to_string(static_cast<unsigned long>(st.st_uid));
    good = false;
  } else if (made && (st.st_mode & 0777) != 0700) {
    // The umask may have taken more than group and other bits away.
    if (::fchmod(fd, 0700) == 0) st.st_mode = (st.st_mode & ~07777u) | 0700;
  }
  if (good && (st.st_mode & 077)) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(st.st_mode & 0777));
    error = dir + " is open to others (mode " + mode + ")";
    good = false;
  }
  if (!good) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool ddeBridgeCheckDirectory(const std::string& dir, bool create, std::string& error) {
  int fd = ddeBridgeOpenDirectory(dir, create, error);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

bool ddeBridgeSocketPath(const std::string& dir, const std::string& service, std::string& path, std::string& error) {
  if (service.empty() || service.size() > DDE_BRIDGE_MAX_NAME || service[0] == '.') {
    error = "bad service name '" + service + "'";
    return false;
  }
  std::string name;
  for (char c : service) {
    bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                   c == '-' || c == '.';
    if (!allowed) {
      error = "bad service name '" + service + "'";
      return false;
    }
    name.push_back(upperAscii(c));
  }
  std::string full = dir + "/" + name;
  if (full.size() >= sizeof(sockaddr_un{}.sun_path)) {
    error = "socket path too long: " + full;
    return false;
  }
  path = full;
  return true;
}
