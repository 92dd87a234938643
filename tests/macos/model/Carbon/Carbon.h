// The model's Carbon: the physical layout of a keyboard type (HIToolbox's Keyboards.h).
#pragma once

#include <cstdint>

using SInt16 = int16_t;
using PhysicalKeyboardLayoutType = uint32_t;

enum : PhysicalKeyboardLayoutType {
  kKeyboardJIS = 0x4A495320,   // 'JIS '
  kKeyboardANSI = 0x414E5349,  // 'ANSI'
  kKeyboardISO = 0x49534F20,   // 'ISO '
};

PhysicalKeyboardLayoutType KBGetLayoutType(SInt16 iKeyboardType);
