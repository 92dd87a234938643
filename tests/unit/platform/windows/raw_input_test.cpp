#include <gtest/gtest.h>

#include <algorithm>

#include "core/accel.h"
#include "platform/key_positions.h"
#include "platform/windows/raw_input.h"

namespace {

// evdev codes
constexpr unsigned keyK = 37, rightShift = 54, keyF7 = 65, numpad7 = 71, intlBackslash = 86,
                   numpadEnter = 96, rightControl = 97, rightAlt = 100, home = 102, right = 106,
                   numpadEqual = 117, keyF21 = 191, pauseKey = 119, printScreen = 99;

// MapVirtualKeyW(..., MAPVK_VK_TO_VSC_EX) for the virtual keys below.
unsigned scanCodeOfVirtualKey(unsigned virtualKey) {
  switch (virtualKey) {
    case 0x13:
      return 0xE11D;  // Pause
    case 0x24:
      return 0x47;  // Home, which shares its scan code with Numpad7
    case 0x27:
      return 0xE04D;  // Right
    default:
      return 0;
  }
}

TEST(RawInputTest, ReportsToPositions) {
  const struct {
    const char* name;
    RawKey key;
    std::optional<unsigned> evdev;
  } rows[] = {
      {"scan code", {0, 0x41, 0}, keyF7},
      {"E0 scan code", {0, 0x1D, rawKeyE0}, rightControl},
      {"a release", {0, 0x25, rawKeyBreak}, keyK},
      {"text typed as a character", {virtualKeyPacket, 0x41, 0}, std::nullopt},
      {"made-up Shift", {0xFF, 0x2A, rawKeyE0}, std::nullopt},
      {"Pause", {0x13, 0x1D, rawKeyE1}, pauseKey},
      {"Break, Control+Pause", {0x03, 0x46, rawKeyE0}, pauseKey},
      {"SysRq, Alt+Print Screen", {0x2C, 0x54, 0}, printScreen},
      {"another E1 sequence", {0x13, 0x2A, rawKeyE1}, std::nullopt},
      {"Pause by virtual key", {0x13, 0, 0}, std::nullopt},
      {"virtual key with a prefix", {0x27, 0, 0}, right},
      {"virtual key, own E0 kept", {0x24, 0, rawKeyE0}, home},
      {"virtual key, no E0", {0x24, 0, 0}, numpad7},
      {"virtual key without a scan code", {0x07, 0, 0}, std::nullopt},
      {"Right Alt", {0, 0x38, rawKeyE0}, rightAlt},
      {"Right Shift", {0, 0x36, 0}, rightShift},
      {"Numpad7 whatever Num Lock makes its virtual key", {0x24, 0x47, 0}, numpad7},
      {"Home", {0x24, 0x47, rawKeyE0}, home},
      {"keypad Enter", {0x0D, 0x1C, rawKeyE0}, numpadEnter},
      {"keypad =", {0, 0x59, 0}, numpadEqual},
      {"F21", {0, 0x6C, 0}, keyF21},
      {"ISO key", {0, 0x56, 0}, intlBackslash},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(evdevFromRawKey(row.key, scanCodeOfVirtualKey), row.evdev) << row.name;
  }
}

TEST(RawInputTest, AltGrsMadeUpLeftControlIsNoKey) {
  constexpr RawKey leftControl{0x11, 0x1D, 0}, rightControlKey{0x11, 0x1D, rawKeyE0},
      rightAltKey{0x12, 0x38, rawKeyE0}, leftAltKey{0x12, 0x38, 0}, k{0x4B, 0x25, 0};
  const auto up = [](RawKey key) {
    return RawKey{key.virtualKey, key.makeCode, static_cast<uint16_t>(key.flags | rawKeyBreak)};
  };
  // Reports as they are read; a null one is the wait running out with nothing read.
  const struct {
    const char* name;
    bool layoutHasAltGr;
    std::vector<std::optional<RawKey>> reports;
    std::vector<int64_t> keyCodes;  // of the events that come out
  } rows[] = {
      {"AltGr, its Right Alt read after its Left Control",
       true,
       {leftControl, rightAltKey, up(leftControl), up(rightAltKey)},
       {61, 61}},
      {"Left Control alone",
       true,
       {leftControl, std::nullopt, up(leftControl), std::nullopt},
       {59, 59}},
      {"Ctrl+Alt, Left Alt",
       true,
       {leftControl, leftAltKey, up(leftAltKey), up(leftControl), std::nullopt},
       {59, 58, 58, 59}},
      {"Ctrl+K", true, {leftControl, k, up(k), up(leftControl), std::nullopt}, {59, 40, 40, 59}},
      {"Right Control before Right Alt",
       true,
       {rightControlKey, rightAltKey, up(rightAltKey), up(rightControlKey)},
       {62, 61, 61, 62}},
      {"a real Ctrl+Alt chord with Right Alt, on a layout without AltGr",
       false,
       {leftControl, rightAltKey, k, up(k), up(rightAltKey), up(leftControl)},
       {59, 61, 40, 40, 61, 59}},
      {"Left Control and Right Alt held apart, released together, on a layout with AltGr",
       true,
       {leftControl, std::nullopt, rightAltKey, up(leftControl), up(rightAltKey)},
       {59, 61, 59, 61}},
      {"a real Left Control pressed during AltGr, held past AltGr's release",
       true,
       {leftControl, rightAltKey, leftControl, std::nullopt, up(leftControl), up(rightAltKey),
        up(leftControl), std::nullopt},
       {61, 59, 61, 59}},
      {"a real Left Control pressed and let go during AltGr",
       true,
       {leftControl, rightAltKey, leftControl, std::nullopt, up(leftControl), std::nullopt,
        up(leftControl), up(rightAltKey)},
       {61, 59, 59, 61}},
  };
  for (const auto& row : rows) {
    KeysDown down;
    AltGrFilter filter;
    std::vector<int64_t> keyCodes;
    const auto handle = [&](const RawKey& key) {
      const std::optional<unsigned> evdev = evdevFromRawKey(key, scanCodeOfVirtualKey);
      if (const std::optional<Event> event =
              trackKey(down, *evdev, !(key.flags & rawKeyBreak), true)) {
        keyCodes.push_back(event->keyCode);
      }
    };
    const auto layout = row.layoutHasAltGr ? +[] { return true; } : +[] { return false; };
    for (const std::optional<RawKey>& report : row.reports) {
      if (!report) {
        if (const std::optional<RawKey> waited = releaseAltGr(filter)) handle(*waited);
        continue;
      }
      for (const RawKey& now : filterAltGr(filter, *report, layout)) handle(now);
    }
    EXPECT_EQ(keyCodes, row.keyCodes) << row.name;
    EXPECT_TRUE(down.none()) << row.name;
  }
}

// A buffered read empties the queue of raw input: the system's key state, which shows the moment
// after the whole read, may forget keys at its last report only.
TEST(RawInputTest, MissedReleasesAreForgottenAtTheLastReportOfARead) {
  constexpr RawKey leftControl{0x11, 0x1D, 0}, k{0x4B, 0x25, 0},
      leftControlUp{0x11, 0x1D, rawKeyBreak};
  const struct {
    const char* name;
    std::vector<RawKey> read;
    std::vector<unsigned> downAfter;  // what the system shows after the read
    std::vector<uint64_t> flags;      // of the events that come out
  } rows[] = {
      {"Ctrl+K read with Control's release",
       {leftControl, k, leftControlUp},
       {37},
       {controlFlag | leftControlFlag, controlFlag | leftControlFlag, 0}},
      {"Control's release missed: forgotten at the next press",
       {leftControl, k},
       {37},
       {controlFlag | leftControlFlag, 0}},
  };
  for (const auto& row : rows) {
    KeysDown down;
    std::vector<uint64_t> flags;
    const auto showsDown = [&](unsigned evdev) -> std::optional<bool> {
      return std::find(row.downAfter.begin(), row.downAfter.end(), evdev) != row.downAfter.end();
    };
    forEachBuffered(
        row.read.data(), row.read.size(), [](const RawKey* key) { return key + 1; },
        [&](const RawKey& key, bool last) {
          const unsigned evdev = *evdevFromRawKey(key, scanCodeOfVirtualKey);
          const bool press = !(key.flags & rawKeyBreak);
          forgetMissedReleases(
              down, evdev, press, last, [] { return true; }, showsDown);
          if (const std::optional<Event> event = trackKey(down, evdev, press, true)) {
            flags.push_back(event->flags);
          }
        });
    EXPECT_EQ(flags, row.flags) << row.name;
  }
}

TEST(RawInputTest, PausesSecondReportIsNoNumLock) {
  constexpr RawKey pause{0x13, 0x1D, rawKeyE1}, follower{0x90, 0x45, 0}, numLock{0x90, 0x45, 0},
      k{0x4B, 0x25, 0};
  EXPECT_TRUE(isPauseFollower(pause, follower));
  EXPECT_FALSE(isPauseFollower(k, numLock));
  EXPECT_FALSE(isPauseFollower(pause, k));
}

TEST(RawInputTest, MouseReportsToButtonChanges) {
  const struct {
    const char* name;
    uint16_t buttonFlags;
    std::vector<std::pair<unsigned, bool>> changes;  // evdev code, press
  } rows[] = {
      {"motion alone", 0x0000, {}},
      {"left and right buttons", 0x0001 | 0x0004, {}},
      {"the wheel", 0x0400, {}},
      {"middle down", 0x0010, {{buttonMiddle, true}}},
      {"middle up", 0x0020, {{buttonMiddle, false}}},
      {"back down, forward up in one report",
       0x0040 | 0x0200,
       {{buttonSide, true}, {buttonExtra, false}}},
      {"forward down", 0x0100, {{buttonExtra, true}}},
  };
  for (const auto& row : rows) {
    std::vector<std::pair<unsigned, bool>> changes;
    forEachButtonChange(row.buttonFlags, [&](const RawMouseButton& button, bool press) {
      changes.emplace_back(button.evdev, press);
    });
    EXPECT_EQ(changes, row.changes) << row.name;
  }
  // Every button the backends read comes out as one of the three mouse button codes.
  KeysDown down;
  for (const unsigned button : {buttonMiddle, buttonSide, buttonExtra, buttonForward, buttonBack}) {
    EXPECT_TRUE(isMouseButton(trackKey(down, button, true, false)->keyCode)) << button;
  }
  EXPECT_EQ(trackKey(down, buttonBack, false, false)->keyCode, mouseBackButton);
}

// What a low-level hook is told (vkCode, scanCode, LLKHF_EXTENDED) to key positions.
TEST(RawInputTest, HookedKeysToPositions) {
  const struct {
    const char* name;
    uint16_t virtualKey;
    uint32_t scanCode;
    bool extended;
    std::optional<unsigned> evdev;
  } rows[] = {
      {"a key by its scan code", 0x4B, 0x25, false, keyK},
      {"an extended key", 0x27, 0x4D, true, right},
      {"Pause, with Num Lock's scan code", 0x13, 0x45, false, pauseKey},
      {"Pause by virtual key alone", 0x13, 0, false, pauseKey},
      {"Num Lock, extended", 0x90, 0x45, true, 69},
      {"Right Shift, extended", 0xA1, 0x36, true, rightShift},
      {"AltGr's made-up Left Control", 0xA2, 0x21D, false, std::nullopt},
      {"text typed as a character", virtualKeyPacket, 0x43, false, std::nullopt},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(evdevFromHookedKey(row.virtualKey, row.scanCode, row.extended, scanCodeOfVirtualKey),
              row.evdev)
        << row.name;
  }
}

// A kept key's events from the hook and from Raw Input, in the orders Windows and wine bring
// them (R: Raw Input, H: the hook; v press, ^ release), to what keytap hears of the key.
TEST(RawInputTest, KeptKeysAreHeardOnce) {
  const struct {
    const char* name;
    const char* events;
    const char* heard;
  } rows[] = {
      {"Windows: the hook alone", "Hv Hv H^", "down repeat up"},
      {"wine: Raw Input first", "Rv Hv Rv Hv R^ H^", "down repeat up"},
      {"wine: the hook first", "Hv Rv Hv Rv H^ R^", "down repeat up"},
      {"wine: the release from Raw Input first", "Hv Rv R^ H^", "down up"},
      {"Windows: typed unkept after a keep", "Hv H^ Rv R^", "down up down up"},
      {"wine: typed unkept after a keep", "Rv Hv R^ H^ Rv R^", "down up down up"},
      {"Windows: the hook removed while the key is held", "Hv R^ Rv R^", "down up down up"},
  };
  for (const auto& row : rows) {
    HookedKeys hooked;
    KeysDown down;
    std::string heard;
    const auto hear = [&](bool press) {
      const std::optional<Event> event = trackKey(down, keyK, press, false);
      heard += !press ? " up" : event->autorepeat ? " repeat" : " down";
    };
    for (const char* at = row.events; *at; at += at[2] ? 3 : 2) {
      const bool press = at[1] == 'v';
      if (at[0] == 'H' && takeHooksWord(hooked, keyK, press, down[keyK])) hear(press);
      if (at[0] == 'R' && !toldByHook(hooked, keyK, press)) hear(press);
    }
    EXPECT_EQ(heard.substr(1), row.heard) << row.name;
  }
}

}  // namespace
