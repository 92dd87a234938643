#include "wire/utf8.h"

namespace {

constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";

// The length of the well-formed sequence that starts at `at`, or the length of the maximal
// ill-formed prefix there (at least 1) as a negative number.
int sequenceLength(std::string_view bytes, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;

  int length;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the first continuation byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return -1;
  }

  for (int i = 1; i < length; ++i) {
    if (at + i >= bytes.size()) return -i;
    const unsigned char next = byte(at + i);
    const bool fits = i == 1 ? next >= low && next <= high : next >= 0x80 && next <= 0xBF;
    if (!fits) return -i;
  }
  return length;
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
  for (size_t at = 0; at < bytes.size();) {
    const int length = sequenceLength(bytes, at);
    if (length < 0) return false;
    at += length;
  }
  return true;
}

std::string repairUtf8(std::string_view bytes) {
  if (isValidUtf8(bytes)) return std::string(bytes);
  std::string repaired;
  repaired.reserve(bytes.size() + 8);
  for (size_t at = 0; at < bytes.size();) {
    const int length = sequenceLength(bytes, at);
    if (length > 0) {
      repaired.append(bytes.substr(at, length));
      at += length;
    } else {
      repaired.append(replacementCharacter);
      at += -length;
    }
  }
  return repaired;
}

void appendUtf8(std::string& text, char32_t codePoint) {
  if ((codePoint >= 0xD800 && codePoint <= 0xDFFF) || codePoint > 0x10FFFF) codePoint = 0xFFFD;
  if (codePoint < 0x80) {
    text += static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    text += static_cast<char>(0xC0 | (codePoint >> 6));
    text += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    text += static_cast<char>(0xE0 | (codePoint >> 12));
    text += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    text += static_cast<char>(0xF0 | (codePoint >> 18));
    text += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    text += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
}
