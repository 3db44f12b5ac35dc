#include "ser2net.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace pelkar::test {
namespace {

constexpr const char* kProgram = "/usr/sbin/ser2net";

// True when nothing can bind the port now: ser2net listens there.
bool Listening(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  const bool taken = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0;
  ::close(fd);
  return taken;
}

}  // namespace

bool Ser2net::Installed() {
  return ::access(kProgram, X_OK) == 0;
}

std::uint16_t Ser2net::FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    ::close(fd);
    throw std::runtime_error("no free TCP port on 127.0.0.1");
  }
  ::close(fd);
  return ntohs(a.sin_port);
}

Ser2net::Ser2net(std::vector<Connection> connections) : connections_(std::move(connections)) {
  dir_ = std::filesystem::temp_directory_path() /
         ("pelkar-ser2net-" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(dir_);
  std::ofstream conf(dir_ / "ser2net.yaml");
  for (std::size_t i = 0; i < connections_.size(); ++i) {
    const Connection& c = connections_[i];
    ports_.push_back(FreePort());
    conf << "connection: &c" << i << "\n"
         << "  accepter: " << (c.rfc2217 ? "telnet(rfc2217),tcp" : "tcp") << ",127.0.0.1,"
         << ports_.back() << "\n"
         << "  connector: serialdev," << c.device << "," << c.line << ",local\n"
         << "  options:\n"
         << "    chardelay: " << (c.chardelay ? "true" : "false") << "\n";
  }
  conf.close();
  Start();
}

Ser2net::~Ser2net() {
  Stop();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::string Ser2net::url(std::size_t i) const {
  return std::string(connections_.at(i).rfc2217 ? "rfc2217" : "socket") +
         "://127.0.0.1:" + std::to_string(port(i));
}

void Ser2net::Start() {
  const std::string conf = (dir_ / "ser2net.yaml").string();
  const std::string pid = (dir_ / "ser2net.pid").string();
  const std::string log = (dir_ / "ser2net.log").string();
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("cannot start ser2net");
  if (pid_ == 0) {
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (out < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0) ::_exit(126);
    ::execl(kProgram, kProgram, "-n", "-u", "-P", pid.c_str(), "-c", conf.c_str(), nullptr);
    ::_exit(127);
  }
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (std::uint16_t p : ports_) {
    while (!Listening(p)) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_ || std::chrono::steady_clock::now() > give_up) {
        pid_ = -1;
        throw std::runtime_error("ser2net did not start: " + Log());
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
}

void Ser2net::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::string Ser2net::Log() const {
  std::ifstream in(dir_ / "ser2net.log");
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace pelkar::test
