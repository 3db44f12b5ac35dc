#include "files/files.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

namespace pelkar {
namespace {

namespace fs = std::filesystem;
using testing::HasSubstr;

class Files : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("pelkar-files-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "sub");
    input_ = Write("a.hex", "original");
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path Write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name, std::ios::binary) << text;
    return dir_ / name;
  }
  static std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  std::size_t Entries(const fs::path& folder) const {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(folder), fs::directory_iterator{}));
  }

  fs::path dir_;
  fs::path input_;
};

TEST_F(Files, AnOutputThatIsTheInputOrNoRegularFileIsRefusedAndKept) {
  fs::create_hard_link(input_, dir_ / "hard.hex");
  fs::create_symlink(input_, dir_ / "link.hex");
  fs::create_directory_symlink(dir_, dir_ / "sub" / "up");
  ::mkfifo((dir_ / "fifo").c_str(), 0600);
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string sock_path = (dir_ / "sock").string();
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock_path.c_str());
  ::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  struct Case {
    fs::path out;
    const char* said;
  };
  const Case cases[] = {
      {input_, "input file"},
      {dir_ / "." / "a.hex", "input file"},
      {dir_ / "sub" / ".." / "a.hex", "input file"},
      {dir_ / "hard.hex", "input file"},
      {dir_ / "link.hex", "input file"},
      {dir_ / "sub" / "up" / "a.hex", "input file"},
      {dir_ / "sub", "folder"},
      {dir_ / "fifo", "not a regular file"},
      {dir_ / "sock", "not a regular file"},
      {"/dev/null", "not a regular file"},
  };
  const fs::path inputs[] = {input_};
  for (const auto& c : cases) {
    const auto kind = fs::symlink_status(c.out).type();
    try {
      WriteFileAtomically(c.out, std::vector<std::uint8_t>(10, 0x41), inputs);
      ADD_FAILURE() << c.out << " was written";
    } catch (const FileError& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.said)) << c.out;
    }
    EXPECT_EQ(fs::symlink_status(c.out).type(), kind) << c.out;
    EXPECT_EQ(Read(input_), "original") << c.out;
  }
  ::close(sock);
  EXPECT_EQ(Entries(dir_), 6u) << "a temporary file was left behind";
}

TEST_F(Files, WritesThroughAnExclusiveTemporaryFileBesideTheTarget) {
  // A name at the length limit still gets its temporary file.
  const fs::path long_name = dir_ / std::string(255, 'n');
  WriteFileAtomically(long_name, std::vector<std::uint8_t>{1, 2, 3});
  EXPECT_EQ(Read(long_name), std::string("\x01\x02\x03"));

  // Room set aside and not used is given back.
  {
    AtomicFile file(dir_ / "reserved.bin");
    file.Reserve(1 << 20);
    file.Write(std::string_view("abc"));
    file.Commit();
  }
  EXPECT_EQ(fs::file_size(dir_ / "reserved.bin"), 3u);
  fs::remove(dir_ / "reserved.bin");

  // A link as the target keeps its link; the file it leads to gets the content.
  const fs::path real = Write("real.bin", "old");
  fs::create_symlink(real, dir_ / "alias.bin");
  WriteFileAtomically(dir_ / "alias.bin", std::vector<std::uint8_t>{'n', 'e', 'w'});
  EXPECT_TRUE(fs::is_symlink(dir_ / "alias.bin"));
  EXPECT_EQ(Read(real), "new");

  // The temporary file is new, in the target's folder, and a plain file; not committed, it goes.
  ::chmod(real.c_str(), 0640);
  {
    AtomicFile file(real);
    EXPECT_EQ(file.temporary().parent_path(), dir_);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file.temporary())));
    struct stat st {};
    ::stat(file.temporary().c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0640u) << "a replaced file keeps its permissions";
    file.Write(std::string_view("partial"));
  }
  EXPECT_EQ(Read(real), "new");
  EXPECT_EQ(Entries(dir_), 5u);
}

TEST_F(Files, AFailedWriteKeepsTheOlderFile) {
  const fs::path out = dir_ / "fw.bin";
  Write("fw.bin", std::string(5000, 'o'));
  // A file size limit makes the write fail half way, as a full disk would.
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 1024;
  ::setrlimit(RLIMIT_FSIZE, &small);
  try {
    WriteFileAtomically(out, std::vector<std::uint8_t>(40960, 0x11));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    FAIL() << "the write did not fail";
  } catch (const FileError& e) {
    ::setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_THAT(e.what(), HasSubstr(std::strerror(EFBIG)));
  }
  EXPECT_EQ(Read(out), std::string(5000, 'o'));
  EXPECT_EQ(Entries(dir_), 3u) << "the temporary file was left behind";
}

TEST_F(Files, ASignalThatEndsTheProcessRemovesTheTemporaryFile) {
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    const pid_t child = ::fork();
    if (child == 0) {
      RemoveTemporaryFilesOnSignals();
      AtomicFile file(dir_ / "out.bin");
      file.Write(std::string_view("half"));
      std::raise(sig);
      ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << sig;
    EXPECT_EQ(Entries(dir_), 2u) << "signal " << sig << " left the temporary file";
  }
}

TEST_F(Files, InputsAreLimitedAndReadErrorsAreReported) {
  struct Case {
    fs::path path;
    std::uint64_t limit;
    const char* said;
  };
  const Case cases[] = {
      {Write("big", std::string(1001, 'x')), 1000, "too big to use"},
      {"/dev/zero", 1 << 20, "not a regular file"},     // endless, and a device
      {"/proc/self/mem", 1 << 20, std::strerror(EIO)},  // a read error
      {dir_ / "sub", 1 << 20, "folder"},
      {dir_ / "missing", 1 << 20, std::strerror(ENOENT)},
  };
  for (const auto& c : cases) {
    try {
      ReadFileLimited(c.path, c.limit, "too big to use");
      ADD_FAILURE() << c.path << " was read";
    } catch (const FileError& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.said)) << c.path;
    }
  }
  EXPECT_EQ(ReadFileLimited(Write("fits", std::string(1000, 'x')), 1000, "").size(), 1000u);
}

TEST(Printable, EscapesControlBytesAndKeepsUtf8) {
  EXPECT_EQ(Printable("a\rb\x1B[2Jc\n"), "a\\rb\\x1B[2Jc\\n");
  EXPECT_EQ(Printable("F\xC5\x91program.hex"), "F\xC5\x91program.hex");
}

}  // namespace
}  // namespace pelkar
