// Upper case for labels, the same on every machine: the Linux binary is static and reads no
// locale, so the C library's case mapping cannot be asked.
#pragma once

#include <string>
#include <string_view>

/// The text with its letters upper-cased where the scripts that keyboard layouts type have one
/// upper case letter for a lower case one: Latin (with Latin Extended-A and Additional: Czech,
/// Polish, Turkish's dotless ı as I, Vietnamese), Greek (final ς as Σ), Cyrillic and Armenian.
/// Any other character, and any byte that is no UTF-8, stays as it is. Pure.
std::string upperCased(std::string_view utf8);
