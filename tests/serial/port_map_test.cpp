#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>

#include "pty.h"
#include "serial/linux_port_source.h"
#include "serial/port_map.h"
#include "serial/serial_comm.h"
#include "serial/virtual_port.h"

namespace pelkar {
namespace {

namespace fs = std::filesystem;

TEST(PortMap, NumbersAndPathsBothWays) {
  const std::pair<int, const char*> cases[] = {
      {1, "/dev/ttyS0"},    {32, "/dev/ttyS31"},   {33, "/dev/ttyUSB0"}, {64, "/dev/ttyUSB31"},
      {65, "/dev/ttyACM0"}, {96, "/dev/ttyACM31"}, {97, "/dev/ttyAMA0"}, {128, "/dev/ttyAMA31"},
  };
  for (const auto& [port, path] : cases) {
    EXPECT_EQ(DevicePathForPort(static_cast<std::uint8_t>(port)), path);
    EXPECT_EQ(PortForDevicePath(path), port);
  }
  for (int none : {0, 129, 150, 199}) {
    EXPECT_FALSE(DevicePathForPort(static_cast<std::uint8_t>(none))) << none;
  }
  for (const char* path :
       {"/dev/ttyS32", "/dev/ttyUSB", "/dev/ttyUSB01", "/dev/ttyX0", "/dev/pts/3", "/tmp/COM200"}) {
    EXPECT_FALSE(PortForDevicePath(path)) << path;
  }
}

// Every process of the user finds the same folder, from the user id alone; a folder it does
// not own outright is never used.
TEST(VirtualPortFolder, OnePrivateFolderPerUser) {
  const fs::path base =
      fs::temp_directory_path() / ("pelkar-folders-" + std::to_string(::getpid()));
  const fs::path run = base / "run";
  const fs::path tmp = base / "tmp";
  const std::uint32_t me = ::getuid();
  struct Case {
    const char* name;
    void (*prepare)(const fs::path&, const fs::path&, const std::string&);
    std::uint32_t uid;
    const char* expected;  // under base; "" for none
  };
  // Each case prepares the run and tmp roots for the user id u.
  const Case cases[] = {
      {"the session folder", [](auto& r, auto&, auto& u) { fs::create_directory(r / u); }, me,
       "run/{}/pelkar1"},
      {"no session folder", [](auto&, auto&, auto&) {}, me, "tmp/pelkar1-{}"},
      {"a link as session folder",
       [](auto& r, auto& t, auto& u) { fs::create_directory_symlink(t, r / u); }, me,
       "tmp/pelkar1-{}"},
      {"another user's folders", [](auto& r, auto&, auto& u) { fs::create_directory(r / u); },
       me + 1, ""},
      {"a planted link",
       [](auto&, auto& t, auto& u) {
         fs::create_directory(t / "elsewhere");
         fs::create_directory_symlink(t / "elsewhere", t / ("pelkar1-" + u));
       },
       me, ""},
      {"a file in the way",
       [](auto&, auto& t, auto& u) { std::ofstream(t / ("pelkar1-" + u)) << "x"; }, me, ""},
      {"open to others",
       [](auto&, auto& t, auto& u) {
         fs::create_directory(t / ("pelkar1-" + u));
         fs::permissions(t / ("pelkar1-" + u), fs::perms::all);
       },
       me, "tmp/pelkar1-{}"},
  };
  for (const Case& c : cases) {
    fs::remove_all(base);
    fs::create_directories(run);
    fs::create_directories(tmp);
    const std::string uid = std::to_string(c.uid);
    c.prepare(run, tmp, uid);
    const auto folder = VirtualPortFolderUnder(run, tmp, c.uid);
    std::string expected = c.expected;
    if (const auto at = expected.find("{}"); at != std::string::npos) expected.replace(at, 2, uid);
    if (expected.empty()) {
      EXPECT_FALSE(folder) << c.name << ": " << folder->string();
      continue;
    }
    ASSERT_TRUE(folder) << c.name;
    EXPECT_EQ(*folder, base / expected) << c.name;
    struct stat st {};
    ASSERT_EQ(::lstat(folder->c_str(), &st), 0) << c.name;
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << c.name;
    EXPECT_EQ(st.st_mode & 0777, 0700u) << c.name;
  }

  // The environment plays no part: a shell, sudo, ssh and a service all find the same folder.
  fs::remove_all(base);
  fs::create_directories(base);
  const fs::path sandbox = *VirtualPortFolder();
  SetVirtualPortFolderForTests({});
  ::setenv("XDG_RUNTIME_DIR", base.c_str(), 1);
  EXPECT_EQ(VirtualPortFolder(), VirtualPortFolderUnder("/run/user", "/tmp", me));
  ::unsetenv("XDG_RUNTIME_DIR");
  SetVirtualPortFolderForTests(sandbox);
  fs::remove_all(base);
}

TEST(VirtualPorts, LinkIsListedOpenedByNumberAndRemoved) {
  test::Pty pty;
  const auto folder = *VirtualPortFolder();
  fs::create_symlink("/nonexistent/pts/99", folder / "COM200");  // a dead device
  {
    VirtualPortLink link(pty.path());
    EXPECT_EQ(link.port(), 200) << "a link that points nowhere is taken over";
    VirtualPortLink second(pty.path());
    EXPECT_EQ(second.port(), 201);
    EXPECT_THROW(VirtualPortLink(pty.path(), 200), std::runtime_error);
    EXPECT_THROW(VirtualPortLink(pty.path(), 33), std::runtime_error);

    EXPECT_EQ(PortForDevicePath((folder / "COM201").string()), 201);
    const auto live = LiveVirtualPorts();
    ASSERT_EQ(live.size(), 2u);
    EXPECT_EQ(live[0], (std::pair<std::uint8_t, std::string>{200, pty.path()}));

    const auto devices = LinuxPortSource().Devices();
    ASSERT_GE(devices.size(), 2u);
    EXPECT_EQ(devices[devices.size() - 2].name, "Simulated device " + pty.path() + " (COM200)");

    SerialComm port;
    ASSERT_TRUE(port.OpenPort(200, 115200)) << port.LastError();
    ASSERT_TRUE(port.WritePort(std::vector<std::uint8_t>{0x42}));
    EXPECT_EQ(pty.Read(1), std::vector<std::uint8_t>{0x42});
    // What was opened must be the live device's own pseudo-terminal.
    test::Pty other;
    const int wrong = ::open(other.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_TRUE(StaleVirtualPort((folder / "COM200").string(), wrong));
    EXPECT_FALSE(StaleVirtualPort((folder / "." / "COM200").string(), port.Descriptor()));
    ::close(wrong);
  }
  EXPECT_TRUE(fs::is_empty(folder)) << "a device that ends leaves nothing behind";
}

// The child makes a device's link on port 200 and is killed, as by SIGKILL or an unhandled
// SIGHUP; its pseudo-terminal number is free again for the next one that asks.
void LeaveAKilledMaker() {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    try {
      test::Pty pty;
      VirtualPortLink link(pty.path(), 200);
      [[maybe_unused]] const ssize_t n = ::write(ready[1], "x", 1);
      ::pause();
    } catch (...) {
    }
    ::_exit(1);
  }
  ::close(ready[1]);
  char c = 0;
  EXPECT_EQ(::read(ready[0], &c, 1), 1);
  ::close(ready[0]);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
}

// A link counts only while the device that made it runs: one left behind may point at a
// pseudo-terminal that belongs to another device by now.
TEST(VirtualPorts, LinksWithoutTheirLiveMakerAreNeitherListedNorOpened) {
  const auto folder = *VirtualPortFolder();
  test::Pty holder_pty;
  struct Case {
    const char* name;
    // Leaves COM200 behind, leading to victim (a device that runs now, made here); returns a
    // device that still holds the number, if any.
    std::function<std::unique_ptr<VirtualPortLink>(std::optional<test::Pty>& victim)> leave;
  };
  const Case cases[] = {
      {"a link with no lock beside it",
       [&](std::optional<test::Pty>& victim) {
         fs::create_symlink(victim.emplace().path(), folder / "COM200");
         return nullptr;
       }},
      {"a maker that was killed",
       [&](std::optional<test::Pty>& victim) {
         LeaveAKilledMaker();
         victim.emplace();  // most likely on the number the killed one had
         EXPECT_TRUE(fs::is_symlink(folder / "COM200"));
         return nullptr;
       }},
      {"a link replaced under its live maker",
       [&](std::optional<test::Pty>& victim) {
         auto holder = std::make_unique<VirtualPortLink>(holder_pty.path(), 200);
         fs::remove(folder / "COM200");
         fs::create_symlink(victim.emplace().path(), folder / "COM200");
         return holder;
       }},
  };
  for (const Case& c : cases) {
    std::optional<test::Pty> victim;
    std::unique_ptr<VirtualPortLink> holder = c.leave(victim);
    EXPECT_FALSE(LiveVirtualPortTarget(200)) << c.name;
    EXPECT_TRUE(LiveVirtualPorts().empty()) << c.name;
    SerialComm port;
    EXPECT_FALSE(port.OpenPort(200, 115200)) << c.name;
    EXPECT_EQ(port.LastErrno(), ENOENT) << c.name;
    EXPECT_NE(port.LastError().find("No simulated device runs on"), std::string::npos)
        << c.name << ": " << port.LastError();
    if (!holder) {
      // The next device that wants the number gets it.
      VirtualPortLink next(holder_pty.path(), 200);
      EXPECT_EQ(LiveVirtualPortTarget(200), holder_pty.path()) << c.name;
    } else {
      EXPECT_THROW(VirtualPortLink(holder_pty.path(), 200), std::runtime_error) << c.name;
    }
    holder.reset();
    for (const auto& entry : fs::directory_iterator(folder))
      fs::remove(entry.path());
  }
}

}  // namespace
}  // namespace pelkar
