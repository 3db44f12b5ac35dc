// pty_peer: the Linux side of the serial tests of a Windows build under Wine.
//
//   pty_peer WINE_PREFIX PROGRAM [ARGS...]
//
// Runs PROGRAM with PELKAR_PTY_PEER=127.0.0.1:<port> in its environment, answers connections
// there until PROGRAM ends, and ends as PROGRAM did. Every connection gets a pseudo-terminal of
// its own, linked into the prefix as dosdevices/comN (the first free N from 100 up), so that
// the program opens it as \\.\COMn; the connection's first line is "COMn". Then one request
// line, one answer line:
//   W <hex>         writes the bytes to the master side       -> OK
//   R <count> <ms>  reads up to count bytes within ms          -> <hex>, possibly empty
//   S               the terminal's settings                    -> <baud> <data bits> <parity>
//                                                                 <two stop bits> <xon/xoff> <raw>
//   F               leaves foreign settings (MakeForeign)       -> OK
//   C               closes the master side                      -> OK
// When the connection closes, so does the master side, and the link goes.
//
// Built for the build machine, not for Windows.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "termios_settings.h"

namespace {

namespace fs = std::filesystem;
using pelkar::test::LineSettings;

std::mutex links_mutex;
std::set<fs::path> links;  // removed on the way out, whatever the connections do

std::string Hex(const std::vector<unsigned char>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::vector<unsigned char> Bytes(const std::string& hex) {
  std::vector<unsigned char> out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// Links target as the first free comN from 100 up; a link to a terminal that is gone is free.
fs::path Link(const fs::path& dosdevices, const std::string& target) {
  for (int n = 100; n < 256; ++n) {
    const fs::path link = dosdevices / ("com" + std::to_string(n));
    if (::symlink(target.c_str(), link.c_str()) == 0) return link;
    struct stat st {};
    if (errno == EEXIST && ::lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode) &&
        ::stat(link.c_str(), &st) != 0) {
      ::unlink(link.c_str());
      if (::symlink(target.c_str(), link.c_str()) == 0) return link;
    }
  }
  return {};
}

class Session {
 public:
  Session(int socket, fs::path dosdevices) : socket_(socket), dosdevices_(std::move(dosdevices)) {}
  ~Session() {
    if (master_ >= 0) ::close(master_);
    if (!link_.empty()) {
      std::lock_guard lock(links_mutex);
      ::unlink(link_.c_str());
      links.erase(link_);
    }
    ::close(socket_);
  }

  void Serve() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
    const std::string slave = ::ptsname(master_);
    termios t{};
    ::tcgetattr(master_, &t);
    ::cfmakeraw(&t);  // no echo of what the port writes before it is configured
    ::tcsetattr(master_, TCSANOW, &t);
    fs::create_directories(dosdevices_);
    {
      std::lock_guard lock(links_mutex);
      link_ = Link(dosdevices_, slave);
      if (link_.empty()) return;
      links.insert(link_);
    }
    std::string name = link_.filename().string();
    for (auto& c : name)
      c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (!Send(name)) return;
    std::string line;
    while (ReadLine(line)) {
      if (!Send(Answer(line))) return;
    }
  }

 private:
  std::string Answer(const std::string& line) {
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    if (verb == "W") {
      std::string hex;
      in >> hex;
      Write(Bytes(hex));
      return "OK";
    }
    if (verb == "R") {
      std::size_t count = 0;
      int ms = 0;
      in >> count >> ms;
      return Hex(Read(count, ms));
    }
    if (verb == "S") {
      termios t{};
      if (master_ < 0 || ::tcgetattr(master_, &t) != 0) return "ERROR";
      const LineSettings s = pelkar::test::SettingsOf(t);
      std::ostringstream out;
      out << s.baud << ' ' << s.data_bits << ' ' << s.parity << ' ' << s.two_stop_bits << ' '
          << s.xon_xoff << ' ' << s.raw;
      return out.str();
    }
    if (verb == "F") {
      termios t{};
      ::tcgetattr(master_, &t);
      pelkar::test::MakeForeign(t);
      ::tcsetattr(master_, TCSANOW, &t);
      return "OK";
    }
    if (verb == "C") {
      if (master_ >= 0) ::close(master_);
      master_ = -1;
      return "OK";
    }
    return "ERROR";
  }

  void Write(const std::vector<unsigned char>& bytes) {
    std::size_t done = 0;
    while (master_ >= 0 && done < bytes.size()) {
      const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else {
        pollfd p{master_, POLLOUT, 0};
        ::poll(&p, 1, 100);
      }
    }
  }

  std::vector<unsigned char> Read(std::size_t count, int ms) {
    std::vector<unsigned char> out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (master_ >= 0 && out.size() < count && std::chrono::steady_clock::now() < deadline) {
      pollfd p{master_, POLLIN, 0};
      // With no one on the terminal's side the master reports a hang-up: wait a little.
      if (::poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
        unsigned char buf[512];
        const ssize_t got = ::read(master_, buf, std::min(sizeof buf, count - out.size()));
        if (got > 0) out.insert(out.end(), buf, buf + got);
      } else if (p.revents != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
    return out;
  }

  bool Send(const std::string& text) {
    const std::string line = text + "\n";
    return ::send(socket_, line.data(), line.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(line.size());
  }

  bool ReadLine(std::string& line) {
    for (;;) {
      if (const auto end = pending_.find('\n'); end != std::string::npos) {
        line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return true;
      }
      char buf[4096];
      const ssize_t n = ::recv(socket_, buf, sizeof buf, 0);
      if (n <= 0) return false;
      pending_.append(buf, static_cast<std::size_t>(n));
    }
  }

  int socket_;
  fs::path dosdevices_;
  fs::path link_;
  int master_ = -1;
  std::string pending_;
};

void RemoveLinks() {
  std::lock_guard lock(links_mutex);
  for (const auto& link : links)
    ::unlink(link.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: pty_peer WINE_PREFIX PROGRAM [ARGS...]\n");
    return 2;
  }
  const fs::path dosdevices = fs::path(argv[1]) / "dosdevices";
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(listener, 8) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    std::perror("pty_peer");
    return 2;
  }
  const std::string endpoint = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  ::setenv("PELKAR_PTY_PEER", endpoint.c_str(), 1);

  const pid_t child = ::fork();
  if (child == 0) {
    ::execvp(argv[2], argv + 2);
    std::perror(argv[2]);
    ::_exit(127);
  }
  std::thread([listener, dosdevices] {
    for (;;) {
      const int socket = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (socket < 0) continue;
      std::thread([socket, dosdevices] { Session(socket, dosdevices).Serve(); }).detach();
    }
  }).detach();

  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  RemoveLinks();
  // Sessions may still run: leave without destroying what they use.
  ::_exit(WIFEXITED(status) ? WEXITSTATUS(status)
                            : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0));
}
