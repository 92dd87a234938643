// UTF-8 checks for the wire: input lines are repaired, output strings are verified.
#pragma once

#include <string>
#include <string_view>

/// True when the bytes are well-formed UTF-8.
bool isValidUtf8(std::string_view bytes);

/// The bytes with every maximal ill-formed subsequence replaced by one U+FFFD, as the Unicode
/// standard recommends.
std::string repairUtf8(std::string_view bytes);

/// Appends the code point in UTF-8; a surrogate or a value past U+10FFFF appends U+FFFD.
void appendUtf8(std::string& text, char32_t codePoint);
