// Winsock's headers before windows.h, which would bring in the old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <algorithm>
#include <system_error>

#include "net_socket.h"
#include "serial/network_channel.h"

namespace pelkar {
namespace {

SOCKET AsSocket(std::intptr_t s) {
  return static_cast<SOCKET>(s);
}

HANDLE AsHandle(std::intptr_t h) {
  return reinterpret_cast<HANDLE>(h);
}

DWORD WaitTimeout(NetSocket::Clock::time_point deadline) {
  const auto left = deadline - NetSocket::Clock::now();
  if (left <= NetSocket::Clock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<DWORD>(std::min<long long>(ms, 24 * 3600 * 1000));
}

constexpr auto kSendWait = std::chrono::seconds(5);

// Winsock is started once for the program's life.
bool Started() {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

std::string Reason(int error) {
  switch (error) {
    case WSAECONNREFUSED:
      return "refused the connection";
    case WSAETIMEDOUT:
      return "did not answer within " + std::to_string(NetworkChannel::kConnectTime.count()) + " s";
    case WSAEHOSTUNREACH:
    case WSAENETUNREACH:
      return "cannot be reached";
    default:
      return "cannot be reached (Winsock error " + std::to_string(error) + ")";
  }
}

}  // namespace

NetSocket::Connected NetSocket::Connect(const std::string& host, std::uint16_t port,
                                        Clock::time_point deadline, const WaitInterrupt* stop,
                                        std::string* why) {
  Close();
  if (!Started()) {
    *why = "cannot be reached: Winsock does not start";
    return Connected::kNo;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (const int lookup = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
      lookup != 0) {
    *why = "cannot be found (Winsock error " + std::to_string(lookup) + ")";
    return Connected::kNo;
  }
  int last = WSAETIMEDOUT;
  Connected result = Connected::kNo;
  for (addrinfo* a = found; a != nullptr && result == Connected::kNo; a = a->ai_next) {
    const SOCKET s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) {
      last = ::WSAGetLastError();
      continue;
    }
    const HANDLE event = ::WSACreateEvent();
    // Also makes the socket non-blocking.
    ::WSAEventSelect(s, event, FD_CONNECT | FD_READ | FD_CLOSE | FD_WRITE);
    int error = 0;
    if (::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
      error = ::WSAGetLastError();
    }
    while (error == WSAEWOULDBLOCK) {
      HANDLE events[2] = {event, stop ? AsHandle(stop->WaitObject()) : nullptr};
      const DWORD r = ::WaitForMultipleObjects(stop ? 2 : 1, events, FALSE, WaitTimeout(deadline));
      if (r == WAIT_OBJECT_0 + 1) {
        result = Connected::kInterrupted;
        break;
      }
      if (r == WAIT_TIMEOUT) {
        error = WSAETIMEDOUT;
        break;
      }
      WSANETWORKEVENTS what{};
      ::WSAEnumNetworkEvents(s, event, &what);
      if (what.lNetworkEvents & FD_CONNECT) error = what.iErrorCode[FD_CONNECT_BIT];
    }
    if (result == Connected::kNo && error == 0) {
      const BOOL one = TRUE;
      ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
      socket_ = static_cast<std::intptr_t>(s);
      event_ = reinterpret_cast<std::intptr_t>(event);
      result = Connected::kYes;
    } else {
      ::closesocket(s);
      ::WSACloseEvent(event);
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
  char buf[4096];
  for (;;) {
    const int n = ::recv(AsSocket(socket_), buf, sizeof buf, 0);
    if (n > 0) {
      out.insert(out.end(), buf, buf + n);
      continue;
    }
    if (n == 0) return false;  // closed by the server
    return ::WSAGetLastError() == WSAEWOULDBLOCK;
  }
}

bool NetSocket::Send(std::span<const std::uint8_t> data) {
  if (socket_ == kNone) return false;
  const auto give_up = Clock::now() + kSendWait;
  while (!data.empty()) {
    const int n = ::send(AsSocket(socket_), reinterpret_cast<const char*>(data.data()),
                         static_cast<int>(std::min<std::size_t>(data.size(), 1 << 20)), 0);
    if (n > 0) {
      data = data.subspan(static_cast<std::size_t>(n));
      continue;
    }
    if (::WSAGetLastError() != WSAEWOULDBLOCK) return false;
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(AsSocket(socket_), &writable);
    const DWORD ms = WaitTimeout(give_up);
    timeval tv{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
    if (::select(0, nullptr, &writable, nullptr, &tv) <= 0) return false;
  }
  return true;
}

WaitResult NetSocket::Wait(Clock::time_point deadline, const WaitInterrupt* stop) {
  HANDLE events[2] = {stop ? AsHandle(stop->WaitObject()) : nullptr, AsHandle(event_)};
  const DWORD first = stop ? 0 : 1;
  for (;;) {
    const DWORD timeout = WaitTimeout(deadline);
    const DWORD r = ::WaitForMultipleObjects(2 - first, events + first, FALSE, timeout);
    if (r == WAIT_FAILED) {
      throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(),
                              "Cannot wait for the connection");
    }
    if (stop && r == WAIT_OBJECT_0) return WaitResult::kInterrupted;
    if (r == WAIT_TIMEOUT) return WaitResult::kTimeout;
    Rearm();
    return WaitResult::kReady;
  }
}

std::intptr_t NetSocket::WaitObject() const noexcept {
  return event_;
}

void NetSocket::Rearm() noexcept {
  // Resets the event; recv() asks for the next FD_READ.
  WSANETWORKEVENTS what{};
  ::WSAEnumNetworkEvents(AsSocket(socket_), AsHandle(event_), &what);
}

int NetSocket::Descriptor() const noexcept {
  return -1;
}

std::intptr_t NetSocket::StopObject(const WaitInterrupt& stop) noexcept {
  return stop.WaitObject();
}

void NetSocket::Close() noexcept {
  if (socket_ == kNone) return;
  ::closesocket(AsSocket(socket_));
  ::WSACloseEvent(AsHandle(event_));
  socket_ = kNone;
  event_ = 0;
}

}  // namespace pelkar
