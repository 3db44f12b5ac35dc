#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "firmware/crc.h"
#include "firmware/image.h"
#include "firmware_input.h"
#include "output.h"

namespace pelkar::cli {

namespace {

int Info(const std::string& path, bool json, Io io) {
  const FirmwareInput input = LoadFirmware(path);
  const FirmwareImage& image = input.image;
  const auto wire = CrcWireBytes(image.crc);
  if (json) {
    nlohmann::ordered_json j;
    j["file"] = path;
    j["format"] = input.from_hex ? "intel-hex" : "image";
    j["file_sha256"] = input.file_sha256;
    j["size"] = image.bytes.size();
    j["blocks"] = image.bytes.size() / kBlockSize;
    j["image_sha256"] = input.image_sha256;
    j["image_crc"] = image.crc;
    j["crc_bytes"] = std::vector<int>(wire.begin(), wire.end());
    io.out << DumpJson(j, 2) << std::endl;
    return kOk;
  }
  char bytes[32];
  std::snprintf(bytes, sizeof bytes, "%02X %02X %02X %02X", wire[0], wire[1], wire[2], wire[3]);
  io.out << "File:       " << Shown(path) << "\n";
  if (input.from_hex) io.out << "Format:     Intel HEX, encoded in memory as `encode` does\n";
  io.out << "Size:       " << image.bytes.size() << " bytes\n"
         << "Blocks:     " << image.bytes.size() / kBlockSize << " of 256 bytes\n"
         << "Image CRC:  " << image.crc << " (sent as " << bytes << ")\n"
         << "SHA-256:    " << input.image_sha256 << " (image)" << std::endl;
  return kOk;
}

}  // namespace

Command InfoCommand(CLI::App& app, Io io) {
  auto image = std::make_shared<std::string>();
  auto json = std::make_shared<bool>(false);
  auto* sub = app.add_subcommand("info", "Show an image file's size, blocks and checksum");
  sub->add_option("IMAGE", *image, "Image file, or an Intel HEX build (encoded in memory)")
      ->required();
  sub->add_flag("--json", *json, "Print a JSON object");
  return {sub, [=] { return Info(*image, *json, io); }};
}

}  // namespace pelkar::cli
