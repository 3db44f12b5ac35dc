// Pure conversions between WinDialog's property values and what its dialogs are given and
// give back. Text is UTF-8 std::string on every system.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelkar {

// --- File side ------------------------------------------------------------------------

// "a|b|c" -> "a\0b\0c\0": every "|" becomes NUL and one more NUL goes at the end, which
// with the string's own terminator is a double-NUL-terminated filter list.
std::string StoreFilter(std::string_view text);

// The stored form read back: every NUL becomes "|" (so "*.bin|*.bin" reads "*.bin|*.bin|").
std::string ReadFilter(std::string_view stored);

// The stored filter list as Qt name filters, one per (description, pattern) entry in order,
// so FilterIndex n is element n-1. The list ends at the first empty field, as a
// double-NUL list does; a description without a pattern is dropped. A pattern field may
// hold several patterns separated by ";". "*.bin\0*.bin\0" -> {"*.bin (*.bin)"};
// "Images\0*.bin;*.img\0" -> {"Images (*.bin *.img)"}. Empty stored form -> no filters.
std::vector<std::string> QtNameFilters(std::string_view stored);

// The stored filter list as a browser file picker's accept list: the file name extensions of
// every entry's patterns, comma-separated and without repeats ("*.bin\0*.bin\0" -> ".bin").
// Empty when any pattern takes every name ("*", "*.*") or none is a plain "*.ext": the
// picker then offers every file.
std::string BrowserAccept(std::string_view stored);

// The default extension of a save: the second "|"-field of the filter (the first entry's
// pattern), its first ";"-separated pattern without a leading "*." : "*.bin" -> "bin".
// Empty when the filter has fewer than two fields or the pattern leaves no plain extension
// ("*", "*.*", "*.b?n").
std::string DefaultExtension(std::string_view stored);

// Text up to, not including, its first NUL (how the dialogs read a C string).
std::string UpToNul(std::string_view text);

// --- Font side --------------------------------------------------------------------------

inline constexpr std::int32_t kWeightNormal = 400;
inline constexpr std::int32_t kWeightBold = 700;
inline constexpr std::uint8_t kBoldTrue = 255;
inline constexpr std::size_t kFaceNameMaxBytes = 31;  // 32-byte field less its terminator

// Cell height in pixels at 96 dpi for a size in points: size * 96 / 72, rounded to nearest
// (the quotient never ends in a half). size * 96 must fit in a signed 32-bit integer, as it
// is formed there: nothing when it does not (|size| > 22,369,621).
std::optional<std::int32_t> FontHeightFromSize(std::int32_t size);

// The point size in tenths sent with the font: size * 10; nothing when it overflows.
std::optional<std::int32_t> PointSizeTenthsFromSize(std::int32_t size);

// Whole points from tenths returned by the dialog, rounded half to even: 105 -> 10,
// 115 -> 12, 95 -> 10, 85 -> 8, -15 -> -2.
std::int32_t SizeFromPointSizeTenths(std::int32_t tenths);

// Weight sent for Bold: 700 for exactly 255, 400 for anything else.
std::int32_t WeightFromBold(std::uint8_t bold);
// Bold for a returned weight: 255 for exactly 700, 0 for anything else (600, 900 too).
std::uint8_t BoldFromWeight(std::int32_t weight);

// CharSet as the one byte it travels in: nothing when outside 0..255 (refused, not cut).
std::optional<std::uint8_t> CharSetByte(std::int32_t charset);

// A face name as the 32-byte field holds it: up to its first NUL and at most 31 bytes,
// cut back to the start of a UTF-8 sequence so no character is split.
std::string FaceNameField(std::string_view name);

}  // namespace pelkar
