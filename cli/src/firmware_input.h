// What `update` and `info` take: an image file as `encode` writes it, or an Intel HEX build
// encoded in memory by the same rules, never written to disk.
#pragma once

#include <span>
#include <string>

#include "firmware/image.h"

namespace pelkar::cli {

struct FirmwareInput {
  FirmwareImage image;
  bool from_hex = false;
  std::string file_sha256;   // of the file as read: the HEX text, or the image itself
  std::string image_sha256;  // of the bytes sent to the device
};

// True for Intel HEX text: a name ending in .hex, .ihx or .ihex (any case), or content whose
// first byte past blanks and line ends is ':' and whose head is plain text. An image file
// holds scrambled bytes, so it never passes for text.
bool IsHexInput(const std::string& name, std::span<const char> head);

// Reads path (UTF-8). Throws Failure (kBadInput) with one line that names the file and, for
// HEX, the line and the reason.
FirmwareInput LoadFirmware(const std::string& path);

}  // namespace pelkar::cli
