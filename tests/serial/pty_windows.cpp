#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "pty.h"

namespace pelkar::test {
namespace {

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

}  // namespace

std::size_t OpenHandleCount() {
  DWORD count = 0;
  ::GetProcessHandleCount(::GetCurrentProcess(), &count);
  return count;
}

std::string NotAPort() {
  return "\\\\.\\NUL";
}

bool RefusesASecondOpenInProcess() {
  return false;
}

// A connection to pty_peer, which holds the master side on the Linux side of Wine.
struct Pty::Far {
  SOCKET socket = INVALID_SOCKET;
  std::string pending;

  std::string ReadLine() {
    for (;;) {
      if (const auto end = pending.find('\n'); end != std::string::npos) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        return line;
      }
      char buf[4096];
      const int n = ::recv(socket, buf, sizeof buf, 0);
      if (n <= 0) throw std::runtime_error("pty_peer went away");
      pending.append(buf, static_cast<std::size_t>(n));
    }
  }

  std::string Ask(const std::string& request) {
    const std::string line = request + "\n";
    if (::send(socket, line.data(), static_cast<int>(line.size()), 0) !=
        static_cast<int>(line.size())) {
      throw std::runtime_error("pty_peer went away");
    }
    return ReadLine();
  }
};

Pty::Pty() : far_(std::make_unique<Far>()) {
  const char* peer = std::getenv("PELKAR_PTY_PEER");
  if (peer == nullptr) throw std::runtime_error("no pseudo-terminal: run the tests under pty_peer");
  const std::string endpoint = peer;
  const auto colon = endpoint.rfind(':');
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = ::htons(static_cast<u_short>(std::stoi(endpoint.substr(colon + 1))));
  ::inet_pton(AF_INET, endpoint.substr(0, colon).c_str(), &address.sin_addr);
  far_->socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (!started || far_->socket == INVALID_SOCKET ||
      ::connect(far_->socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("cannot reach pty_peer at " + endpoint);
  }
  path_ = "\\\\.\\" + far_->ReadLine();
}

Pty::~Pty() {
  if (far_->socket != INVALID_SOCKET) ::closesocket(far_->socket);
}

int Pty::master() const {
  return -1;
}

void Pty::Write(const std::vector<std::uint8_t>& bytes) {
  far_->Ask("W " + Hex(bytes));
}

std::vector<std::uint8_t> Pty::Read(std::size_t n, std::chrono::milliseconds within) {
  const std::string hex =
      far_->Ask("R " + std::to_string(n) + " " + std::to_string(within.count()));
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

void Pty::CloseMaster() {
  far_->Ask("C");
}

LineSettings Pty::Settings() {
  std::istringstream in(far_->Ask("S"));
  LineSettings s;
  in >> s.baud >> s.data_bits >> s.parity >> s.two_stop_bits >> s.xon_xoff >> s.raw;
  if (!in) throw std::runtime_error("pty_peer could not read the settings");
  return s;
}

void Pty::LeaveForeignSettings() {
  far_->Ask("F");
}

}  // namespace pelkar::test
