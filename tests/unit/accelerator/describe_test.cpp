// The text and the label of an accelerator, and capture end to end against the fake platform.
#include <gtest/gtest.h>

#include "accelerator/describe.h"
#include "accelerator/parse.h"
#include "core/key_table.h"
#include "core/state.h"
#include "host/handle.h"
#include "keyboard/tap.h"
#include "support/capture.h"
#include "support/fake_platform.h"

namespace {

using nlohmann::json;

// What keytap writes for a chord parses back as that very chord, for every key it names, with
// and without the options, in a Mac's words and in the others'.
TEST(DescribeTest, EveryTextParsesBackAsItsChord) {
  const uint64_t modifierSets[] = {0, controlFlag | shiftFlag, optionFlag,
                                   controlFlag | optionFlag | shiftFlag | commandFlag};
  for (const bool extended : {false, true}) {
    for (const bool mac : {false, true}) {
      fakeReset();
      options.extendedKeys = extended;
      options.mouseButtons = extended;
      commandOrControl = mac ? commandFlag : controlFlag;
      buildKeyCodes();
      std::vector<Accel> chords;
      for (const auto& [name, code] : keyCodes) {
        for (const uint64_t flags : modifierSets) chords.push_back({code, flags});
      }
      if (extended) {
        chords.push_back({modifiersOnly, optionFlag, rightOptionFlag, sideFlagsOf(optionFlag)});
        chords.push_back({modifiersOnly, controlFlag | shiftFlag, leftControlFlag | leftShiftFlag,
                          sideFlagsOf(controlFlag) | sideFlagsOf(shiftFlag)});
        chords.push_back({modifiersOnly, fnFlag, fnFlag, fnFlag});
        chords.push_back({modifiersOnly, commandFlag, 0, 0});
      }
      for (const Accel& chord : chords) {
        const std::string text = acceleratorText(chord, mac);
        EXPECT_EQ(parse(text), chord) << text;
      }
    }
  }
}

TEST(DescribeTest, TextsAndLabelsOfChords) {
  fakeReset();
  options.extendedKeys = true;
  options.mouseButtons = true;
  buildKeyCodes();
  const struct {
    Accel accel;
    const char* character;  // what the layout types there
    const char* text;
    const char* label;
    const char* macText;
    const char* macLabel;
  } rows[] = {
      {{40, controlFlag | shiftFlag},
       "k",
       "Control+Shift+K",
       "Ctrl+Shift+K",
       "Control+Shift+K",
       "\u2303\u21E7K"},
      {{16, commandFlag | optionFlag},
       "z",
       "Alt+Super+Y",
       "Alt+Super+Z",
       "Option+Command+Y",
       "\u2325\u2318Z"},
      {{41, 0}, "\u00F6", ";", "\u00D6", ";", "\u00D6"},
      {{96, shiftFlag}, "", "Shift+F5", "Shift+F5", "Shift+F5", "\u21E7F5"},
      {{49, 0}, " ", "Space", "Space", "Space", "Space"},
      {{89, 0}, "", "Numpad7", "Numpad7", "Numpad7", "Numpad7"},
      // The keypad's keys never look like the top rows' (Numpad7 is not 7, NumpadDivide not /).
      {{89, 0}, "7", "Numpad7", "Num 7", "Numpad7", "Keypad 7"},
      {{75, controlFlag},
       "/",
       "Control+NumpadDivide",
       "Ctrl+Num /",
       "Control+NumpadDivide",
       "\u2303Keypad /"},
      {{76, 0}, "\r", "NumpadEnter", "NumpadEnter", "NumpadEnter", "NumpadEnter"},
      // A dead key by its accent's spacing character, as the layout's key cap shows it.
      {{50, 0}, "^", "`", "^", "`", "^"},
      {{mouseBackButton, controlFlag},
       "",
       "Control+MouseBack",
       "Ctrl+Mouse4",
       "Control+MouseBack",
       "\u2303Mouse4"},
      {{modifiersOnly, optionFlag, rightOptionFlag, sideFlagsOf(optionFlag)},
       "",
       "AltRight",
       "Right Alt",
       "OptionRight",
       "Right \u2325"},
      {{modifiersOnly, fnFlag, fnFlag, fnFlag}, "", "Fn", "Fn", "Fn", "Fn"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(acceleratorText(row.accel, false), row.text);
    EXPECT_EQ(acceleratorLabel(row.accel, false, row.character), row.label) << row.text;
    EXPECT_EQ(acceleratorText(row.accel, true), row.macText);
    EXPECT_EQ(acceleratorLabel(row.accel, true, row.character), row.macLabel) << row.text;
  }
}

// Letters beyond Latin-1 get their upper case, on every machine alike (no locale is read).
TEST(DescribeTest, LabelsUpperCaseTheLettersOfEveryScriptLayoutsType) {
  const struct {
    const char* typed;
    const char* shown;
  } rows[] = {
      {"\u043B", "\u041B"},  // Russian л
      {"\u0451", "\u0401"},  // Russian ё
      {"\u0491", "\u0490"},  // Ukrainian ґ
      {"\u011B", "\u011A"},  // Czech ě
      {"\u0159", "\u0158"},  // Czech ř
      {"\u017E", "\u017D"},  // Czech ž
      {"\u016F", "\u016E"},  // Czech ů
      {"\u0142", "\u0141"},  // Polish ł
      {"\u0131", "I"},       // Turkish ı
      {"\u015F", "\u015E"},  // Turkish ş
      {"\u011F", "\u011E"},  // Turkish ğ
      {"\u03C2", "\u03A3"},  // Greek final ς
      {"\u03B8", "\u0398"},  // Greek θ
      {"\u03AC", "\u0386"},  // Greek ά
      {"\u0561", "\u0531"},  // Armenian ա
      {"\u1EA1", "\u1EA0"},  // Vietnamese ạ
      {"\u00FF", "\u0178"},  // ÿ
      {"\u00DF", "\u00DF"},  // ß has no single upper case letter
      {"\u00F7", "\u00F7"},  // ÷ is no letter
      {"\u05D0", "\u05D0"},  // Hebrew has no case
      {"\u0416", "\u0416"},  // upper case already
  };
  for (const auto& row : rows) {
    EXPECT_EQ(acceleratorLabel({38, controlFlag}, false, row.typed),
              std::string("Ctrl+") + row.shown)
        << row.typed;
  }
}

class CaptureTest : public testing::Test {
 protected:
  void SetUp() override {
    fakeReset();
    options.capture = true;
    options.extendedKeys = true;
    options.mouseButtons = true;
    commandOrControl = controlFlag;  // words as on Linux and Windows
    buildKeyCodes();
  }

  std::vector<json> after(std::string_view line) {
    handle(line);
    return output.lines();
  }
  std::vector<json> press(int64_t keyCode, uint64_t flags, bool down = true) {
    Event event{keyCode, 0, flags};
    fakeDeliver(down ? keyDownEvent : keyUpEvent, &event);
    return output.lines();
  }

  CapturedOutput output;
};

json captured(std::string_view text, std::string_view label) {
  return {{"t", "captured"}, {"d", {{"accelerator", text}, {"label", label}}}};
}

// The modifiers held, as a capture tells them while they change.
std::vector<json> held(std::string_view text, std::string_view label) {
  return {{{"t", "capture_held"}, {"d", {{"accelerator", text}, {"label", label}}}}};
}

TEST_F(CaptureTest, OneChordEndsItWhileRegisteredAcceleratorsRest) {
  fake.characters[40] = "k";
  EXPECT_EQ(after(R"({"t":"register","d":{"accelerator":"F5"}})").size(), 1u);
  press(96, 0);  // F5 held into the capture
  output.lines();
  const json capturing{{"t", "capturing"}, {"d", json::object()}};
  EXPECT_EQ(after(R"({"t":"capture","d":{}})"), std::vector<json>{capturing});
  EXPECT_EQ(after(R"({"t":"capture","d":{}})"), std::vector<json>{capturing});
  // F5's hold ends; unnamed keys and modifiers are passed over; the keyed chord ends it.
  EXPECT_EQ(press(96, 0, false)[0]["t"], "up");
  EXPECT_TRUE(press(0x10FF, 0).empty());
  EXPECT_EQ(press(59, controlFlag | leftControlFlag), held("Control", "Ctrl"));
  EXPECT_EQ(press(40, controlFlag | leftControlFlag),
            std::vector<json>{captured("Control+K", "Ctrl+K")});
  // Over: F5 fires again.
  EXPECT_EQ(press(96, 0)[0]["t"], "down");
}

TEST_F(CaptureTest, ModifiersAloneEndItAtTheirFirstRelease) {
  after(R"({"t":"capture","d":{}})");
  EXPECT_EQ(press(59, controlFlag | leftControlFlag), held("Control", "Ctrl"));
  EXPECT_EQ(press(56, controlFlag | shiftFlag | leftControlFlag | leftShiftFlag),
            held("Control+Shift", "Ctrl+Shift"));
  EXPECT_EQ(press(56, controlFlag | leftControlFlag, false),
            std::vector<json>{captured("ControlLeft+ShiftLeft", "Left Ctrl+Left Shift")});
  after(R"({"t":"capture","d":{}})");
  EXPECT_EQ(press(mouseForwardButton, shiftFlag),
            std::vector<json>{captured("Shift+MouseForward", "Shift+Mouse5")});
}

// A chord with Fn held has no text that matches it: Fn parses only alone, and a text without
// it would fire whenever the key is typed.
TEST_F(CaptureTest, ChordsWithFnArePassedOver) {
  after(R"({"t":"capture","d":{}})");
  fake.keysDown.insert(63);  // Fn, as the platform's own record has it
  EXPECT_TRUE(press(63, fnFlag).empty());
  EXPECT_TRUE(press(14, fnFlag).empty());  // Fn+E, the emoji picker
  EXPECT_EQ(press(59, fnFlag | controlFlag | leftControlFlag), held("Control", "Ctrl"));
  EXPECT_EQ(press(59, fnFlag, false), held("", ""));  // Fn+Control let go
  fake.keysDown.erase(63);
  EXPECT_EQ(press(63, 0, false).size(), 0u);
  EXPECT_EQ(press(14, 0), std::vector<json>{captured("E", "E")});
}

// Keys pressed while a capture runs still count for the modifier-only holds.
TEST_F(CaptureTest, HoldsKeepTheirRecordWhileACaptureRuns) {
  after(R"({"t":"register","d":{"accelerator":"AltRight"}})");
  EXPECT_EQ(press(61, optionFlag | rightOptionFlag)[0]["t"], "down");
  after(R"({"t":"capture","d":{}})");
  EXPECT_EQ(press(40, optionFlag | rightOptionFlag)[0]["t"], "captured");
  press(40, optionFlag | rightOptionFlag, false);
  EXPECT_EQ(press(61, 0, false)[0]["d"]["alone"], false);  // a chord, not a tap
  // A key pressed during a capture and still down keeps a modifier-only hotkey from firing.
  after(R"({"t":"capture","d":{}})");
  fake.keysDown.insert(0);
  EXPECT_EQ(press(0, 0)[0]["t"], "captured");  // A, held on
  EXPECT_TRUE(press(61, optionFlag | rightOptionFlag).empty());
}

TEST_F(CaptureTest, ModifiersAloneUnderSecureInputArePassedOver) {
  fake.keyPressesHidden = true;  // the K of Command+K never reached keytap
  after(R"({"t":"capture","d":{}})");
  EXPECT_EQ(press(55, commandFlag | leftCommandFlag), held("Super", "Super"));
  EXPECT_EQ(press(55, 0, false), held("", ""));
  EXPECT_EQ(press(55, commandFlag | leftCommandFlag), held("Super", "Super"));
  fake.keyPressesHidden = false;  // off before the release: Command+Tab out of a password field
  EXPECT_EQ(press(55, 0, false), held("", ""));
  EXPECT_EQ(press(55, commandFlag | leftCommandFlag), held("Super", "Super"));
  EXPECT_EQ(press(55, 0, false)[0]["t"], "captured");
}

TEST_F(CaptureTest, CancelAndDescribe) {
  after(R"({"t":"capture","d":{}})");
  const json cancelled{{"t", "capture_cancelled"}, {"d", json::object()}};
  EXPECT_EQ(after(R"({"t":"cancel_capture","d":{}})"), std::vector<json>{cancelled});
  EXPECT_EQ(after(R"({"t":"cancel_capture","d":{}})"), std::vector<json>{cancelled});
  EXPECT_TRUE(press(40, 0).empty());
  fake.characters[16] = "z";
  EXPECT_EQ(after(R"({"t":"describe","d":{"accelerator":"ctrl+y"}})"),
            (std::vector<json>{
                {{"t", "described"}, {"d", {{"accelerator", "ctrl+y"}, {"label", "Ctrl+Z"}}}}}));
  // Who holds a chord already, where the platform can tell.
  fake.holders[40] = ChordHolder::anotherProgram;
  EXPECT_EQ(after(R"({"t":"describe","d":{"accelerator":"Control+K"}})")[0]["d"]["taken"],
            "another program");
  EXPECT_EQ(after(R"({"t":"describe","d":{"accelerator":"Ctrl+Nope"}})")[0]["d"]["message"],
            "unknown accelerator: Ctrl+Nope");
}

// AltGr with a key it types through is typing (AltGr+Q is @ on German): passed over, and the
// capture goes on. Left Alt, and AltGr with a key it types nothing on, still end it.
TEST_F(CaptureTest, AltGrTypingIsPassedOver) {
  fake.altGrTyping = {12};
  after(R"({"t":"capture","d":{}})");
  EXPECT_EQ(press(61, optionFlag | rightOptionFlag), held("Alt", "Alt"));
  EXPECT_TRUE(press(12, optionFlag | rightOptionFlag).empty());
  EXPECT_EQ(press(96, optionFlag | rightOptionFlag),
            std::vector<json>{captured("Alt+F5", "Alt+F5")});
  after(R"({"t":"capture","d":{}})");
  EXPECT_EQ(press(12, optionFlag | leftOptionFlag), std::vector<json>{captured("Alt+Q", "Alt+Q")});
}

// Without --capture the words stay unknown, and a payload without an accelerator malformed.
TEST_F(CaptureTest, WithoutTheOptionNothingChanges) {
  options.capture = false;
  EXPECT_EQ(after(R"({"t":"capture","d":{}})")[0]["d"]["message"], "malformed command");
  EXPECT_EQ(after(R"({"t":"describe","d":{"accelerator":"K"}})")[0]["d"]["message"],
            "unknown command: describe");
}

}  // namespace
