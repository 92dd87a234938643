#include <gtest/gtest.h>

#include <set>

#include "accelerator/parse.h"
#include "core/key_table.h"
#include "core/state.h"
#include "support/fake_platform.h"

namespace {

struct ParseCase {
  const char* text;
  std::optional<Accel> expected;
};

class ParseTest : public testing::TestWithParam<ParseCase> {
 protected:
  void SetUp() override { fakeReset(); }
};

constexpr uint64_t cmd = commandFlag, ctrl = controlFlag, opt = optionFlag, shift = shiftFlag;
constexpr std::nullopt_t none = std::nullopt;

TEST_P(ParseTest, GivesTheExpectedAccelerator) {
  const ParseCase& c = GetParam();
  EXPECT_EQ(parse(c.text), c.expected) << "text: " << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, ParseTest,
    testing::Values(
        // Case, order and aliases do not matter.
        ParseCase{"Cmd+Shift+K", Accel{40, cmd | shift}},
        ParseCase{"cmd+shift+k", Accel{40, cmd | shift}},
        ParseCase{"K+Shift+Cmd", Accel{40, cmd | shift}},
        ParseCase{"SHIFT+cmd+K", Accel{40, cmd | shift}},
        ParseCase{"CommandOrControl+Q", Accel{12, cmd}}, ParseCase{"CmdOrCtrl+Q", Accel{12, cmd}},
        ParseCase{"Super+A", Accel{0, cmd}}, ParseCase{"Meta+A", Accel{0, cmd}},
        ParseCase{"Ctrl+Alt+Delete", Accel{117, ctrl | opt}},
        ParseCase{"Control+Option+Delete", Accel{117, ctrl | opt}},
        ParseCase{"Option+Backspace", Accel{51, opt}},
        ParseCase{"Command+Control+Option+Shift+Z", Accel{6, cmd | ctrl | opt | shift}},
        // A key alone.
        ParseCase{"A", Accel{0, 0}}, ParseCase{"F5", Accel{96, 0}},
        ParseCase{"Space", Accel{49, 0}}, ParseCase{"Enter", Accel{36, 0}},
        ParseCase{"Return", Accel{36, 0}}, ParseCase{"Esc", Accel{53, 0}},
        ParseCase{"Escape", Accel{53, 0}}, ParseCase{"F1", Accel{122, 0}},
        ParseCase{"F2", Accel{120, 0}}, ParseCase{"F3", Accel{99, 0}},
        // Repeated modifiers and surplus plus signs are harmless.
        ParseCase{"Cmd+Cmd+K", Accel{40, cmd}}, ParseCase{"Cmd+Command+Meta+K", Accel{40, cmd}},
        ParseCase{"Cmd++K", Accel{40, cmd}}, ParseCase{"+Cmd+K", Accel{40, cmd}},
        ParseCase{"Cmd+K+", Accel{40, cmd}}, ParseCase{"++Cmd++K++", Accel{40, cmd}},
        // Punctuation keys are named by their character.
        ParseCase{"Cmd+=", Accel{24, cmd}}, ParseCase{"Cmd+-", Accel{27, cmd}},
        ParseCase{"Cmd+/", Accel{44, cmd}}, ParseCase{"Cmd+.", Accel{47, cmd}},
        ParseCase{"Shift+=", Accel{24, shift}}, ParseCase{"Ctrl+\\", Accel{42, ctrl}},
        ParseCase{"Alt+`", Accel{50, opt}}, ParseCase{"Alt+'", Accel{39, opt}},
        // The five non-ASCII stand-ins, and nothing else.
        ParseCase{"\u017Fhift+k", Accel{40, shift}}, ParseCase{"Shift+\u212A", Accel{40, shift}},
        ParseCase{"\u0131", Accel{34, 0}}, ParseCase{"Cmd+\u037E", Accel{41, cmd}},
        ParseCase{"Cmd+\u1FEF", Accel{50, cmd}}, ParseCase{"Cmd+\u00DF", none},
        ParseCase{"Cmd+\u00E9", none}, ParseCase{"\u0130", none}, ParseCase{"Cmd+\uFF2B", none},
        // No key, or more than one.
        ParseCase{"", none}, ParseCase{"+", none}, ParseCase{"+++", none}, ParseCase{"Shift", none},
        ParseCase{"Cmd+Shift", none}, ParseCase{"Ctrl+Alt", none}, ParseCase{"Cmd+K+J", none},
        ParseCase{"K+K", none}, ParseCase{"A+Space", none},
        // Pieces that are no word and no name.
        ParseCase{"Cmd+Plus", none}, ParseCase{"Cmd+F21", none}, ParseCase{"Fn+F1", none},
        ParseCase{"Hyper+K", none}, ParseCase{"Cmd+Opt+K", none}, ParseCase{"Cmd+Kp0", none},
        ParseCase{"Cmd + K", none}, ParseCase{" K", none}, ParseCase{"K ", none},
        ParseCase{"Cmd+K\t", none}));

TEST(ParseTest, CommandOrControlFollowsThePlatform) {
  fakeReset();
  commandOrControl = controlFlag;
  EXPECT_EQ(parse("CommandOrControl+Shift+K"), (Accel{40, ctrl | shift}));
  EXPECT_EQ(parse("cmdorctrl+K"), (Accel{40, ctrl}));
  EXPECT_EQ(parse("Cmd+K"), (Accel{40, cmd}));
  EXPECT_EQ(parse("Super+K"), (Accel{40, cmd}));
}

TEST(ParseTest, EmbeddedNulIsPartOfItsPiece) {
  fakeReset();
  EXPECT_EQ(parse(std::string_view("Cmd+K\0", 6)), std::nullopt);
}

TEST(KeyTableTest, EveryNameParsesAloneAndInAnyCase) {
  fakeReset();
  std::set<std::string_view> names;
  for (const KeyName& key : keyTable) {
    names.insert(key.name);
    EXPECT_EQ(parse(key.name), (Accel{key.code, 0})) << key.name;
    std::string lower(key.name);
    for (char& c : lower) c = static_cast<char>(std::tolower(c));
    EXPECT_EQ(parse("Shift+" + lower), (Accel{key.code, shiftFlag})) << lower;
  }
  EXPECT_EQ(names.size(), 83u);
  EXPECT_EQ(keyCodes.size(), 83u);
}

TEST(ExtendedKeysTest, NewNamesParseOnlyWithTheOption) {
  constexpr uint64_t ctrlSides = leftControlFlag | rightControlFlag,
                     optSides = leftOptionFlag | rightOptionFlag,
                     cmdSides = leftCommandFlag | rightCommandFlag,
                     shiftSides = leftShiftFlag | rightShiftFlag;
  constexpr Accel rightAlt{modifiersOnly, opt, rightOptionFlag, optSides},
      fn{modifiersOnly, fnFlag, fnFlag, fnFlag};
  const ParseCase rows[] = {
      {"RightAlt", rightAlt},
      {"AltRight", rightAlt},
      {"rightoption", rightAlt},
      {"OptionRight", rightAlt},
      {"RightAlt+RightAlt", rightAlt},
      {"LeftCtrl+K", Accel{40, ctrl, leftControlFlag, ctrlSides}},
      {"ControlRight+Shift+K", Accel{40, ctrl | shift, rightControlFlag, ctrlSides}},
      {"MetaLeft", Accel{modifiersOnly, cmd, leftCommandFlag, cmdSides}},
      {"RightSuper", Accel{modifiersOnly, cmd, rightCommandFlag, cmdSides}},
      {"RightCommandOrControl+K", Accel{40, cmd, rightCommandFlag, cmdSides}},
      {"ShiftLeft+ShiftRight", Accel{modifiersOnly, shift, shiftSides, shiftSides}},
      {"Ctrl+Shift", Accel{modifiersOnly, ctrl | shift}},
      {"Fn", fn},
      {"globe", fn},
      {"Numpad7", Accel{89}},
      {"num7", Accel{89}},
      {"NumpadEnter", Accel{76}},
      {"numdec", Accel{65}},
      {"NumpadEqual", Accel{81}},
      {"F21", Accel{0x10BF}},
      {"F24", Accel{0x10C2}},
      {"IntlBackslash", Accel{10}},
      {"PrintScreen", Accel{0x1063}},
      {"Ctrl+Pause", Accel{0x1077, ctrl}},
      {"scrolllock", Accel{0x1046}},
      {"Insert", Accel{114}},
      {"ContextMenu", Accel{110}},
      {"Left+RightAlt", Accel{123, opt, rightOptionFlag, optSides}},
      // Fn only alone; a side needs a modifier word.
      {"Fn+F1", none},
      {"Fn+Shift", none},
      {"RightK", none},
      {"LeftRight", none},
  };
  for (const ParseCase& row : rows) {
    fakeReset();
    EXPECT_EQ(parse(row.text), std::nullopt) << row.text;
    options.extendedKeys = true;
    buildKeyCodes();
    EXPECT_EQ(parse(row.text), row.expected) << row.text;
  }
  // The arrow keys keep their names.
  EXPECT_EQ(parse("Shift+Right"), (Accel{124, shift}));
  EXPECT_EQ(keyCodes.size(), 83u + 43u);
}

TEST(MouseButtonsTest, ButtonsParseOnlyWithTheOption) {
  const ParseCase rows[] = {
      {"MouseMiddle", Accel{mouseMiddleButton}},
      {"mouse3", Accel{mouseMiddleButton}},
      {"MouseBack", Accel{mouseBackButton}},
      {"Mouse4", Accel{mouseBackButton}},
      {"MOUSEFORWARD", Accel{mouseForwardButton}},
      {"Shift+Mouse5", Accel{mouseForwardButton, shift}},
      {"Cmd+Alt+Mouse4", Accel{mouseBackButton, cmd | opt}},
      // A button takes the key's place: never beside a key or another button.
      {"K+Mouse4", none},
      {"Mouse4+Mouse5", none},
      {"Mouse1", none},
      {"Mouse2", none},
      {"MouseLeft", none},
      {"Mouse6", none},
  };
  for (const ParseCase& row : rows) {
    fakeReset();
    EXPECT_EQ(parse(row.text), std::nullopt) << row.text;
    options.mouseButtons = true;
    buildKeyCodes();
    EXPECT_EQ(parse(row.text), row.expected) << row.text;
  }
  options.extendedKeys = true;
  buildKeyCodes();
  EXPECT_EQ(parse("RightAlt+MouseMiddle"),
            (Accel{mouseMiddleButton, opt, rightOptionFlag, leftOptionFlag | rightOptionFlag}));
}

}  // namespace
