// The model's Carbon: the physical layout of a keyboard type (HIToolbox's Keyboards.h), and the
// virtual key codes of the keys whose events the model makes in their own way (Events.h).
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

enum : uint16_t {
  kVK_RightCommand = 0x36,
  kVK_Command = 0x37,
  kVK_Shift = 0x38,
  kVK_CapsLock = 0x39,
  kVK_Option = 0x3A,
  kVK_Control = 0x3B,
  kVK_RightShift = 0x3C,
  kVK_RightOption = 0x3D,
  kVK_RightControl = 0x3E,
  kVK_Function = 0x3F,
  kVK_Home = 0x73,
  kVK_PageUp = 0x74,
  kVK_ForwardDelete = 0x75,
  kVK_End = 0x77,
  kVK_PageDown = 0x79,
  kVK_LeftArrow = 0x7B,
  kVK_RightArrow = 0x7C,
  kVK_DownArrow = 0x7D,
  kVK_UpArrow = 0x7E,
};
