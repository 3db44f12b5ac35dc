// A serial port on a network serial server (a device server in the rack, or ser2net on a small
// Linux box), behind PortChannel, on POSIX sockets and on Winsock.
//
//   rfc2217://HOST:PORT  Telnet with the COM port control option (RFC 2217): open sets 115200
//                        baud, 8 data bits, no parity, one stop bit, no flow control, and purges
//                        both of the server's queues; the data's IAC bytes (255) are doubled
//                        going out and undone coming in.
//   socket://HOST:PORT   raw TCP: the bytes as they are, the line set up at the server.
//
// HOST is a name, an IPv4 address or a bracketed IPv6 address ("[::1]"). Nagle's delay is off,
// since the device's answers and the host's requests are a few bytes each.
//
// Open is bounded: the connect gives up after kConnectTime, and the RFC 2217 set-up waits at
// most kSetupTime for the server's answers (a server that never confirms a setting does not
// stall the update; the commands stay sent). Both end at once when the stop is raised.
//
// What open does about bytes from before it: with rfc2217 every byte that arrives before the
// server confirms the purge is dropped, in stream order, so that the first byte taken is one
// the device sent after the purge; when the server refuses the COM port option or never
// confirms, the bytes from kSetupTime on are taken. socket:// has no purge command: open drops
// what the server sends within kSettleTime of the connect (ser2net opens the device at the
// connect and hands over at once what waited in it), and takes what comes after as the
// device's. Older bytes a slower server sends later still get through; the update asks the
// operator to reset the unit only once every port is open, so its hello comes after.
//
// A connection the server closes or resets is a lost port. Not thread-safe; one owner at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "serial/port_channel.h"

namespace pelkar {

struct NetworkUrl {
  enum class Scheme { kRfc2217, kSocket };
  Scheme scheme = Scheme::kRfc2217;
  std::string host;  // without the brackets of an IPv6 address
  std::uint16_t port = 0;

  // The URL in one spelling: scheme and host in lower case, an IPv6 host in brackets.
  std::string Text() const;
};

// True when text is meant as a network port: it has a "://".
bool LooksLikeNetworkUrl(std::string_view text);
// The URL text names; nothing when it is malformed, with *why saying what is wrong ("no host",
// "no port", ...).
std::optional<NetworkUrl> ParseNetworkUrl(std::string_view text, std::string* why);

// Telnet as RFC 2217 needs it, without any I/O: what to send, and what the server's bytes hold.
// It offers COM-PORT-OPTION (WILL 44), BINARY both ways and SUPPRESS-GO-AHEAD both ways, and
// refuses every other option (DONT to a WILL, WONT to a DO). Once the server agrees to the COM
// port option it sends the line settings and the purge. Bytes may be fed in any pieces: an IAC
// sequence split across reads is completed by the next.
class TelnetCodec {
 public:
  static constexpr std::uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251,
                                kSb = 250, kSe = 240;
  static constexpr std::uint8_t kBinary = 0, kSuppressGoAhead = 3, kComPort = 44;
  // The COM port option's client commands; the server answers each with its code + 100.
  static constexpr std::uint8_t kSetBaudRate = 1, kSetDataSize = 2, kSetParity = 3,
                                kSetStopSize = 4, kSetControl = 5, kPurgeData = 12;
  static constexpr std::uint32_t kBaud = 115200;

  enum class ComPort { kOffered, kAccepted, kRefused };

  // The offers that open the connection.
  std::vector<std::uint8_t> Start();
  // Takes the server's bytes: data goes to data (after the purge is confirmed, or once
  // TakeDataNow() was called), what to answer goes to reply.
  void Decode(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& data,
              std::vector<std::uint8_t>& reply);
  // Appends data with every IAC doubled.
  static void Encode(std::span<const std::uint8_t> data, std::vector<std::uint8_t>& out);
  // The server will not confirm the purge: take data from here on.
  void TakeDataNow() noexcept { taking_data_ = true; }

  ComPort com_port() const noexcept { return com_port_; }
  bool purged() const noexcept { return purged_; }
  bool taking_data() const noexcept { return taking_data_; }
  // The server's answers to the settings, by command (index: the command's code).
  const std::optional<std::uint32_t>& answer(std::uint8_t command) const {
    return answers_.at(command);
  }

 private:
  enum class State { kData, kIac, kOption, kSb, kSbIac };
  struct Option {
    bool us = false;   // we do it (WILL agreed)
    bool him = false;  // the server does it (DO agreed)
  };

  void Negotiate(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& reply);
  void Subnegotiation(std::vector<std::uint8_t>& reply);
  void SendSettings(std::vector<std::uint8_t>& reply);

  State state_ = State::kData;
  std::uint8_t verb_ = 0;
  std::vector<std::uint8_t> sb_;
  bool sb_overflow_ = false;
  Option options_[256]{};
  bool asked_us_[256]{};   // we sent WILL and wait for the answer
  bool asked_him_[256]{};  // we sent DO and wait for the answer
  ComPort com_port_ = ComPort::kOffered;
  bool purged_ = false;
  bool taking_data_ = false;
  std::vector<std::optional<std::uint32_t>> answers_ =
      std::vector<std::optional<std::uint32_t>>(13);
};

class NetSocket;  // the connection as the system knows it

class NetworkChannel final : public PortChannel {
 public:
  static constexpr auto kConnectTime = std::chrono::seconds(3);
  static constexpr auto kSetupTime = std::chrono::milliseconds(1000);
  static constexpr auto kSettleTime = std::chrono::milliseconds(100);

  NetworkChannel();
  NetworkChannel(const NetworkChannel&) = delete;
  NetworkChannel& operator=(const NetworkChannel&) = delete;
  ~NetworkChannel() override;

  // A network port has no COM number: always false.
  bool Open(std::uint8_t number, std::int32_t baud) override;
  // Connects and sets the line up (see above); false when it cannot, with LastError() saying
  // why in one sentence that names the host and port. stop ends the connect and the set-up.
  bool OpenUrl(const NetworkUrl& url, const WaitInterrupt* stop = nullptr);
  bool IsOpen() const override;
  // POSIX: the socket; -1 when closed and on Windows.
  int Descriptor() const override;
  WaitResult WaitReadable(std::chrono::steady_clock::time_point deadline,
                          const WaitInterrupt& stop) override;
  ReadResult ReadWaiting(std::vector<std::uint8_t>& out) override;
  bool Write(std::span<const std::uint8_t> data) override;
  void Close() override;

  // A wait wakes on the socket's descriptor (POSIX) or its network event (Windows). A wake-up
  // that brought only Telnet leaves the channel not Ready().
  bool Ready() override;
  std::intptr_t BeginWait() override;
  bool EndWait(bool woken) override;

  const std::string& LastError() const noexcept { return error_; }
  // The Telnet side's state, for tests; null for socket:// and while closed.
  const TelnetCodec* codec() const noexcept { return codec_ ? &*codec_ : nullptr; }

 private:
  // Takes what the socket holds now: data into data_, the Telnet answers sent at once.
  void Pump();

  std::unique_ptr<NetSocket> socket_;
  std::optional<TelnetCodec> codec_;
  std::vector<std::uint8_t> data_;  // decoded, not yet read
  bool lost_ = false;
  std::string error_;
};

}  // namespace pelkar
