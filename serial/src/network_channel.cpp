#include "serial/network_channel.h"

#include <algorithm>
#include <cctype>

#include "net_socket.h"

namespace pelkar {
namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

bool IsNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

bool IsV6Char(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
}

// One byte at a time: g++ 12 warns falsely about insert() of a short list at -O2.
void Append(std::vector<std::uint8_t>& out, std::initializer_list<std::uint8_t> bytes) {
  for (std::uint8_t b : bytes)
    out.push_back(b);
}

constexpr std::size_t kSbLimit = 64;  // the longest answer is a signature; more is garbage

}  // namespace

std::string NetworkUrl::Text() const {
  const std::string h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return std::string(scheme == Scheme::kRfc2217 ? "rfc2217" : "socket") + "://" + h + ":" +
         std::to_string(port);
}

bool LooksLikeNetworkUrl(std::string_view text) {
  return text.find("://") != std::string_view::npos;
}

std::optional<NetworkUrl> ParseNetworkUrl(std::string_view text, std::string* why) {
  const auto fail = [&](const char* what) -> std::optional<NetworkUrl> {
    *why = what;
    return std::nullopt;
  };
  const std::size_t sep = text.find("://");
  if (sep == std::string_view::npos) return fail("not a URL");
  NetworkUrl url;
  const std::string scheme = Lower(text.substr(0, sep));
  if (scheme == "rfc2217") {
    url.scheme = NetworkUrl::Scheme::kRfc2217;
  } else if (scheme == "socket") {
    url.scheme = NetworkUrl::Scheme::kSocket;
  } else {
    return fail("not a network port; give rfc2217://HOST:PORT or socket://HOST:PORT");
  }
  std::string_view rest = text.substr(sep + 3);
  std::string_view port;
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos) return fail("an IPv6 address lacks its closing ]");
    const std::string_view host = rest.substr(1, close - 1);
    if (host.empty()) return fail("no host");
    if (!std::all_of(host.begin(), host.end(), IsV6Char) ||
        host.find(':') == std::string_view::npos) {
      return fail("not an IPv6 address between the brackets");
    }
    url.host = Lower(host);
    rest = rest.substr(close + 1);
    if (rest.empty()) return fail("no port; give HOST:PORT");
    if (rest.front() != ':') return fail("junk after the host");
    port = rest.substr(1);
  } else {
    const std::size_t colon = rest.rfind(':');
    const std::string_view host = rest.substr(0, colon);
    if (host.empty()) return fail("no host");
    if (colon == std::string_view::npos) return fail("no port; give HOST:PORT");
    if (!std::all_of(host.begin(), host.end(), IsNameChar)) {
      return fail(host.find(':') != std::string_view::npos
                      ? "an IPv6 address goes in brackets: [::1]:PORT"
                      : "not a host name or address");
    }
    url.host = Lower(host);
    port = rest.substr(colon + 1);
  }
  if (port.empty()) return fail("no port; give HOST:PORT");
  if (port.size() > 5 || !std::all_of(port.begin(), port.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
      })) {
    return fail("the port is no number from 1 to 65535");
  }
  const long n = std::stol(std::string(port));
  if (n < 1 || n > 65535) return fail("the port is no number from 1 to 65535");
  url.port = static_cast<std::uint16_t>(n);
  return url;
}

// Telnet -------------------------------------------------------------------------------------

std::vector<std::uint8_t> TelnetCodec::Start() {
  std::vector<std::uint8_t> out;
  const auto offer = [&](std::uint8_t verb, std::uint8_t option) {
    Append(out, {kIac, verb, option});
    (verb == kWill ? asked_us_ : asked_him_)[option] = true;
  };
  offer(kWill, kComPort);
  offer(kWill, kBinary);
  offer(kDo, kBinary);
  offer(kWill, kSuppressGoAhead);
  offer(kDo, kSuppressGoAhead);
  return out;
}

void TelnetCodec::Encode(std::span<const std::uint8_t> data, std::vector<std::uint8_t>& out) {
  for (std::uint8_t b : data) {
    out.push_back(b);
    if (b == kIac) out.push_back(kIac);
  }
}

void TelnetCodec::Decode(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& data,
                         std::vector<std::uint8_t>& reply) {
  for (std::uint8_t b : in) {
    switch (state_) {
      case State::kData:
        if (b == kIac) {
          state_ = State::kIac;
        } else if (taking_data_) {
          data.push_back(b);
        }
        break;
      case State::kIac:
        if (b == kIac) {
          if (taking_data_) data.push_back(b);
          state_ = State::kData;
        } else if (b >= kWill && b <= kDont) {
          verb_ = b;
          state_ = State::kOption;
        } else if (b == kSb) {
          sb_.clear();
          sb_overflow_ = false;
          state_ = State::kSb;
        } else {
          state_ = State::kData;  // NOP, GA and the like, or an unknown command: nothing to do
        }
        break;
      case State::kOption:
        Negotiate(verb_, b, reply);
        state_ = State::kData;
        break;
      case State::kSb:
        if (b == kIac) {
          state_ = State::kSbIac;
        } else if (sb_.size() < kSbLimit) {
          sb_.push_back(b);
        } else {
          sb_overflow_ = true;
        }
        break;
      case State::kSbIac:
        if (b == kIac) {
          if (sb_.size() < kSbLimit) sb_.push_back(b);
          state_ = State::kSb;
        } else if (b == kSe) {
          if (!sb_overflow_) Subnegotiation(reply);
          state_ = State::kData;
        } else {
          // A command inside a subnegotiation: the server lost its place; the subnegotiation
          // is dropped and the command read as one.
          state_ = State::kIac;
          Decode(std::span(&b, 1), data, reply);
        }
        break;
    }
  }
}

void TelnetCodec::Negotiate(std::uint8_t verb, std::uint8_t option,
                            std::vector<std::uint8_t>& reply) {
  const bool wanted_us = option == kComPort || option == kBinary || option == kSuppressGoAhead;
  const bool wanted_him = option == kBinary || option == kSuppressGoAhead;
  Option& o = options_[option];
  const auto send = [&](std::uint8_t v) { Append(reply, {kIac, v, option}); };
  switch (verb) {
    case kWill:  // the server offers to do it
      if (wanted_him) {
        if (!o.him && !asked_him_[option]) send(kDo);
        o.him = true;
      } else {
        send(kDont);
      }
      asked_him_[option] = false;
      break;
    case kWont:
      if (o.him && !asked_him_[option]) send(kDont);
      o.him = false;
      asked_him_[option] = false;
      break;
    case kDo:  // the server asks us to do it
      if (wanted_us) {
        const bool was = o.us;
        if (!o.us && !asked_us_[option]) send(kWill);
        o.us = true;
        if (option == kComPort && !was) {
          com_port_ = ComPort::kAccepted;
          SendSettings(reply);
        }
      } else {
        send(kWont);
      }
      asked_us_[option] = false;
      break;
    case kDont:
      if (o.us && !asked_us_[option]) send(kWont);
      o.us = false;
      asked_us_[option] = false;
      if (option == kComPort) {
        com_port_ = ComPort::kRefused;
        taking_data_ = true;  // no purge will come
      }
      break;
    default:
      break;
  }
}

void TelnetCodec::SendSettings(std::vector<std::uint8_t>& reply) {
  const auto command = [&](std::uint8_t code, std::initializer_list<std::uint8_t> value) {
    Append(reply, {kIac, kSb, kComPort, code});
    for (std::uint8_t b : value)
      Encode(std::span(&b, 1), reply);
    Append(reply, {kIac, kSe});
  };
  command(kSetBaudRate,
          {static_cast<std::uint8_t>(kBaud >> 24), static_cast<std::uint8_t>(kBaud >> 16),
           static_cast<std::uint8_t>(kBaud >> 8), static_cast<std::uint8_t>(kBaud)});
  command(kSetDataSize, {8});
  command(kSetParity, {1});    // none
  command(kSetStopSize, {1});  // one
  command(kSetControl, {1});   // no flow control
  command(kPurgeData, {3});    // both queues
}

void TelnetCodec::Subnegotiation(std::vector<std::uint8_t>&) {
  // Only the COM port option's answers matter: code + 100, then the value.
  if (sb_.size() < 2 || sb_[0] != kComPort || sb_[1] < 100) return;
  const std::uint8_t command = static_cast<std::uint8_t>(sb_[1] - 100);
  if (command >= answers_.size()) return;  // notifications of line and modem state
  std::uint32_t value = 0;
  for (std::size_t i = 2; i < sb_.size() && i < 6; ++i)
    value = value << 8 | sb_[i];
  answers_[command] = value;
  if (command == kPurgeData) {
    purged_ = true;
    taking_data_ = true;
  }
}

// The channel ---------------------------------------------------------------------------------

NetworkChannel::NetworkChannel() : socket_(std::make_unique<NetSocket>()) {}

NetworkChannel::~NetworkChannel() = default;

bool NetworkChannel::Open(std::uint8_t, std::int32_t) {
  error_ = "a network port has no COM number";
  return false;
}

bool NetworkChannel::OpenUrl(const NetworkUrl& url, const WaitInterrupt* stop) {
  Close();
  const std::string server =
      (url.host.find(':') != std::string::npos ? "[" + url.host + "]" : url.host) + " port " +
      std::to_string(url.port);
  std::string why;
  const auto now = NetSocket::Clock::now();
  switch (socket_->Connect(url.host, url.port, now + kConnectTime, stop, &why)) {
    case NetSocket::Connected::kYes:
      break;
    case NetSocket::Connected::kInterrupted:
      error_ = "Interrupted while connecting to " + server;
      return false;
    case NetSocket::Connected::kNo:
      error_ = server + " " + why + ". Check that the serial server runs and listens there.";
      return false;
  }
  lost_ = false;
  data_.clear();
  if (url.scheme == NetworkUrl::Scheme::kSocket) {
    // No purge to ask for: what the server hands over at once is from before the open.
    const auto until = NetSocket::Clock::now() + kSettleTime;
    for (;;) {
      std::vector<std::uint8_t> before;
      if (!socket_->Receive(before)) {
        Close();
        error_ = server + " closed the connection. Check that its serial " +
                 "device is there and not in use.";
        return false;
      }
      const WaitResult r = socket_->Wait(until, stop);
      if (r == WaitResult::kInterrupted) {
        Close();
        error_ = "Interrupted while connecting to " + server;
        return false;
      }
      if (r == WaitResult::kTimeout) return true;
    }
  }
  codec_.emplace();
  const auto offers = codec_->Start();
  bool up = socket_->Send(offers);
  const auto until = NetSocket::Clock::now() + kSetupTime;
  // Read before every wait: Winsock tells of bytes once, and the connect's wait may have taken
  // that word for the server's first ones.
  for (;;) {
    Pump();
    up = up && !lost_;
    if (!up || codec_->taking_data()) break;
    const WaitResult r = socket_->Wait(until, stop);
    if (r == WaitResult::kInterrupted) {
      Close();
      error_ = "Interrupted while setting up the line at " + server;
      return false;
    }
    if (r == WaitResult::kTimeout) break;
  }
  if (!up) {
    Close();
    error_ = server + " closed the connection. Check that its serial device " +
             "is there and not in use.";
    return false;
  }
  codec_->TakeDataNow();  // unconfirmed: the settings stay sent
  return true;
}

bool NetworkChannel::IsOpen() const {
  return socket_->IsOpen();
}

int NetworkChannel::Descriptor() const {
  return socket_->Descriptor();
}

void NetworkChannel::Pump() {
  if (lost_ || !socket_->IsOpen()) return;
  std::vector<std::uint8_t> raw;
  const bool up = socket_->Receive(raw);
  if (codec_) {
    std::vector<std::uint8_t> reply;
    codec_->Decode(raw, data_, reply);
    if (!reply.empty() && !socket_->Send(reply)) lost_ = true;
  } else {
    data_.insert(data_.end(), raw.begin(), raw.end());
  }
  if (!up) lost_ = true;
}

bool NetworkChannel::Ready() {
  Pump();
  return !data_.empty() || lost_;
}

std::intptr_t NetworkChannel::BeginWait() {
  return socket_->IsOpen() ? socket_->WaitObject() : -1;
}

bool NetworkChannel::EndWait(bool woken) {
  if (woken) socket_->Rearm();
  return Ready();
}

WaitResult NetworkChannel::WaitReadable(std::chrono::steady_clock::time_point deadline,
                                        const WaitInterrupt& stop) {
  for (;;) {
    if (stop.Raised()) return WaitResult::kInterrupted;
    if (Ready()) return WaitResult::kReady;
    const WaitResult r = socket_->Wait(deadline, &stop);
    if (r != WaitResult::kReady) return r;
    socket_->Rearm();
  }
}

PortChannel::ReadResult NetworkChannel::ReadWaiting(std::vector<std::uint8_t>& out) {
  Pump();
  out.insert(out.end(), data_.begin(), data_.end());
  data_.clear();
  return lost_ ? ReadResult::kLost : ReadResult::kOk;
}

bool NetworkChannel::Write(std::span<const std::uint8_t> data) {
  if (lost_ || !socket_->IsOpen()) return false;
  bool sent;
  if (codec_) {
    std::vector<std::uint8_t> wire;
    wire.reserve(data.size() + 8);
    TelnetCodec::Encode(data, wire);
    sent = socket_->Send(wire);
  } else {
    sent = socket_->Send(data);
  }
  if (!sent) lost_ = true;
  return sent;
}

void NetworkChannel::Close() {
  socket_->Close();
  codec_.reset();
  data_.clear();
  lost_ = false;
}

}  // namespace pelkar
