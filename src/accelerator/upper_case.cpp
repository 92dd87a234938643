#include "accelerator/upper_case.h"

#include <cstdint>
#include <optional>

#include "wire/utf8.h"

namespace {

// A run of lower case letters whose upper case is at a fixed distance below.
struct Shifted {
  char32_t first, last;
  int32_t distance;
};

constexpr Shifted shiftedRuns[] = {
    {U'a', U'z', 0x20},
    {0xE0, 0xFE, 0x20},  // Latin-1; 0xF7 (the division sign) is left out
                         // below
    {0x3AC, 0x3AC, 0x26},
    {0x3AD, 0x3AF, 0x25},
    {0x3B1, 0x3C1, 0x20},
    {0x3C3, 0x3CB, 0x20},
    {0x3CC, 0x3CC, 0x40},
    {0x3CD, 0x3CE, 0x3F},
    {0x430, 0x44F, 0x20},
    {0x450, 0x45F, 0x50},
    {0x561, 0x586, 0x30},
};

// A run where upper and lower case alternate, the upper case first at an even or odd code point.
struct Alternating {
  char32_t first, last;
  bool upperEven;
};

constexpr Alternating alternatingRuns[] = {
    {0x100, 0x12F, true},  {0x132, 0x137, true},   {0x139, 0x148, false},  {0x14A, 0x177, true},
    {0x179, 0x17E, false}, {0x460, 0x481, true},   {0x48A, 0x4BF, true},   {0x4C1, 0x4CE, false},
    {0x4D0, 0x52F, true},  {0x1E00, 0x1E95, true}, {0x1EA0, 0x1EFF, true},
};

char32_t upperOf(char32_t c) {
  if (c == 0xF7) return c;
  if (c == 0xFF) return 0x178;   // ÿ
  if (c == 0x131) return U'I';   // Turkish dotless ı
  if (c == 0x3C2) return 0x3A3;  // final sigma
  for (const Shifted& run : shiftedRuns) {
    if (c >= run.first && c <= run.last) return static_cast<char32_t>(c - run.distance);
  }
  for (const Alternating& run : alternatingRuns) {
    if (c >= run.first && c <= run.last && (c % 2 == 0) != run.upperEven) return c - 1;
  }
  return c;
}

// The code point that starts at `at`, and its length; nothing where no valid one starts there.
std::optional<std::pair<char32_t, size_t>> decodeAt(std::string_view text, size_t at) {
  const auto byte = static_cast<unsigned char>(text[at]);
  const size_t length = byte < 0x80    ? 1
                        : byte >= 0xF0 ? 4
                        : byte >= 0xE0 ? 3
                        : byte >= 0xC2 ? 2
                                       : 0;
  if (length == 0 || at + length > text.size() || !isValidUtf8(text.substr(at, length))) {
    return std::nullopt;
  }
  char32_t c = length == 1 ? byte : byte & (0x7F >> length);
  for (size_t i = 1; i < length; ++i)
    c = (c << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3F);
  return std::pair{c, length};
}

}  // namespace

std::string upperCased(std::string_view utf8) {
  std::string upper;
  for (size_t at = 0; at < utf8.size();) {
    const auto decoded = decodeAt(utf8, at);
    if (!decoded) {
      upper += utf8[at++];
      continue;
    }
    appendUtf8(upper, upperOf(decoded->first));
    at += decoded->second;
  }
  return upper;
}
