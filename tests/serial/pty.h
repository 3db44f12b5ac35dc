// A real pseudo-terminal for tests: the test holds the master side, the code under test opens
// path() as its serial port.
//
// Under Wine the pseudo-terminal lives on the Linux side: the test program runs under
// pty_peer, which makes one for every Pty, links it into the Wine prefix as a COM port and
// does what the test asks of the master side.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace pelkar::test {

// The line as the master side sees the terminal's settings.
struct LineSettings {
  unsigned baud = 0;
  unsigned data_bits = 0;
  bool parity = false;
  bool two_stop_bits = false;
  bool xon_xoff = false;  // either direction
  bool raw = false;       // no line editing, echo, signals or output processing
  bool operator==(const LineSettings&) const = default;
};

// Descriptors (on Windows handles) this process holds now.
std::size_t OpenHandleCount();
// Something that opens like a device but is no serial port: /dev/null, or \\.\NUL.
std::string NotAPort();
// Whether a second open of a port this process holds is refused. Wine shares a COM port's
// device with every open in the process whatever the share mode (Windows itself refuses).
bool RefusesASecondOpenInProcess();

class Pty {
 public:
  Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
  ~Pty();

  // What SerialComm::OpenPath opens: /dev/pts/N, or \\.\COMn under Wine.
  const std::string& path() const { return path_; }
  void Write(const std::vector<std::uint8_t>& bytes);
  // Reads until n bytes have come or the time is up.
  std::vector<std::uint8_t> Read(std::size_t n,
                                 std::chrono::milliseconds within = std::chrono::seconds(2));
  // The terminal goes away under whoever has it open.
  void CloseMaster();
  LineSettings Settings();
  // 9600 baud, two stop bits and XON/XOFF both ways, as an earlier program might leave a port.
  void LeaveForeignSettings();
  // The master side's descriptor; POSIX only.
  int master() const;

 private:
  struct Far;  // the master side: a descriptor, or the connection to pty_peer
  std::unique_ptr<Far> far_;
  std::string path_;
};

}  // namespace pelkar::test
