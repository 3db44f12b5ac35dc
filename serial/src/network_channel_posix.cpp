#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "net_socket.h"
#include "serial/network_channel.h"

namespace pelkar {
namespace {

int PollTimeout(NetSocket::Clock::time_point deadline) {
  const auto left = deadline - NetSocket::Clock::now();
  if (left <= NetSocket::Clock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<long long>(ms, 24 * 3600 * 1000));
}

// A peer that takes no bytes for this long is as good as gone.
constexpr auto kSendWait = std::chrono::seconds(5);

std::string Reason(int error) {
  switch (error) {
    case ECONNREFUSED:
      return "refused the connection";
    case ETIMEDOUT:
      return "did not answer within " + std::to_string(NetworkChannel::kConnectTime.count()) + " s";
    case EHOSTUNREACH:
    case ENETUNREACH:
      return "cannot be reached";
    default:
      return "cannot be reached (" + std::string(std::strerror(error)) + ")";
  }
}

}  // namespace

NetSocket::Connected NetSocket::Connect(const std::string& host, std::uint16_t port,
                                        Clock::time_point deadline, const WaitInterrupt* stop,
                                        std::string* why) {
  Close();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int lookup = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (lookup != 0) {
    *why = "cannot be found (" + std::string(::gai_strerror(lookup)) + ")";
    return Connected::kNo;
  }
  int last = ETIMEDOUT;
  Connected result = Connected::kNo;
  for (addrinfo* a = found; a != nullptr && result == Connected::kNo; a = a->ai_next) {
    const int fd =
        ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      last = errno;
      continue;
    }
    int error = 0;
    if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) error = errno;
    while (error == EINPROGRESS) {
      pollfd p[2] = {{fd, POLLOUT, 0}, {stop ? stop->Descriptor() : -1, POLLIN, 0}};
      const int r = ::poll(p, 2, PollTimeout(deadline));
      if (r < 0 && errno == EINTR) continue;
      if (p[1].revents & POLLIN) {
        result = Connected::kInterrupted;
        break;
      }
      if (r == 0) {
        error = ETIMEDOUT;
        break;
      }
      socklen_t len = sizeof error;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
    }
    if (result == Connected::kNo && error == 0) {
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      socket_ = fd;
      result = Connected::kYes;
    } else {
      ::close(fd);
      last = error;
    }
    if (Clock::now() >= deadline) break;
  }
  ::freeaddrinfo(found);
  if (result == Connected::kNo) *why = Reason(last);
  return result;
}

bool NetSocket::Receive(std::vector<std::uint8_t>& out) {
  if (socket_ == kNone) return false;
  std::uint8_t buf[4096];
  for (;;) {
    const ssize_t n = ::recv(static_cast<int>(socket_), buf, sizeof buf, 0);
    if (n > 0) {
      out.insert(out.end(), buf, buf + n);
      continue;
    }
    if (n == 0) return false;  // closed by the server
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK;
  }
}

bool NetSocket::Send(std::span<const std::uint8_t> data) {
  if (socket_ == kNone) return false;
  const int fd = static_cast<int>(socket_);
  const auto give_up = Clock::now() + kSendWait;
  while (!data.empty()) {
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n > 0) {
      data = data.subspan(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, PollTimeout(give_up)) == 0) return false;
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
  }
  return true;
}

WaitResult NetSocket::Wait(Clock::time_point deadline, const WaitInterrupt* stop) {
  for (;;) {
    pollfd p[2] = {{static_cast<int>(socket_), POLLIN, 0},
                   {stop ? stop->Descriptor() : -1, POLLIN, 0}};
    const int r = ::poll(p, 2, PollTimeout(deadline));
    if (r < 0 && errno != EINTR) {
      throw std::system_error(errno, std::generic_category(), "Cannot wait for the connection");
    }
    if (p[1].revents & POLLIN) return WaitResult::kInterrupted;
    if (p[0].revents != 0) return WaitResult::kReady;
    if (r == 0 && Clock::now() >= deadline) return WaitResult::kTimeout;
  }
}

std::intptr_t NetSocket::WaitObject() const noexcept {
  return socket_;
}

void NetSocket::Rearm() noexcept {}

int NetSocket::Descriptor() const noexcept {
  return static_cast<int>(socket_);
}

std::intptr_t NetSocket::StopObject(const WaitInterrupt& stop) noexcept {
  return stop.Descriptor();
}

void NetSocket::Close() noexcept {
  if (socket_ == kNone) return;
  ::close(static_cast<int>(socket_));
  socket_ = kNone;
}

}  // namespace pelkar
