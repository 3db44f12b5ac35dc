#include "dialogs/dialog_conversions.h"

#include <algorithm>
#include <limits>

namespace pelkar {
namespace {

std::vector<std::string_view> SplitOn(std::string_view text, char sep) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find(sep, start);
    if (end == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

bool FitsInt32(std::int64_t v) {
  return v >= std::numeric_limits<std::int32_t>::min() &&
         v <= std::numeric_limits<std::int32_t>::max();
}

}  // namespace

std::string StoreFilter(std::string_view text) {
  std::string stored(text);
  std::replace(stored.begin(), stored.end(), '|', '\0');
  stored.push_back('\0');
  return stored;
}

std::string ReadFilter(std::string_view stored) {
  std::string text(stored);
  std::replace(text.begin(), text.end(), '\0', '|');
  return text;
}

std::vector<std::string> QtNameFilters(std::string_view stored) {
  std::vector<std::string> filters;
  // The list is read as the platform reads a double-NUL list: fields until an empty one.
  std::vector<std::string_view> fields = SplitOn(stored, '\0');
  const auto end = std::find(fields.begin(), fields.end(), std::string_view{});
  fields.erase(end, fields.end());
  for (std::size_t i = 0; i + 1 < fields.size(); i += 2) {
    std::string patterns(fields[i + 1]);
    std::replace(patterns.begin(), patterns.end(), ';', ' ');
    filters.push_back(std::string(fields[i]) + " (" + patterns + ")");
  }
  return filters;
}

std::string BrowserAccept(std::string_view stored) {
  std::vector<std::string_view> fields = SplitOn(stored, '\0');
  fields.erase(std::find(fields.begin(), fields.end(), std::string_view{}), fields.end());
  std::vector<std::string> extensions;
  for (std::size_t i = 1; i < fields.size(); i += 2) {
    for (std::string_view pattern : SplitOn(fields[i], ';')) {
      while (!pattern.empty() && pattern.front() == ' ')
        pattern.remove_prefix(1);
      while (!pattern.empty() && pattern.back() == ' ')
        pattern.remove_suffix(1);
      if (pattern == "*" || pattern == "*.*") return {};
      if (!pattern.starts_with("*.")) continue;
      std::string extension(pattern.substr(1));
      // A picker takes an extension literally: a wildcard in it would match nothing.
      if (extension.find_first_of("*?[]/\\ ,") != std::string::npos) continue;
      if (std::find(extensions.begin(), extensions.end(), extension) == extensions.end())
        extensions.push_back(std::move(extension));
    }
  }
  std::string accept;
  for (const std::string& extension : extensions)
    accept += (accept.empty() ? "" : ",") + extension;
  return accept;
}

std::string DefaultExtension(std::string_view stored) {
  const std::vector<std::string_view> fields = SplitOn(stored, '\0');
  if (fields.size() < 2) return {};
  std::string_view pattern = SplitOn(fields[1], ';').front();
  while (!pattern.empty() && pattern.front() == ' ')
    pattern.remove_prefix(1);
  while (!pattern.empty() && pattern.back() == ' ')
    pattern.remove_suffix(1);
  if (pattern.starts_with("*.")) {
    pattern.remove_prefix(2);
  } else if (pattern.starts_with(".")) {
    pattern.remove_prefix(1);
  }
  if (pattern.find_first_of("*?[]/\\ ") != std::string_view::npos) return {};
  return std::string(pattern);
}

std::string UpToNul(std::string_view text) {
  return std::string(text.substr(0, text.find('\0')));
}

std::optional<std::int32_t> FontHeightFromSize(std::int32_t size) {
  const std::int64_t scaled = std::int64_t{size} * 96;
  if (!FitsInt32(scaled)) return std::nullopt;
  // Nearest integer; size * 4 / 3 never ends in exactly one half.
  const std::int64_t height = scaled >= 0 ? (scaled + 36) / 72 : -((-scaled + 36) / 72);
  return static_cast<std::int32_t>(height);
}

std::optional<std::int32_t> PointSizeTenthsFromSize(std::int32_t size) {
  const std::int64_t tenths = std::int64_t{size} * 10;
  if (!FitsInt32(tenths)) return std::nullopt;
  return static_cast<std::int32_t>(tenths);
}

std::int32_t SizeFromPointSizeTenths(std::int32_t tenths) {
  std::int64_t q = tenths / 10;
  std::int64_t r = tenths % 10;
  if (r < 0) {  // floor division, so 0 <= r < 10
    q -= 1;
    r += 10;
  }
  if (r > 5 || (r == 5 && q % 2 != 0)) q += 1;
  return static_cast<std::int32_t>(q);
}

std::int32_t WeightFromBold(std::uint8_t bold) {
  return bold == kBoldTrue ? kWeightBold : kWeightNormal;
}

std::uint8_t BoldFromWeight(std::int32_t weight) {
  return weight == kWeightBold ? kBoldTrue : std::uint8_t{0};
}

std::optional<std::uint8_t> CharSetByte(std::int32_t charset) {
  if (charset < 0 || charset > 255) return std::nullopt;
  return static_cast<std::uint8_t>(charset);
}

std::string FaceNameField(std::string_view name) {
  name = name.substr(0, name.find('\0'));
  if (name.size() <= kFaceNameMaxBytes) return std::string(name);
  const auto continuation = [&](std::size_t i) {
    return (static_cast<unsigned char>(name[i]) & 0xC0u) == 0x80u;
  };
  // Step back to the start of the character the cut would split; a UTF-8 character has at
  // most 3 continuation bytes, so longer runs are not UTF-8 and are cut where they are.
  std::size_t cut = kFaceNameMaxBytes;
  while (cut > kFaceNameMaxBytes - 3 && continuation(cut))
    --cut;
  if (continuation(cut)) cut = kFaceNameMaxBytes;
  return std::string(name.substr(0, cut));
}

}  // namespace pelkar
