// A real pseudo-terminal for tests: the test holds the master side, the code under test
// opens the slave path as its serial port.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace pelkar::test {

class Pty {
 public:
  Pty();
  ~Pty();
  const std::string& path() const { return path_; }
  int master() const { return master_; }
  void Write(const std::vector<std::uint8_t>& bytes);
  // Reads until n bytes have come or the time is up.
  std::vector<std::uint8_t> Read(std::size_t n,
                                 std::chrono::milliseconds within = std::chrono::seconds(2));
  void CloseMaster();

 private:
  int master_ = -1;
  std::string path_;
};

}  // namespace pelkar::test
