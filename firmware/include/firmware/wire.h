// What the boot loader and the host say to each other on the line, and the line itself. Every
// other part takes these from here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pelkar {

constexpr std::int32_t kBaudRate = 115200;  // the boot loader's fixed line speed, 8N1
constexpr std::size_t kBlockSize = 256;     // bytes a block request asks for

namespace wire {
constexpr std::uint8_t kDeviceHello = 10;   // device: opens the exchange
constexpr std::uint8_t kHostHello = 11;     // host: answers the hello, once
constexpr std::uint8_t kBlockRequest = 12;  // device: send the next block
constexpr std::uint8_t kCrcRequest = 13;    // device: send the checksum
constexpr std::uint8_t kUpdateFailed = 14;  // device: the update failed
constexpr std::uint8_t kUpdateDone = 15;    // device: the update succeeded
}  // namespace wire

}  // namespace pelkar
