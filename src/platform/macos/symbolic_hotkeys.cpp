// Whether macOS keeps a chord for itself: its symbolic hotkeys (Spotlight's Command+Space,
// Mission Control, switching input sources...), as the Keyboard settings list them.
#include <Carbon/Carbon.h>
#include <CoreFoundation/CoreFoundation.h>

#include "core/accel.h"
#include "core/state.h"
#include "platform/macos/key_events.h"
#include "platform/platform.h"

namespace {

// Symbolic hotkeys name their modifiers in Carbon's bits, not CGEventFlags'.
struct CarbonModifier {
  uint64_t flag;
  UInt32 carbon;
};
constexpr CarbonModifier carbonModifiers[] = {
    {commandFlag, cmdKey},
    {shiftFlag, shiftKey},
    {optionFlag, optionKey},
    {controlFlag, controlKey},
};

UInt32 carbonModifiersOf(uint64_t flags) {
  UInt32 carbon = 0;
  for (const CarbonModifier& modifier : carbonModifiers) {
    if (flags & modifier.flag) carbon |= modifier.carbon;
  }
  return carbon;
}

// Only these four count: the arrows' hotkeys also carry an Fn bit, which a key's own press sets.
constexpr UInt32 comparedModifiers = cmdKey | shiftKey | optionKey | controlKey;

bool numberIn(CFDictionaryRef hotKey, CFStringRef key, int& value) {
  const auto number = static_cast<CFNumberRef>(CFDictionaryGetValue(hotKey, key));
  return number && CFGetTypeID(number) == CFNumberGetTypeID() &&
         CFNumberGetValue(number, kCFNumberIntType, &value);
}

bool isEnabled(CFDictionaryRef hotKey) {
  const auto enabled =
      static_cast<CFBooleanRef>(CFDictionaryGetValue(hotKey, kHISymbolicHotKeyEnabled));
  return enabled && CFGetTypeID(enabled) == CFBooleanGetTypeID() && CFBooleanGetValue(enabled);
}

}  // namespace

// The list is read afresh each time: the user may change it in the Keyboard settings any time.
ChordHolder chordHolder(const Accel& accel) {
  if (accel.keyCode == modifiersOnly || accel.keyCode >= beyondMacKeys ||
      isMouseButton(accel.keyCode)) {
    return ChordHolder::unknown;
  }
  // The system knows the key by the code it reports for it.
  const bool iso = KBGetLayoutType(LMGetKbdType()) == kKeyboardISO;
  const int64_t code = options.extendedKeys ? keyPosition(accel.keyCode, iso) : accel.keyCode;
  const UInt32 modifiers = carbonModifiersOf(accel.flags);
  CFArrayRef hotKeys = nullptr;
  if (CopySymbolicHotKeys(&hotKeys) != noErr || !hotKeys) return ChordHolder::unknown;
  bool taken = false;
  for (CFIndex i = 0; i < CFArrayGetCount(hotKeys) && !taken; ++i) {
    const auto hotKey = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(hotKeys, i));
    int hotKeyCode = 0;
    int hotKeyModifiers = 0;
    taken = hotKey && CFGetTypeID(hotKey) == CFDictionaryGetTypeID() &&
            numberIn(hotKey, kHISymbolicHotKeyCode, hotKeyCode) && hotKeyCode == code &&
            numberIn(hotKey, kHISymbolicHotKeyModifiers, hotKeyModifiers) &&
            (static_cast<UInt32>(hotKeyModifiers) & comparedModifiers) == modifiers &&
            isEnabled(hotKey);
  }
  CFRelease(hotKeys);
  return taken ? ChordHolder::system : ChordHolder::unknown;
}
