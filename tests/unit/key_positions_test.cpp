#include <gtest/gtest.h>

#include "core/accel.h"
#include "platform/key_positions.h"
#include "platform/raw_input.h"

namespace {

// evdev codes
constexpr unsigned keyJ = 36, keyK = 37, leftShift = 42, keyF7 = 65, numpad7 = 71,
                   rightControl = 97, home = 102, right = 106, leftMeta = 125;

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
      {"E1 sequence", {0x13, 0x1D, rawKeyE1}, std::nullopt},
      {"Pause by virtual key", {0x13, 0, 0}, std::nullopt},
      {"virtual key with a prefix", {0x27, 0, 0}, right},
      {"virtual key, own E0 kept", {0x24, 0, rawKeyE0}, home},
      {"virtual key, no E0", {0x24, 0, 0}, numpad7},
      {"virtual key without a scan code", {0x07, 0, 0}, std::nullopt},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(evdevFromRawKey(row.key, scanCodeOfVirtualKey), row.evdev) << row.name;
  }
}

TEST(KeyPositionsTest, MissedReleasesAreForgottenNeverMadeUp) {
  KeysDown down;
  for (const unsigned evdev : {leftMeta, leftShift, keyK}) trackKey(down, evdev, true);
  // Super and K came up unheard; Shift is still down; J is down but was never heard.
  forgetReleasedKeys(down, [](unsigned evdev) { return evdev == leftShift || evdev == keyJ; });
  EXPECT_FALSE(down[keyJ]);
  const std::optional<Event> k = trackKey(down, keyK, true);
  ASSERT_TRUE(k.has_value());
  EXPECT_EQ(k->flags, shiftFlag);
  EXPECT_EQ(k->autorepeat, 0);
}

}  // namespace
