// Build tool: writes the program's icon as <dir>/<size>.png for each size given, and with
// "ico" as <dir>/Pelkar1_Update.ico (16, 32 and 48 pixels) for the Windows build.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <QString>

#include "app/app_icon.h"

namespace {

void Put16(std::vector<char>& out, unsigned value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

void Put32(std::vector<char>& out, std::uint32_t value) {
  Put16(out, value & 0xFFFF);
  Put16(out, value >> 16);
}

// One icon image as an ICO holds it: a 32-bit bitmap, bottom row first, then the mask.
std::vector<char> IconImage(int size) {
  const QImage image = pelkar::DrawAppIcon(size).convertToFormat(QImage::Format_ARGB32);
  const int mask_stride = ((size + 31) / 32) * 4;
  std::vector<char> out;
  Put32(out, 40);
  Put32(out, static_cast<std::uint32_t>(size));
  Put32(out, static_cast<std::uint32_t>(2 * size));  // the colour rows and the mask's
  Put16(out, 1);
  Put16(out, 32);
  Put32(out, 0);
  Put32(out, static_cast<std::uint32_t>(size * size * 4 + mask_stride * size));
  for (int i = 0; i < 4; ++i)
    Put32(out, 0);
  for (int y = size - 1; y >= 0; --y) {
    const auto* row = reinterpret_cast<const char*>(image.constScanLine(y));
    out.insert(out.end(), row, row + size * 4);  // B, G, R, A in memory
  }
  for (int y = size - 1; y >= 0; --y) {
    std::vector<char> bits(static_cast<std::size_t>(mask_stride), 0);
    for (int x = 0; x < size; ++x) {
      if (qAlpha(image.pixel(x, y)) == 0)
        bits[static_cast<std::size_t>(x / 8)] |= static_cast<char>(0x80 >> (x % 8));
    }
    out.insert(out.end(), bits.begin(), bits.end());
  }
  return out;
}

bool WriteIco(const std::string& path) {
  const int sizes[] = {16, 32, 48};
  std::vector<std::vector<char>> images;
  for (int size : sizes)
    images.push_back(IconImage(size));
  std::vector<char> out;
  Put16(out, 0);
  Put16(out, 1);  // an icon
  Put16(out, static_cast<unsigned>(images.size()));
  std::uint32_t offset = static_cast<std::uint32_t>(6 + 16 * images.size());
  for (std::size_t i = 0; i < images.size(); ++i) {
    out.push_back(static_cast<char>(sizes[i]));
    out.push_back(static_cast<char>(sizes[i]));
    out.push_back(0);  // no palette
    out.push_back(0);
    Put16(out, 1);
    Put16(out, 32);
    Put32(out, static_cast<std::uint32_t>(images[i].size()));
    Put32(out, offset);
    offset += static_cast<std::uint32_t>(images[i].size());
  }
  for (const auto& image : images)
    out.insert(out.end(), image.begin(), image.end());
  std::ofstream file(path, std::ios::binary);
  file.write(out.data(), static_cast<std::streamsize>(out.size()));
  return static_cast<bool>(file);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: pelkar_app_icon_writer DIR SIZE|ico...\n";
    return 2;
  }
  for (int i = 2; i < argc; ++i) {
    if (std::string(argv[i]) == "ico") {
      const std::string path = std::string(argv[1]) + "/Pelkar1_Update.ico";
      if (!WriteIco(path)) {
        std::cerr << "pelkar_app_icon_writer: can't write " << path << "\n";
        return 1;
      }
      continue;
    }
    const int size = std::atoi(argv[i]);
    const QString path = QString::fromLocal8Bit(argv[1]) + '/' + QString::number(size) + ".png";
    if (size <= 0 || !pelkar::DrawAppIcon(size).save(path, "PNG")) {
      std::cerr << "pelkar_app_icon_writer: can't write " << path.toStdString() << "\n";
      return 1;
    }
  }
  return 0;
}
