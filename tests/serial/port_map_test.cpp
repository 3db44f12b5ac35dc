#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

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

class VirtualPorts : public testing::Test {
 protected:
  void SetUp() override {
    runtime_ = fs::temp_directory_path() / ("pelkar-run-" + std::to_string(::getpid()));
    fs::create_directories(runtime_);
    old_ = std::getenv("XDG_RUNTIME_DIR") ? std::getenv("XDG_RUNTIME_DIR") : "";
    ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
  }
  void TearDown() override {
    if (old_.empty())
      ::unsetenv("XDG_RUNTIME_DIR");
    else
      ::setenv("XDG_RUNTIME_DIR", old_.c_str(), 1);
    fs::remove_all(runtime_);
  }
  fs::path runtime_;
  std::string old_;
};

TEST_F(VirtualPorts, FolderIsPrivateAndOwned) {
  const auto folder = VirtualPortFolder();
  ASSERT_TRUE(folder);
  EXPECT_EQ(*folder, runtime_ / "pelkar1");
  struct stat st {};
  ASSERT_EQ(::stat(folder->c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  ::chmod(folder->c_str(), 0777);
  ASSERT_TRUE(VirtualPortFolder());
  ::stat(folder->c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0700u) << "access for others is taken away";

  // A folder of another user is never used: links in it could point anywhere.
  ASSERT_EQ(::chown(folder->c_str(), 65534, 65534), 0);
  EXPECT_FALSE(VirtualPortFolder());
  EXPECT_FALSE(DevicePathForPort(200));
}

TEST_F(VirtualPorts, LinkIsListedOpenedByNumberAndRemoved) {
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
  }
  EXPECT_FALSE(fs::exists(folder / "COM200"));
  EXPECT_FALSE(fs::is_symlink(folder / "COM201"));
}

}  // namespace
}  // namespace pelkar
