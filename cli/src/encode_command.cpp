#include <memory>

#include "commands.h"
#include "files/files.h"
#include "firmware/encoder.h"
#include "firmware/image.h"
#include "hex/intel_hex.h"
#include "output.h"

namespace pelkar::cli {

std::string Shown(const std::string& path) {
  return Printable(path);
}

namespace {

int Encode(const std::string& hex_path, const std::string& out_option, Io io) {
  const std::filesystem::path hex = Utf8Path(hex_path);
  const std::filesystem::path out =
      out_option.empty() ? EncodedImagePath(hex) : Utf8Path(out_option);
  const std::filesystem::path inputs[] = {hex};
  std::vector<std::uint8_t> image;
  try {
    CheckOutput(out, inputs);  // refused before the work, not after it
    image = EncodeHex(ReadHexFile(hex));
  } catch (const HexError& e) {
    throw Failure{kBadInput, Shown(hex_path) + ": " + e.what() + ". Nothing was written."};
  } catch (const EncodeError& e) {
    throw Failure{kBadInput, Shown(hex_path) + ": " + e.what() + " Nothing was written."};
  }
  WriteFileAtomically(out, image, inputs, Durability::Synced);  // it goes into devices
  io.out << "Wrote " << Shown(Utf8(out)) << " (" << image.size() << " bytes, image checksum "
         << ImageCrc(image) << ")" << std::endl;
  return kOk;
}

}  // namespace

Command EncodeCommand(CLI::App& app, Io io) {
  auto in = std::make_shared<std::string>();
  auto out = std::make_shared<std::string>();
  auto* sub = app.add_subcommand("encode", "Turn an Intel HEX build into an image file");
  sub->add_option("FIRMWARE", *in, "Intel HEX file")->required();
  sub->add_option("-o,--output", *out, "Image file to write (default: beside it, .bin)");
  return {sub, [=] { return Encode(*in, *out, io); }};
}

}  // namespace pelkar::cli
