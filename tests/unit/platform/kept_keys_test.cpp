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
    uint64_t flags;
    bool keep;
  } rows[] = {
      {"K without its modifiers", keyK, true, controlFlag, false},
      {"its release", keyK, false, controlFlag, false},
      {"K with exactly them", keyK, true, controlShift, true},
      {"an autorepeat after Shift went", keyK, true, controlFlag, true},
      {"the release with none left", keyK, false, 0, true},
      {"J with Caps Lock and Fn", keyJ, true, 0x10000 | fnFlag, true},
      {"J's release", keyJ, false, 0, true},
      {"J with Command", keyJ, true, commandFlag, false},
      {"a release with no press kept", keyJ, false, 0, false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(keepsKeyEvent(kept, row.keyCode, row.press, row.flags), row.keep) << row.step;
  }
  EXPECT_TRUE(kept.down.empty());
}

}  // namespace
