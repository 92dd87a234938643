// What X11 keysyms type, and where a key's keysyms for a layout group are in the core mapping.
#include "platform/linux/x11/keysyms.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/linux/x11/keysym_table.h"

namespace {

TEST(KeysymsTest, CharactersOfEveryKind) {
  const struct {
    uint32_t keysym;
    std::optional<char32_t> character;
  } rows[] = {
      {0x71, U'q'},           {0xF6, U'\u00F6'},      {0x6CC, U'\u043B'},  // q, ö, Cyrillic л
      {0x1B9, U'\u0161'},     {0x7E8, U'\u03B8'},     {0xCE0, U'\u05D0'},  // š, Greek θ, Hebrew א
      {0x1000451, U'\u0451'}, {0x10003D2, U'\u03D2'},                      // Unicode keysyms
      {0xFE52, U'^'},         {0xFE51, U'\u00B4'},    {0xFE57, U'\u00A8'},     // dead keys
      {0xFE50, U'`'},         {0xFFB7, U'7'},         {0xFFAF, U'/'},          // keypad
      {0xFF95, std::nullopt}, {0xFFBE, std::nullopt}, {0xFFE9, std::nullopt},  // KP_Home, F1, Alt
      {0xFE03, std::nullopt}, {0, std::nullopt},      {0x1000000, std::nullopt},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(keysymCharacter(row.keysym), row.character) << std::hex << row.keysym;
  }
}

// The table is what a binary search needs: in keysym order, each once.
TEST(KeysymsTest, TheTableIsSortedAndFindsEachOfItsKeysyms) {
  ASSERT_GT(keysymCharacterCount, 700u);
  for (size_t i = 0; i < keysymCharacterCount; ++i) {
    if (i > 0) {
      EXPECT_LT(keysymCharacters[i - 1].keysym, keysymCharacters[i].keysym);
    }
    EXPECT_EQ(keysymCharacter(keysymCharacters[i].keysym), keysymCharacters[i].character);
  }
}

// As an X server wrote them for Q with the layouts us,de,ru: us has two levels, de four (@ and
// Ω with AltGr), ru two; and Right Alt, Alt_R in us and AltGr in de.
TEST(KeysymsTest, GroupsAndLevelsOfTheCoreMapping) {
  const std::vector<uint32_t> q{0x71, 0x51, 0x71, 0x51, 0x40, 0x7D9, 0x6CA, 0x6EA, 0, 0};
  const std::vector<uint32_t> rightAlt{0xFFEA, 0xFFE8, 0xFE03, 0, 0, 0};
  EXPECT_EQ(keysymAt(q, 0, 0), 0x71u);
  EXPECT_EQ(keysymAt(q, 1, 1), 0x51u);
  EXPECT_EQ(keysymAt(q, 2, 0), 0u);  // a third group's place is not told
  EXPECT_EQ(keysymAt(std::vector<uint32_t>{0x71}, 1, 0), 0u);
  EXPECT_FALSE(isLevelThreeShift(rightAlt, 0));
  EXPECT_TRUE(isLevelThreeShift(rightAlt, 1));
  EXPECT_TRUE(isLevelThreeShift(std::vector<uint32_t>{0xFFEA, 0, 0xFFEA, 0, 0xFE03}, 2));
  EXPECT_TRUE(typesBeyondLevelTwo(q));
  EXPECT_FALSE(typesBeyondLevelTwo(std::vector<uint32_t>{0xFFC2, 0, 0xFFC2, 0, 0, 0}));
  EXPECT_TRUE(isKeypadMotion(0xFF95));
  EXPECT_FALSE(isKeypadMotion(0xFFB7));
}

}  // namespace
