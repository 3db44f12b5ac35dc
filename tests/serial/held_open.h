// Another process that holds a device open, as a terminal or ModemManager would, until the
// object goes. POSIX only.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace pelkar::test {

class HeldOpen {
 public:
  explicit HeldOpen(const std::string& path) {
    int ready[2];
    if (::pipe(ready) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
      const char ok = fd >= 0 ? 'y' : 'n';
      [[maybe_unused]] const ssize_t n = ::write(ready[1], &ok, 1);
      for (;;)
        ::pause();
    }
    ::close(ready[1]);
    char ok = 'n';
    [[maybe_unused]] const ssize_t n = ::read(ready[0], &ok, 1);
    ::close(ready[0]);
    if (ok != 'y') throw std::runtime_error("the holder could not open " + path);
  }
  HeldOpen(const HeldOpen&) = delete;
  HeldOpen& operator=(const HeldOpen&) = delete;
  ~HeldOpen() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  long pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

}  // namespace pelkar::test
