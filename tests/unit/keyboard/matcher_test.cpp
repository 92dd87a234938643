#include <gtest/gtest.h>

#include <map>

#include "accelerator/parse.h"
#include "core/key_table.h"
#include "core/registry.h"
#include "keyboard/tap.h"
#include "platform/macos/key_events.h"
#include "support/capture.h"
#include "support/fake_platform.h"
#include "wire/emit.h"

namespace {

using nlohmann::json;

constexpr uint16_t keyK = 40, keyJ = 38, keyF5 = 96;
constexpr uint64_t cmd = commandFlag, shift = shiftFlag;

class MatcherTest : public testing::Test {
 protected:
  void SetUp() override {
    fakeReset();
    ASSERT_TRUE(createTap());
  }

  static void add(const std::string& text) { addRegistration(text, *parse(text)); }

  static void press(uint16_t key, uint64_t flags, bool autorepeat = false) {
    Event event{key, autorepeat ? 1 : 0, flags};
    ASSERT_EQ(fakeDeliver(keyDownEvent, &event), &event);
  }

  static void release(uint16_t key, uint64_t flags = 0) {
    Event event{key, 0, flags};
    ASSERT_EQ(fakeDeliver(keyUpEvent, &event), &event);
  }

  // The messages since the last call, as "down:text" / "up:text".
  std::vector<std::string> said() {
    std::vector<std::string> messages;
    for (const json& line : output.lines()) {
      EXPECT_TRUE(line["d"]["at"].is_number_float());
      messages.push_back(line["t"].get<std::string>() + ":" +
                         line["d"]["accelerator"].get<std::string>());
      if (line["d"].contains("alone")) alone.push_back(line["d"]["alone"].get<bool>());
    }
    return messages;
  }

  CapturedOutput output;
  std::vector<bool> alone;  // the "alone" of every "up" that had one, in order
};

using Said = std::vector<std::string>;

TEST_F(MatcherTest, OneHoldGivesOneDownAndOneUp) {
  add("Cmd+Shift+K");
  press(keyK, cmd | shift);
  EXPECT_EQ(said(), (Said{"down:Cmd+Shift+K"}));
  press(keyK, cmd | shift, true);
  press(keyK, cmd | shift, true);
  EXPECT_EQ(said(), Said{});
  release(keyK, cmd | shift);
  EXPECT_EQ(said(), (Said{"up:Cmd+Shift+K"}));
  EXPECT_TRUE(held.empty());
}

TEST_F(MatcherTest, ModifiersMustBeExactlyThoseOfTheAccelerator) {
  add("Cmd+K");
  add("F5");
  press(keyK, cmd | shift);
  press(keyK, 0);
  press(keyK, controlFlag);
  press(keyF5, optionFlag);
  EXPECT_EQ(said(), Said{});
  EXPECT_TRUE(held.empty());
  press(keyF5, 0);
  EXPECT_EQ(said(), (Said{"down:F5"}));
}

TEST_F(MatcherTest, CapsLockAndFnFlagsDoNotStopAMatch) {
  add("Cmd+K");
  press(keyK, cmd | fakeCapsLockFlag | fakeFnFlag);
  release(keyK);
  EXPECT_EQ(said(), (Said{"down:Cmd+K", "up:Cmd+K"}));
}

TEST_F(MatcherTest, KeyUpEndsTheHoldWhateverTheModifiers) {
  add("Cmd+K");
  press(keyK, cmd);
  release(keyK, 0);  // Command was let go first
  EXPECT_EQ(said(), (Said{"down:Cmd+K", "up:Cmd+K"}));
}

TEST_F(MatcherTest, ModifierAddedAfterTheKeyGivesNothing) {
  add("Cmd+K");
  press(keyK, 0);
  press(keyK, cmd, true);
  release(keyK, cmd);
  EXPECT_EQ(said(), Said{});
}

TEST_F(MatcherTest, MissedKeyUpKeepsTheAcceleratorDown) {
  add("Cmd+K");
  press(keyK, cmd);
  press(keyK, cmd);  // the key-up in between never arrived
  EXPECT_EQ(said(), (Said{"down:Cmd+K"}));
  release(keyK, shift);
  press(keyK, cmd);
  EXPECT_EQ(said(), (Said{"up:Cmd+K", "down:Cmd+K"}));
}

TEST_F(MatcherTest, EveryMatchingTextGetsItsOwnMessages) {
  add("Cmd+K");
  add("Command+K");
  press(keyK, cmd);
  Said downs = said();
  std::sort(downs.begin(), downs.end());
  EXPECT_EQ(downs, (Said{"down:Cmd+K", "down:Command+K"}));
  release(keyK);
  Said ups = said();
  std::sort(ups.begin(), ups.end());
  EXPECT_EQ(ups, (Said{"up:Cmd+K", "up:Command+K"}));
}

TEST_F(MatcherTest, OnlyTheExactCombinationIsHeld) {
  add("Cmd+K");
  add("Cmd+Shift+K");
  press(keyK, cmd | shift);
  release(keyK, cmd | shift);
  EXPECT_EQ(said(), (Said{"down:Cmd+Shift+K", "up:Cmd+Shift+K"}));
}

TEST_F(MatcherTest, RemovingOneTextOfAKeyLeavesItsOthersMatching) {
  for (const char* text : {"Cmd+K", "cmd+k", "K", "Shift+K", "J"}) add(text);
  removeRegistration("cmd+k");
  removeRegistration("Cmd+K");
  removeRegistration("never registered");
  press(keyK, cmd);
  release(keyK);
  press(keyK, shift);
  release(keyK);
  press(keyK, 0);
  press(keyJ, 0);
  EXPECT_EQ(said(), (Said{"down:Shift+K", "up:Shift+K", "down:K", "down:J"}));
  add("cmd+k");
  EXPECT_EQ(registrationsOf(keyK).size(), 3u);
}

TEST_F(MatcherTest, UnrelatedKeysAndEmptyRegistryGiveNothing) {
  press(keyK, cmd);
  release(keyK);
  add("Cmd+K");
  release(keyK);
  press(keyJ, cmd);
  release(keyJ);
  EXPECT_EQ(said(), Said{});
  EXPECT_TRUE(held.empty());
}

TEST_F(MatcherTest, KeyCodesOutsideSixteenBitsMatchNothing) {
  add("A");  // code 0
  for (int64_t code : {int64_t{65536}, int64_t{-65536}, int64_t{1} << 32, int64_t{-1}}) {
    Event event{code, 0, 0};
    EXPECT_EQ(fakeDeliver(keyDownEvent, &event), &event);
    EXPECT_EQ(fakeDeliver(keyUpEvent, &event), &event);
  }
  EXPECT_EQ(said(), Said{});
}

TEST_F(MatcherTest, OtherEventTypesDoNothing) {
  add("Cmd+K");
  for (uint32_t type : {0u, 1u, 12u, 22u}) {
    Event event{keyK, 0, cmd};
    EXPECT_EQ(fakeDeliver(type, &event), &event);
  }
  EXPECT_EQ(said(), Said{});
}

TEST_F(MatcherTest, EachMessageReadsTheClockAfterChangingHeld) {
  add("Cmd+K");
  add("cmd+k");
  const double before = nowMs();
  press(keyK, cmd);
  const std::vector<json> lines = output.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_GE(lines[0]["d"]["at"].get<double>(), before);
  EXPECT_GE(lines[1]["d"]["at"].get<double>(), lines[0]["d"]["at"].get<double>());
  EXPECT_EQ(held.size(), 2u);
}

// With --extended-keys: modifier keys are events of their own, named by side.
class ExtendedMatcherTest : public MatcherTest {
 protected:
  void SetUp() override {
    MatcherTest::SetUp();
    options.extendedKeys = true;
    buildKeyCodes();
  }

  // Runs steps such as "+RAlt" (press), "*RAlt" (autorepeat), "-RAlt" (release) and "|" (a mark
  // in what is said), with the flags a backend would give, and returns what was said.
  Said run(const std::vector<std::string>& steps) {
    static const std::map<std::string, uint16_t, std::less<>> keys = {
        {"LCtrl", 59}, {"RCtrl", 62}, {"LShift", 56},         {"RShift", 60}, {"LAlt", 58},
        {"RAlt", 61},  {"LCmd", 55},  {"RCmd", 54},           {"Fn", 63},     {"W", 13},
        {"A", 0},      {"K", keyK},   {"M4", mouseBackButton}};
    Said all;
    for (const std::string& step : steps) {
      if (step == "|") {
        for (const std::string& message : said()) all.push_back(message);
        all.push_back("|");
        continue;
      }
      const uint16_t key = keys.at(step.substr(1));
      const bool down = step[0] != '-';
      if (const ModifierKey* modifier = modifierKeyAt(key)) {
        const uint64_t bits = modifier->flag | modifier->sideFlag;
        flags = down ? flags | bits : flags & ~bits;
        // The generic bit stays while the other key of the pair is down.
        for (const ModifierKey& other : modifierKeys) {
          if (flags & other.sideFlag) flags |= other.flag;
        }
      }
      down ? (void)fake.keysDown.insert(key) : (void)fake.keysDown.erase(key);
      down ? press(key, flags, step[0] == '*') : release(key, flags);
    }
    for (const std::string& message : said()) all.push_back(message);
    return all;
  }

  uint64_t flags = 0;
};

TEST_F(ExtendedMatcherTest, HoldsFollowTheModifierKeys) {
  const struct {
    const char* name;
    std::vector<std::string> registrations;
    std::vector<std::string> steps;
    Said expected;
  } rows[] = {
      {"a modifier alone, other keys during it",
       {"RightAlt"},
       {"+RAlt", "+W", "+A", "-W", "*RAlt", "-A", "|", "-RAlt"},
       {"down:RightAlt", "|", "up:RightAlt"}},
      {"another modifier during it",
       {"RightAlt"},
       {"+RAlt", "+LShift", "-LShift", "|", "-RAlt"},
       {"down:RightAlt", "|", "up:RightAlt"}},
      {"Shift first", {"RightAlt"}, {"+LShift", "+RAlt", "-LShift", "-RAlt"}, {}},
      {"both Alt keys", {"RightAlt"}, {"+LAlt", "+RAlt", "-RAlt", "-LAlt"}, {}},
      {"a key down first", {"RightAlt"}, {"+W", "+RAlt", "-RAlt", "-W"}, {}},
      {"either side of a plain word",
       {"Alt"},
       {"+RAlt", "-RAlt", "+LAlt", "-LAlt"},
       {"down:Alt", "up:Alt", "down:Alt", "up:Alt"}},
      {"two modifiers, up with either",
       {"Ctrl+Shift"},
       {"+LCtrl", "+RShift", "|", "-RShift", "+RShift", "|", "-LCtrl", "-RShift"},
       {"down:Ctrl+Shift", "|", "up:Ctrl+Shift", "down:Ctrl+Shift", "|", "up:Ctrl+Shift"}},
      {"beside a hotkey on the same modifier",
       {"RightAlt", "RightAlt+K"},
       {"+RAlt", "+K", "-K", "-RAlt"},
       {"down:RightAlt", "down:RightAlt+K", "up:RightAlt+K", "up:RightAlt"}},
      {"a hotkey on one side",
       {"RightCtrl+K"},
       {"+LCtrl", "+K", "-K", "-LCtrl", "+RCtrl", "+K", "-K", "-RCtrl"},
       {"down:RightCtrl+K", "up:RightCtrl+K"}},
      {"a plain hotkey, either side",
       {"Ctrl+K"},
       {"+RCtrl", "+K", "-K", "-RCtrl"},
       {"down:Ctrl+K", "up:Ctrl+K"}},
      {"Fn alone, and a hotkey under it",
       {"Fn", "Shift+K"},
       {"+Fn", "|", "+LShift", "+K", "-K", "-LShift", "|", "-Fn"},
       {"down:Fn", "|", "down:Shift+K", "up:Shift+K", "|", "up:Fn"}},
  };
  for (const auto& row : rows) {
    SetUp();
    for (const std::string& text : row.registrations) add(text);
    EXPECT_EQ(run(row.steps), row.expected) << row.name;
    EXPECT_TRUE(held.empty()) << row.name;
  }
}

TEST_F(ExtendedMatcherTest, NoHoldIsAloneWhileKeyPressesMayBeHidden) {
  add("RightAlt");
  for (const bool hiddenAtPress : {true, false}) {
    fake.keyPressesHidden = hiddenAtPress;
    run({"+RAlt"});
    fake.keyPressesHidden = !hiddenAtPress;
    run({"-RAlt"});
  }
  EXPECT_EQ(alone, (std::vector<bool>{false, false}));
}

TEST_F(ExtendedMatcherTest, AMissedReleaseOfAModifierIsNoticedOnRequest) {
  options.releaseStaleHolds = true;
  add("RightAlt");
  run({"+RAlt"});
  fake.keysDown.clear();  // Right Alt came up unheard
  EXPECT_EQ(run({"+W"}), (Said{"up:RightAlt"}));
  EXPECT_EQ(run({"-W", "+RAlt", "+RAlt"}), (Said{"down:RightAlt", "up:RightAlt", "down:RightAlt"}));
}

TEST_F(ExtendedMatcherTest, AHeldFnStaysHeldWhereTheSystemCannotSeeFn) {
  options.releaseStaleHolds = true;
  // macOS's key state answers no for Fn; keytap's own Fn state answers instead.
  fake.keyIsDown = [](uint16_t key) {
    return macKeyIsDown(key, fake.keysDown.contains(fnKeyCode), [](uint16_t other) {
      return other != fnKeyCode && fake.keysDown.contains(other);
    });
  };
  add("Fn");
  EXPECT_EQ(run({"+Fn", "+W", "-W", "|", "-Fn"}), (Said{"down:Fn", "|", "up:Fn"}));
}

TEST_F(ExtendedMatcherTest, ButtonsAndWhetherAModifierWasHeldAlone) {
  const struct {
    const char* name;
    std::vector<std::string> registrations;
    std::vector<std::string> steps;
    Said expected;
    std::vector<bool> alone;
  } rows[] = {
      {"a button with exact modifiers",
       {"Shift+Mouse4"},
       {"+M4", "-M4", "+LShift", "+M4", "-LShift", "-M4"},
       {"down:Shift+Mouse4", "up:Shift+Mouse4"},
       {}},
      {"a button during a modifier-only hold",
       {"RightAlt", "RightAlt+Mouse4"},
       {"+RAlt", "+M4", "-M4", "-RAlt"},
       {"down:RightAlt", "down:RightAlt+Mouse4", "up:RightAlt+Mouse4", "up:RightAlt"},
       {false}},
      {"held alone, repeating",
       {"RightCmd"},
       {"+RCmd", "*RCmd", "-RCmd"},
       {"down:RightCmd", "up:RightCmd"},
       {true}},
      {"a chord with a key, then alone",
       {"RightCmd"},
       {"+RCmd", "+K", "-K", "-RCmd", "+RCmd", "-RCmd"},
       {"down:RightCmd", "up:RightCmd", "down:RightCmd", "up:RightCmd"},
       {false, true}},
      {"another modifier makes a chord",
       {"RightAlt"},
       {"+RAlt", "+LShift", "-LShift", "-RAlt"},
       {"down:RightAlt", "up:RightAlt"},
       {false}},
      {"the other key of a plain pair does not",
       {"Alt"},
       {"+RAlt", "+LAlt", "-LAlt", "-RAlt"},
       {"down:Alt", "up:Alt"},
       {true}},
  };
  for (const auto& row : rows) {
    SetUp();
    options.mouseButtons = true;
    buildKeyCodes();
    alone.clear();
    for (const std::string& text : row.registrations) add(text);
    EXPECT_EQ(run(row.steps), row.expected) << row.name;
    EXPECT_EQ(alone, row.alone) << row.name;
    EXPECT_TRUE(held.empty() && chorded.empty()) << row.name;
  }
}

}  // namespace
