#include "platform/windows/raw_input.h"

#include "platform/key_positions.h"

namespace {

// What Windows puts in VKey for the made-up Shift presses around some keys.
constexpr uint16_t madeUpKey = 0xFF;

// The scan codes of Control and Alt: E0 makes them the right-hand keys, E1 Control the Pause key.
constexpr uint16_t controlScanCode = 0x1D;
constexpr unsigned pauseEvdev = 119;
constexpr uint16_t altScanCode = 0x38;

// The virtual keys that the hook's scan code does not tell apart.
constexpr uint16_t pauseVirtualKey = 0x13;    // VK_PAUSE
constexpr uint16_t numLockVirtualKey = 0x90;  // VK_NUMLOCK
constexpr unsigned numLockEvdev = 69;

}  // namespace

std::optional<unsigned> evdevFromRawKey(RawKey key, unsigned (*scanCodeOfVirtualKey)(unsigned)) {
  // The Pause key comes as E1 Control, then a report of Num Lock's scan code (isPauseFollower).
  if ((key.flags & rawKeyE1) && key.makeCode == controlScanCode) return pauseEvdev;
  // Made-up Shift presses, any other E1 sequence and text typed as characters (VK_PACKET, with a
  // UTF-16 unit where the scan code belongs) name no key that an accelerator can use.
  if (key.virtualKey == madeUpKey || key.virtualKey == virtualKeyPacket || (key.flags & rawKeyE1)) {
    return std::nullopt;
  }
  unsigned scanCode = key.makeCode;
  bool e0 = key.flags & rawKeyE0;
  if (scanCode == 0) {
    // Some programs inject keys by virtual key alone.
    const unsigned mapped = scanCodeOfVirtualKey(key.virtualKey);
    // An E1 key (Pause) without its prefix would read as Left Control.
    if (mapped == 0 || (mapped >> 8) == 0xE1) return std::nullopt;
    scanCode = mapped & 0xFF;
    e0 = e0 || (mapped >> 8) == 0xE0;
  }
  const unsigned evdev = evdevFromScanCode(scanCode, e0);
  if (evdev == 0) return std::nullopt;
  return evdev;
}

bool isPauseFollower(RawKey previous, RawKey report) {
  constexpr uint16_t pauseFollower = 0x45;
  return (previous.flags & rawKeyE1) && report.makeCode == pauseFollower &&
         !(report.flags & (rawKeyE0 | rawKeyE1));
}

RawKeys filterAltGr(AltGrFilter& filter, RawKey report, bool (*layoutHasAltGr)()) {
  RawKeys now;
  const bool rightAlt = report.makeCode == altScanCode && (report.flags & rawKeyE0);
  if (filter.pending) {
    const RawKey control = *filter.pending;
    filter.pending.reset();
    const bool sameDirection = (control.flags & rawKeyBreak) == (report.flags & rawKeyBreak);
    const bool altGrs = rightAlt && sameDirection;
    if (altGrs && !(control.flags & rawKeyBreak)) filter.pressDropped = true;
    if (!altGrs) now.keys[now.count++] = control;
  }
  // The made-up release comes just before Right Alt's, whatever real Left Control was pressed
  // or let go meanwhile: only Right Alt's release tells that none is to come.
  if (rightAlt && (report.flags & rawKeyBreak)) filter.pressDropped = false;
  if (report.makeCode == controlScanCode && !(report.flags & (rawKeyE0 | rawKeyE1))) {
    const bool release = report.flags & rawKeyBreak;
    if (release ? filter.pressDropped : layoutHasAltGr()) {
      filter.pending = report;
      return now;
    }
  }
  now.keys[now.count++] = report;
  return now;
}

std::optional<RawKey> releaseAltGr(AltGrFilter& filter) {
  const std::optional<RawKey> control = filter.pending;
  filter.pending.reset();
  return control;
}

bool toldByHook(HookedKeys& hooked, unsigned evdev, bool press) {
  if (evdev >= hooked.kept.size()) return false;
  // A release, whoever tells it first: the hook's word comes later (wine) or never (a hook that
  // Windows removed for answering too slowly).
  if (hooked.kept[evdev] && !press) {
    hooked.kept[evdev] = false;
    return false;
  }
  if (hooked.kept[evdev]) return true;
  const bool releaseTold = hooked.releaseTold[evdev];
  hooked.releaseTold[evdev] = false;
  return releaseTold && !press;
}

bool takeHooksWord(HookedKeys& hooked, unsigned evdev, bool press, bool heardDown) {
  if (evdev >= hooked.kept.size()) return false;
  const bool repeat = press && hooked.kept[evdev];
  hooked.kept[evdev] = press;
  hooked.releaseTold[evdev] = !press;
  return repeat || press != heardDown;
}

std::optional<unsigned> evdevFromHookedKey(uint16_t virtualKey, uint32_t scanCode, bool extended,
                                           unsigned (*scanCodeOfVirtualKey)(unsigned)) {
  if (scanCode > 0xFF) return std::nullopt;
  if (virtualKey == pauseVirtualKey) return pauseEvdev;
  if (virtualKey == numLockVirtualKey) return numLockEvdev;
  // Hooks are told the modifiers' sides by virtual key; Right Shift's scan code may come extended.
  for (const ModifierVirtualKey& modifier : modifierVirtualKeys) {
    if (modifier.virtualKey == virtualKey) return modifier.evdev;
  }
  const RawKey key{virtualKey, static_cast<uint16_t>(scanCode),
                   static_cast<uint16_t>(extended ? rawKeyE0 : 0)};
  return evdevFromRawKey(key, scanCodeOfVirtualKey);
}
