// Accelerator text such as "CommandOrControl+Shift+K" to a key code and modifier flags.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/accel.h"

/// The accelerator the text names, or nothing when it does not name exactly one key of the key
/// table with any number of modifier words. With --extended-keys, modifier words may also be
/// sided (RightAlt, AltRight) or stand alone (Ctrl+Shift), and Fn or Globe may stand alone.
/// Pure; reads keyCodes, commandOrControl and options.
std::optional<Accel> parse(std::string_view text);

/// The piece upper-cased as Unicode does it, and with the few non-ASCII characters that are
/// canonically equivalent (after upper-casing) to an ASCII one replaced by it. Nothing when the
/// piece holds any other non-ASCII character: such a piece can equal no word or key name.
std::optional<std::string> foldPiece(std::string_view piece);
