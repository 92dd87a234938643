// The model's Carbon: the physical layout of a keyboard type (HIToolbox's Keyboards.h), the
// current keyboard layout (TextInputSources.h) and what its keys type (CoreServices'
// UnicodeUtilities.h), the system's symbolic hotkeys (CarbonEvents.h), and the virtual key codes
// of the keys whose events the model makes in their own way and Carbon's modifier bits
// (Events.h).
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <cstdint>

using SInt16 = int16_t;
using SInt32 = int32_t;
using UInt16 = uint16_t;
using UInt32 = unsigned int;
using OSStatus = SInt32;
using OptionBits = UInt32;
using UniChar = UInt16;
using UniCharCount = unsigned long;
using TISInputSourceRef = struct __TISInputSource*;
struct UCKeyboardLayout;

enum : OSStatus {
  noErr = 0,
};

enum : UInt16 {
  kUCKeyActionDisplay = 3,
};

enum : OptionBits {
  kUCKeyTranslateNoDeadKeysMask = 1,
};

extern const CFStringRef kTISPropertyUnicodeKeyLayoutData;

TISInputSourceRef TISCopyCurrentKeyboardLayoutInputSource();
TISInputSourceRef TISCopyCurrentASCIICapableKeyboardLayoutInputSource();
void* TISGetInputSourceProperty(TISInputSourceRef inputSource, CFStringRef propertyKey);
UInt8 LMGetKbdType();
OSStatus UCKeyTranslate(const UCKeyboardLayout* keyLayoutPtr, UInt16 virtualKeyCode,
                        UInt16 keyAction, UInt32 modifierKeyState, UInt32 keyboardType,
                        OptionBits keyTranslateOptions, UInt32* deadKeyState,
                        UniCharCount maxStringLength, UniCharCount* actualStringLength,
                        UniChar unicodeString[]);
using PhysicalKeyboardLayoutType = uint32_t;

enum : PhysicalKeyboardLayoutType {
  kKeyboardJIS = 0x4A495320,   // 'JIS '
  kKeyboardANSI = 0x414E5349,  // 'ANSI'
  kKeyboardISO = 0x49534F20,   // 'ISO '
};

PhysicalKeyboardLayoutType KBGetLayoutType(SInt16 iKeyboardType);

#define kHISymbolicHotKeyCode CFSTR("kHISymbolicHotKeyCode")
#define kHISymbolicHotKeyModifiers CFSTR("kHISymbolicHotKeyModifiers")
#define kHISymbolicHotKeyEnabled CFSTR("kHISymbolicHotKeyEnabled")
OSStatus CopySymbolicHotKeys(CFArrayRef* outHotKeyArray);

enum : UInt32 {
  cmdKey = 1 << 8,
  shiftKey = 1 << 9,
  optionKey = 1 << 11,
  controlKey = 1 << 12,
};

enum : uint16_t {
  kVK_Space = 0x31,
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
  kVK_F17 = 0x40,
  kVK_F18 = 0x4F,
  kVK_F19 = 0x50,
  kVK_F20 = 0x5A,
  kVK_F5 = 0x60,
  kVK_F6 = 0x61,
  kVK_F7 = 0x62,
  kVK_F3 = 0x63,
  kVK_F8 = 0x64,
  kVK_F9 = 0x65,
  kVK_F11 = 0x67,
  kVK_F13 = 0x69,
  kVK_F16 = 0x6A,
  kVK_F14 = 0x6B,
  kVK_F10 = 0x6D,
  kVK_F12 = 0x6F,
  kVK_F15 = 0x71,
  kVK_Help = 0x72,
  kVK_Home = 0x73,
  kVK_PageUp = 0x74,
  kVK_ForwardDelete = 0x75,
  kVK_F4 = 0x76,
  kVK_End = 0x77,
  kVK_F2 = 0x78,
  kVK_PageDown = 0x79,
  kVK_F1 = 0x7A,
  kVK_LeftArrow = 0x7B,
  kVK_RightArrow = 0x7C,
  kVK_DownArrow = 0x7D,
  kVK_UpArrow = 0x7E,
};
