// The process-wide state. Only the main thread reads or writes it, so nothing is locked.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "core/accel.h"
#include "platform/platform.h"

/// Hashes texts so that the containers below can be searched with a string_view.
struct TextHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

/// Accelerator text, exactly as the host sent it, to its parsed accelerator.
using Registry = std::unordered_map<std::string, Accel, TextHash, std::equal_to<>>;
/// Accelerator texts whose key is down.
using HeldSet = std::unordered_set<std::string, TextHash, std::equal_to<>>;

/// Upper-case key name to virtual key code; filled once at start-up, read only by parse().
extern std::unordered_map<std::string_view, uint16_t> keyCodes;
extern Registry registered;
/// Invariant: every text in held is a key of registered.
extern HeldSet held;
/// The keyboard tap; null until one is opened.
extern Tap* tap;
extern TapCallback callback;
/// Whether start-up had the listen permission and opened the tap.
extern bool granted;
