// Windows Raw Input keyboard reports to key positions, in plain integers so that the decoding is
// the same code in the unit tests as in the Windows backend.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/key_positions.h"

/// The fields of a RAWKEYBOARD that tell the key.
struct RawKey {
  uint16_t virtualKey;  // VKey
  uint16_t makeCode;    // MakeCode: the scan code, without its prefix
  uint16_t flags;       // Flags: rawKeyBreak, rawKeyE0, rawKeyE1
};

// The values of windows.h, which the Windows backend checks against its own.
constexpr uint16_t rawKeyBreak = 0x01;       // RI_KEY_BREAK
constexpr uint16_t rawKeyE0 = 0x02;          // RI_KEY_E0
constexpr uint16_t rawKeyE1 = 0x04;          // RI_KEY_E1
constexpr uint16_t virtualKeyPacket = 0xE7;  // VK_PACKET

/// The evdev code of the key a report is about; nothing when it names no key position (E0 2A,
/// the made-up Shift of some keys, among them). When
/// the report has no scan code, `scanCodeOfVirtualKey` gives one (MapVirtualKeyW with
/// MAPVK_VK_TO_VSC_EX: the prefix in the high byte, 0 for none).
std::optional<unsigned> evdevFromRawKey(RawKey key, unsigned (*scanCodeOfVirtualKey)(unsigned));

/// The evdev code of the key a low-level keyboard hook is told of (KBDLLHOOKSTRUCT's vkCode,
/// scanCode and LLKHF_EXTENDED), which differs from Raw Input's: Pause comes with Num Lock's scan
/// code, Right Shift and Num Lock may come extended, and AltGr's made-up Left Control has a scan
/// code above 0xFF. Nothing for text typed as characters and for made-up keys.
std::optional<unsigned> evdevFromHookedKey(uint16_t virtualKey, uint32_t scanCode, bool extended,
                                           unsigned (*scanCodeOfVirtualKey)(unsigned));

/// The buttons of a Raw Input mouse report (usButtonFlags) that keytap watches, by evdev code:
/// the middle button and the first and second side buttons.
struct RawMouseButton {
  uint16_t downFlag;    // RI_MOUSE_..._DOWN
  uint16_t upFlag;      // RI_MOUSE_..._UP
  uint16_t virtualKey;  // what GetAsyncKeyState knows it by
  unsigned evdev;
};

constexpr RawMouseButton rawMouseButtons[] = {
    {0x0010, 0x0020, 0x04, buttonMiddle},  // RI_MOUSE_MIDDLE_BUTTON_..., VK_MBUTTON
    {0x0040, 0x0080, 0x05, buttonSide},    // RI_MOUSE_BUTTON_4_..., VK_XBUTTON1
    {0x0100, 0x0200, 0x06, buttonExtra},   // RI_MOUSE_BUTTON_5_..., VK_XBUTTON2
};

/// The sided modifier keys, by the virtual key GetAsyncKeyState knows each by.
struct ModifierVirtualKey {
  uint16_t virtualKey;
  unsigned evdev;
};

constexpr ModifierVirtualKey modifierVirtualKeys[] = {
    {0xA0, 42},  {0xA1, 54},   // VK_LSHIFT, VK_RSHIFT
    {0xA2, 29},  {0xA3, 97},   // VK_LCONTROL, VK_RCONTROL
    {0xA4, 56},  {0xA5, 100},  // VK_LMENU, VK_RMENU
    {0x5B, 125}, {0x5C, 126},  // VK_LWIN, VK_RWIN
};

/// Calls `change(button, press)` for each watched button that the report presses or releases,
/// in the order of rawMouseButtons; a report of motion alone calls nothing.
template <typename Change>
void forEachButtonChange(uint16_t buttonFlags, Change change) {
  for (const RawMouseButton& button : rawMouseButtons) {
    if (buttonFlags & button.downFlag) change(button, true);
    if (buttonFlags & button.upFlag) change(button, false);
  }
}

/// Whether a report is the second half of the Pause key's: Raw Input hands Pause over as an E1
/// report and then a plain 0x45 one, which alone would read as Num Lock.
bool isPauseFollower(RawKey previous, RawKey report);

/// Calls `handle(report, last)` for each of the `count` reports of one buffered read, in order
/// (`next` steps from one to the next); `last` is true for the last one alone.
template <typename Report, typename Next, typename Handle>
void forEachBuffered(const Report* first, size_t count, Next next, Handle handle) {
  for (size_t i = 0; i < count; ++i, first = next(first)) handle(*first, i + 1 == count);
}

/// Forgets the keys of `down` whose release went missing, at a press of `key` that the system's
/// key state shows down: `showsDown(evdev)` answers true, false, or nothing for a key it cannot
/// tell. Only when `latest` (the last event of what was read) and `nothingWaits()`: that state
/// describes the moment after the last event read, and an earlier event's keys may have been
/// released since. Only when another key is down: nothing else can be stale.
template <typename NothingWaits, typename ShowsDown>
void forgetMissedReleases(KeysDown& down, unsigned key, bool press, bool latest,
                          NothingWaits nothingWaits, ShowsDown showsDown) {
  KeysDown others = down;
  if (key < others.size()) others.reset(key);
  if (!press || !latest || others.none() || !nothingWaits()) return;
  if (showsDown(key) != std::optional<bool>(true)) return;
  forgetReleasedKeys(down, [&](unsigned evdev) { return showsDown(evdev) != false; });
}

/// Keyboard reports in the order to handle them, at most two.
struct RawKeys {
  RawKey keys[2];
  size_t count = 0;
  const RawKey* begin() const { return keys; }
  const RawKey* end() const { return keys + count; }
};

/// On layouts with AltGr, Windows adds a Left Control press or release to Right Alt's, and hands
/// the two through its input pipeline one at a time: when the Left Control is read, the Right
/// Alt may not be queued yet. So a Left Control report waits until the next keyboard report
/// tells (--extended-keys), but only where it can be AltGr's: a press on a layout with AltGr, a
/// release while the Right Alt of a dropped press is down.
struct AltGrFilter {
  std::optional<RawKey> pending;  // a Left Control report not handled yet
  bool pressDropped = false;      // AltGr's Left Control press was dropped; Right Alt is down
};

/// The reports to handle now for one report read: a waiting Left Control first, unless this
/// report is Right Alt in the same direction, which makes it AltGr's and drops it; a Left Control
/// report that can be AltGr's waits. `layoutHasAltGr` tells whether the layout in use has AltGr,
/// asked at a Left Control press only.
RawKeys filterAltGr(AltGrFilter& filter, RawKey report, bool (*layoutHasAltGr)());

/// The waiting Left Control report, if any, to handle now: no Right Alt followed it in time, or
/// something else must not wait behind it. A real key then.
std::optional<RawKey> releaseAltGr(AltGrFilter& filter);

/// The keys a low-level hook keeps (--consume), from their press to their release as the hook
/// tells: Windows hands Raw Input none of their events, wine hands it all of them, before or
/// after the hook's word. So each event is heard once, from whichever tells it first.
struct HookedKeys {
  KeysDown kept;         // the hook kept the press, and not yet the release
  KeysDown releaseTold;  // the hook told the release; Raw Input's may follow
};

/// Whether Raw Input's event of this key is one that the hook tells: passed over. A release is
/// heard from whichever tells it first.
bool toldByHook(HookedKeys& hooked, unsigned evdev, bool press);

/// Takes the hook's word on an event it kept; whether to hand it on: not a press that Raw Input
/// told first (`heardDown`: the key is down already, and no keep is running), nor a release of a
/// key not down.
bool takeHooksWord(HookedKeys& hooked, unsigned evdev, bool press, bool heardDown);
