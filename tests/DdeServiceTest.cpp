// The DDE library's services: the socket directory, the socket, and what
// registering, unregistering and ending an instance do.
#include <dirent.h>
#include <fcntl.h>

#include "tests/DdeLibraryHarness.h"

namespace {

using DdeServiceTest = DdeLibraryTest;

// ---- Service, directory and socket

TEST_F(DdeServiceTest, RegisteringCreatesAPrivateDirectoryAndTheSocket) {
  // Whatever the umask takes away, the directory is made 0700.
  mode_t umask = ::umask(0277);
  bool started = start();
  ::umask(umask);
  ASSERT_TRUE(started);
  struct stat st {};
  ASSERT_EQ(::stat(dir.ddeDir.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::lstat(socketPath.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  // The name it listened under before the socket took the service's is gone.
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.ddeDir.c_str())) {
    while (dirent* e = ::readdir(d))
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    ::closedir(d);
  }
  EXPECT_EQ(names, std::vector<std::string>{socketPath.substr(dir.ddeDir.size() + 1)});
}

// Only a private directory of this user is used; anything planted in its
// place is refused, and what a link points to is left as it was.
TEST_F(DdeServiceTest, RegisteringRefusesAnythingButAPrivateDirectory) {
  struct Case {
    const char* name;
    std::function<void(const std::string& dde, const std::string& target)> plant;
    const char* why;
  };
  const Case cases[] = {
      {"open to others",
       [](const std::string& dde, const std::string&) {
         ::mkdir(dde.c_str(), 0700);
         ::chmod(dde.c_str(), 0755);
       },
       "open to others (mode 755)"},
      {"link to a private directory",
       [](const std::string& dde, const std::string& target) {
         ::mkdir(target.c_str(), 0700);
         ::symlink(target.c_str(), dde.c_str());
       },
       "is not a directory"},
      {"link to a file",
       [](const std::string& dde, const std::string& target) {
         ::close(::open(target.c_str(), O_CREAT | O_WRONLY, 0644));
         ::chmod(target.c_str(), 0644);
         ::symlink(target.c_str(), dde.c_str());
       },
       "is not a directory"},
      {"a file", [](const std::string& dde, const std::string&) { ::close(::open(dde.c_str(), O_CREAT | O_WRONLY, 0600)); },
       "is not a directory"},
  };
  for (const Case& c : cases) {
    std::string target = dir.root + "/elsewhere";
    std::system(("rm -rf '" + dir.ddeDir + "' '" + target + "'").c_str());
    c.plant(dir.ddeDir, target);
    struct stat before {}, after {};
    bool hasTarget = ::stat(target.c_str(), &before) == 0;
    LogCapture log;
    EXPECT_FALSE(start()) << c.name;
    EXPECT_EQ(DdeGetLastError(inst), static_cast<UINT>(DMLERR_SYS_ERROR)) << c.name;
    EXPECT_TRUE(log.contains(c.why)) << c.name << ": " << log.text();
    EXPECT_NE(::lstat(socketPath.c_str(), &after), 0) << c.name;
    if (hasTarget) {
      ASSERT_EQ(::stat(target.c_str(), &after), 0);
      EXPECT_EQ(after.st_mode, before.st_mode) << c.name;
      EXPECT_NE(::lstat((target + "/TAVRO").c_str(), &after), 0) << c.name;
    }
  }
}

TEST_F(DdeServiceTest, RegisteringReplacesTheSocketOfADeadServer) {
  ASSERT_EQ(::mkdir(dir.ddeDir.c_str(), 0700), 0);
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  std::strncpy(sa.sun_path, socketPath.c_str(), sizeof sa.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ::close(fd);  // the file stays, nobody listens
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  EXPECT_NE(connect(c, "lse_vod"), 0u);
}

TEST_F(DdeServiceTest, SecondInstanceCannotTakeALiveServiceButServesItsOwn) {
  ASSERT_TRUE(start());
  DWORD second = 0;
  ASSERT_EQ(DdeInitializeW(&second, &testCallback, 0, 0), DMLERR_NO_ERROR);
  ASSERT_NE(second, inst);
  HSZ same = DdeCreateStringHandleA(second, "tavro", CP_WINANSI);
  HSZ other = DdeCreateStringHandleA(second, "OTHER", CP_WINANSI);
  {
    LogCapture log;
    EXPECT_EQ(DdeNameService(second, same, nullptr, DNS_REGISTER), nullptr);
    EXPECT_TRUE(log.contains("served by another process")) << log.text();
  }
  ASSERT_NE(DdeNameService(second, other, nullptr, DNS_REGISTER), nullptr);
  DdeClient c;
  c.setIdle([this] { loop.runOnce(2); });
  ASSERT_TRUE(c.open("other"));
  std::uint32_t conv = 0;
  EXPECT_EQ(c.connect("OTHER", "x", conv), DdeReply::Ok);
  // The second instance was made without CBF_FAIL_EXECUTES.
  EXPECT_EQ(c.execute(conv, "[run]"), DdeReply::Ok);
  ASSERT_EQ(callsOf(XTYP_EXECUTE).size(), 1u);
  EXPECT_EQ(callsOf(XTYP_EXECUTE)[0].data, "[run]");
  EXPECT_TRUE(DdeUninitialize(second));
  struct stat st {};
  EXPECT_NE(::lstat((dir.ddeDir + "/OTHER").c_str(), &st), 0);
  EXPECT_EQ(::lstat(socketPath.c_str(), &st), 0);  // the first instance's stays
}

TEST_F(DdeServiceTest, NoServiceWithoutRegistration) {
  DdeClient c;
  EXPECT_FALSE(c.open("TAVRO"));
}

// ---- Teardown

TEST_F(DdeServiceTest, UninitializeEndsEveryConversationAndRemovesTheSocket) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::uint32_t one = connect(c, "lse_vod");
  std::uint32_t two = connect(c, "LSE_BP");
  ASSERT_EQ(c.adviseStart(one, "BID", kText), DdeReply::Ok);
  ASSERT_TRUE(DdeUninitialize(inst));
  EXPECT_TRUE(disconnected(one));
  EXPECT_TRUE(disconnected(two));
  struct stat st {};
  EXPECT_NE(::lstat(socketPath.c_str(), &st), 0);
  DWORD ended = inst;
  inst = 0;
  EXPECT_FALSE(DdePostAdvise(ended, service, nullptr));
  EXPECT_EQ(DdeQueryStringA(ended, service, nullptr, 0, CP_WINANSI), 0u);
  c.setIdle(nullptr);
  std::int64_t deadline = nowMs() + 2000;
  while (c.pump(10) && nowMs() < deadline) {
  }
  EXPECT_FALSE(c.isOpen());
  EXPECT_TRUE(c.terminated(one));
  EXPECT_TRUE(c.terminated(two));
}

TEST_F(DdeServiceTest, UnregisterStopsTheServiceAndEndsItsConversations) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::uint32_t conv = connect(c, "lse_vod");
  ASSERT_NE(DdeNameService(inst, service, nullptr, DNS_UNREGISTER), nullptr);
  EXPECT_TRUE(disconnected(conv));
  struct stat st {};
  EXPECT_NE(::lstat(socketPath.c_str(), &st), 0);
  DdeClient again;
  EXPECT_FALSE(again.open("TAVRO"));
  // The service can come back.
  ASSERT_TRUE(start());
  DdeClient& later = newClient();
  EXPECT_NE(connect(later, "lse_vod"), 0u);
}

}  // namespace
