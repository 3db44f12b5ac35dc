// The files a web page's person hands over and takes back. The page has no file system of its
// own: a file chosen in the browser's picker (or dropped on the page) is placed in a folder of
// its own under root, where the core reads it as it would read any file; whatever the core
// writes there beside it (an encoded image) is handed back as a download and removed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pelkar {

class PageFiles {
 public:
  struct Output {
    std::string name;  // the file's name, without its folder (UTF-8)
    std::vector<std::uint8_t> bytes;
  };

  explicit PageFiles(std::filesystem::path root);

  // Places a chosen file and returns its path (UTF-8). A name with a folder in it, or none
  // at all, keeps only what a file name may be. Throws std::filesystem::filesystem_error.
  std::string Place(std::string_view name, std::span<const std::uint8_t> bytes);
  // Every file written under root since that is not a placed one, in name order, each
  // removed once taken; hidden files (a writer's work in progress) are left alone.
  std::vector<Output> TakeOutputs();

 private:
  std::filesystem::path root_;
  std::set<std::filesystem::path> placed_;
  unsigned next_ = 0;
};

}  // namespace pelkar
