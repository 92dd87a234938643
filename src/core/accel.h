// One parsed accelerator and the modifier bits it is made of.
#pragma once

#include <cstdint>

// Modifier bits in CGEventFlags encoding, on every platform.
constexpr uint64_t shiftFlag = 0x20000;
constexpr uint64_t controlFlag = 0x40000;
constexpr uint64_t optionFlag = 0x80000;
constexpr uint64_t commandFlag = 0x100000;
/// The only event flags that take part in matching.
constexpr uint64_t modifierMask = shiftFlag | controlFlag | optionFlag | commandFlag;

struct Accel {
  uint16_t keyCode = 0;  // macOS virtual key code
  uint64_t flags = 0;    // a subset of modifierMask

  friend bool operator==(const Accel&, const Accel&) = default;
};
