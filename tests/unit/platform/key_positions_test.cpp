#include <gtest/gtest.h>

#include <vector>

#include "core/accel.h"
#include "platform/key_positions.h"

namespace {

// evdev codes
constexpr unsigned keyJ = 36, keyK = 37, leftShift = 42, rightShift = 54, leftAlt = 56,
                   capsLock = 58, numpad7 = 71, rightAlt = 100, home = 102, leftMeta = 125,
                   keyF21 = 191, keyFn = 464;

TEST(KeyPositionsTest, MissedReleasesAreForgottenNeverMadeUp) {
  KeysDown down;
  for (const unsigned evdev : {leftMeta, leftShift, keyK}) trackKey(down, evdev, true, false);
  // Super and K came up unheard; Shift is still down; J is down but was never heard.
  forgetReleasedKeys(down, [](unsigned evdev) { return evdev == leftShift || evdev == keyJ; });
  EXPECT_FALSE(down[keyJ]);
  const std::optional<Event> k = trackKey(down, keyK, true, false);
  ASSERT_TRUE(k.has_value());
  EXPECT_EQ(k->flags, shiftFlag | leftShiftFlag);
  EXPECT_EQ(k->autorepeat, 0);
}

TEST(KeyPositionsTest, ModifierKeysAreEventsOnlyWhenAskedFor) {
  const struct {
    const char* name;
    std::vector<unsigned> before;  // pressed first
    unsigned evdev;
    bool press;
    bool modifiersToo;
    std::optional<Event> event;
  } rows[] = {
      {"modifier, by default", {}, rightAlt, true, false, std::nullopt},
      {"Right Alt", {}, rightAlt, true, true, Event{61, 0, optionFlag | rightOptionFlag}},
      {"Right Alt let go, Left Alt held",
       {leftAlt, rightAlt},
       rightAlt,
       false,
       true,
       Event{61, 0, optionFlag | leftOptionFlag}},
      {"modifier repeating",
       {rightAlt},
       rightAlt,
       true,
       true,
       Event{61, 1, optionFlag | rightOptionFlag}},
      {"Fn", {}, keyFn, true, true, Event{63, 0, fnFlag}},
      {"Caps Lock", {}, capsLock, true, true, std::nullopt},
      {"Numpad7", {}, numpad7, true, true, Event{89, 0, 0}},
      {"Home", {}, home, true, true, Event{115, 0, 0}},
      {"F21", {rightShift}, keyF21, true, true, Event{0x10BF, 0, shiftFlag | rightShiftFlag}},
  };
  for (const auto& row : rows) {
    KeysDown down;
    for (const unsigned evdev : row.before) trackKey(down, evdev, true, row.modifiersToo);
    const std::optional<Event> event = trackKey(down, row.evdev, row.press, row.modifiersToo);
    ASSERT_EQ(event.has_value(), row.event.has_value()) << row.name;
    if (!event) continue;
    EXPECT_EQ(event->keyCode, row.event->keyCode) << row.name;
    EXPECT_EQ(event->autorepeat, row.event->autorepeat) << row.name;
    EXPECT_EQ(event->flags, row.event->flags) << row.name;
  }
}

}  // namespace
