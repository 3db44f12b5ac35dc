#include "dialogs/page_files.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <system_error>

namespace pelkar {
namespace {

std::filesystem::path FromUtf8(std::string_view text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string ToUtf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// What the browser calls a file may be anything; only its last part names a file here.
std::string FileNamePart(std::string_view name) {
  const auto slash = name.find_last_of("/\\");
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  if (name.empty() || name == "." || name == "..") return "file";
  return std::string(name);
}

bool IsTemporary(const std::filesystem::path& path) {
  // A writer's work file (a hidden name beside its target) is not an output.
  return ToUtf8(path.filename()).starts_with(".");
}

}  // namespace

PageFiles::PageFiles(std::filesystem::path root) : root_(std::move(root)) {}

std::string PageFiles::Place(std::string_view name, std::span<const std::uint8_t> bytes) {
  // A folder per file: two files of one name never meet, and outputs land beside theirs.
  const std::filesystem::path folder = root_ / std::to_string(++next_);
  std::filesystem::create_directories(folder);
  const std::filesystem::path path = folder / FromUtf8(FileNamePart(name));
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
      throw std::filesystem::filesystem_error("cannot place the file", path,
                                              std::make_error_code(std::errc::io_error));
    }
  }
  placed_.insert(path);
  return ToUtf8(path);
}

std::vector<PageFiles::Output> PageFiles::TakeOutputs() {
  std::vector<std::filesystem::path> found;
  std::error_code ec;
  if (!std::filesystem::exists(root_, ec)) return {};
  for (auto it = std::filesystem::recursive_directory_iterator(root_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_regular_file(ec) || placed_.count(it->path()) || IsTemporary(it->path())) continue;
    found.push_back(it->path());
  }
  std::sort(found.begin(), found.end());
  std::vector<Output> outputs;
  for (const auto& path : found) {
    {
      // Closed before the removal: an open file cannot be removed on every system.
      std::ifstream in(path, std::ios::binary);
      Output output{ToUtf8(path.filename()), {std::istreambuf_iterator<char>(in), {}}};
      if (!in.bad()) outputs.push_back(std::move(output));
    }
    std::filesystem::remove(path, ec);
  }
  return outputs;
}

}  // namespace pelkar
