#include <gtest/gtest.h>

#include "platform/kept_keys.h"

namespace {

constexpr uint16_t keyK = 40, keyJ = 38;

// One run of key events through the kept chords, Control+Shift+K and J: what is kept.
TEST(KeptKeysTest, ThePressOfAKeptChordKeepsItsRepeatsAndRelease) {
  const uint64_t controlShift = controlFlag | shiftFlag;
  KeptKeys kept{{Accel{keyK, controlShift}, Accel{keyJ, 0}}, {}};
  const struct {
    const char* step;
    uint16_t keyCode;
    bool press;
    bool autorepeat;
    uint64_t flags;
    bool keep;
  } rows[] = {
      {"K without its modifiers", keyK, true, false, controlFlag, false},
      {"an autorepeat once Shift joined", keyK, true, true, controlShift, false},
      {"its release", keyK, false, false, controlShift, false},
      {"K with exactly them", keyK, true, false, controlShift, true},
      {"an autorepeat after Shift went", keyK, true, true, controlFlag, true},
      {"the release with none left", keyK, false, false, 0, true},
      {"J with Caps Lock and Fn", keyJ, true, false, 0x10000 | fnFlag, true},
      {"J's release", keyJ, false, false, 0, true},
      {"J with Command", keyJ, true, false, commandFlag, false},
      {"a release with no press kept", keyJ, false, false, 0, false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(keepsKeyEvent(kept, row.keyCode, row.press, row.autorepeat, row.flags), row.keep)
        << row.step;
  }
  EXPECT_TRUE(kept.down.empty());
}

}  // namespace
