// keytap's macOS sources against the model of the Apple calls they make (tests/macos/model): the
// cases only macOS has. The key cases every road shares run here too, from keys_test.cpp.
#include "support/macos_model.h"
#include "e2e/e2e.h"

namespace {

using nlohmann::json;
using Said = std::vector<std::string>;

// macOS virtual key codes.
constexpr int f5 = 96, w = 13, grave = 50, isoSection = 10;
constexpr int leftShift = 56, rightOption = 61, fn = 63;
constexpr int f9 = 101, f10 = 109, k = 40;

std::string consumed(std::string_view text) {
  return json{{"t", "register"}, {"d", {{"accelerator", text}, {"consume", true}}}}.dump() + "\n";
}

class MacosModelTest : public testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(readErrors(keytap), ""); }

  // keytap with the arguments, on a system that starts as `setup` says.
  void start(const std::vector<std::string>& args, const std::vector<std::string>& setup = {},
             const std::string& permission = "granted") {
    model = listenForModel();
    ASSERT_NE(model, nullptr);
    std::optional<Child> started = spawnKeytap(args, "", modelEnvironment(*model));
    ASSERT_TRUE(started.has_value());
    keytap = std::move(*started);
    ASSERT_TRUE(startModel(*model, setup));
    if (!permission.empty()) expectReady(keytap, permission);
  }

  void registerText(const std::string& text) {
    ASSERT_TRUE(sendText(keytap, command("register", text)));
    ASSERT_EQ(nextMessage(keytap), reply("registered", text));
  }

  void registerKept(const std::string& text) {
    ASSERT_TRUE(sendText(keytap, consumed(text)));
    ASSERT_EQ(nextMessage(keytap), reply("registered", text));
  }

  void tell(const std::string& command) { ASSERT_EQ(tellModel(*model, command), "ok") << command; }
  void tap(int keyCode, const std::string& options = "") {
    tell("key " + std::to_string(keyCode) + " down " + options);
    tell("key " + std::to_string(keyCode) + " up " + options);
  }

  // The messages before the marker's reply, as "type:accelerator", "status:true|false".
  Said said() {
    Said said;
    for (const json& message : messagesBeforeMarker(keytap)) {
      const json& payload = message["d"];
      said.push_back(message["t"].get<std::string>() + ":" +
                     (payload.contains("accelerator") ? payload["accelerator"].get<std::string>()
                                                      : payload["listening"].dump()));
    }
    return said;
  }

  // The message that ends a capture; the modifiers held that it told meanwhile go to heldSaid,
  // as "accelerator label".
  json captureEnd() {
    json message = nextMessage(keytap);
    for (; message["t"] == "capture_held"; message = nextMessage(keytap)) {
      heldSaid.push_back(message["d"]["accelerator"].get<std::string>() + " " +
                         message["d"]["label"].get<std::string>());
    }
    return message;
  }

  std::unique_ptr<ModelChannel> model;
  Child keytap;
  Said heldSaid;
};

TEST_F(MacosModelTest, ModifiersAloneFromFlagsChangedEvents) {
  start({"--no-prompt", "--extended-keys"});
  registerText("RightAlt");
  registerText("ShiftLeft");
  tap(rightOption);
  tap(leftShift);
  // Posted by software with the generic bit alone, neither side's.
  tell("key 61 down flags=0x80000");
  tell("key 61 up flags=0");
  EXPECT_EQ(said(), (Said{"down:RightAlt", "up:RightAlt", "down:ShiftLeft", "up:ShiftLeft",
                          "down:RightAlt", "up:RightAlt"}));
}

// The system answers "up" for Fn whatever it does, and a held key repeats: neither is a release.
TEST_F(MacosModelTest, FnAndARepeatingKeyHeldThroughStaleHoldChecks) {
  start({"--no-prompt", "--extended-keys", "--release-stale-holds"});
  registerText("Fn");
  registerText("F5");
  tell("key 63 down");
  tap(w);
  tell("key 96 down");
  tell("key 96 down");
  EXPECT_EQ(said(), (Said{"down:Fn", "down:F5"}));
  tell("key 96 up");
  tell("key 63 up");
  EXPECT_EQ(said(), (Said{"up:F5", "up:Fn"}));
}

// Which keyboards are ISO is the system's answer, for any keyboard type.
TEST_F(MacosModelTest, IsoKeyboardsByTheSystemsLayoutType) {
  start({"--no-prompt", "--extended-keys"}, {"keyboard 88 iso"});
  registerText("IntlBackslash");
  registerText("`");
  tell("keyboard 88 current");
  tap(grave);
  tap(isoSection);
  tell("keyboard 40 current");
  tap(grave);
  EXPECT_EQ(said(),
            (Said{"down:IntlBackslash", "up:IntlBackslash", "down:`", "up:`", "down:`", "up:`"}));
}

TEST_F(MacosModelTest, ATapSwitchedOffIsSwitchedOnAgain) {
  start({"--no-prompt", "--status"});
  registerText("F5");
  tell("disable keys timeout");
  tell("disable keys user-input");
  tap(f5);
  EXPECT_EQ(said(), (Said{"status:false", "status:true", "status:false", "status:true", "down:F5",
                          "up:F5"}));
}

// The mouse tap switched off says nothing of the keyboard: Fn stays held, keytap listening.
TEST_F(MacosModelTest, TheMouseTapSwitchedOffLeavesTheKeysAlone) {
  start({"--no-prompt", "--extended-keys", "--mouse-buttons", "--release-stale-holds", "--status"});
  registerText("Fn");
  registerText("Mouse4");
  tell("key 63 down");
  tell("disable buttons timeout");
  tell("button 3 down");
  tell("button 3 up");
  EXPECT_EQ(said(), (Said{"down:Fn", "down:Mouse4", "up:Mouse4"}));
}

TEST_F(MacosModelTest, AMouseTapThatFailedToOpenIsTriedAgain) {
  start({"--no-prompt", "--mouse-buttons"});
  registerText("F5");
  tell("taps fail");
  registerText("Mouse4");
  tell("taps open");
  registerText("Mouse5");
  tell("button 3 down");
  tell("button 3 up");
  EXPECT_EQ(said(), (Said{"down:Mouse4", "up:Mouse4"}));
}

// Without the permission macOS would open a tap that hears modifiers only (as documented) or none
// (as measured): either way keytap waits for the permission, and the first register after the
// grant opens a tap that hears keys.
TEST_F(MacosModelTest, DeniedAtStartThenGranted) {
  for (const char* denied : {"denied-key-tap cleared", "denied-key-tap null"}) {
    start({"--extended-keys"}, {"permission denied", denied}, "denied");
    EXPECT_EQ(tellModel(*model, "requests"), "ok 1");
    ASSERT_TRUE(sendText(keytap, command("register", "F5")));
    EXPECT_EQ(nextMessage(keytap), errorReply("forbidden", "Input Monitoring denied")) << denied;
    tell("permission granted");
    registerText("F5");
    tap(f5);
    EXPECT_EQ(said(), (Said{"down:F5", "up:F5"})) << denied;
    closeInput(keytap);
    EXPECT_EQ(waitForExit(keytap, replyTimeoutMs), 0);
  }
}

// The preflight may go on saying no after the grant while a tap would open: the tap is tried all
// the same and kept once it hears keys. A denied tap that hears modifiers only is given back.
TEST_F(MacosModelTest, GrantedWhileThePreflightStillSaysNo) {
  for (const char* denied : {"denied-key-tap cleared", "denied-key-tap null"}) {
    start({"--extended-keys"}, {"permission denied", denied}, "denied");
    ASSERT_TRUE(sendText(keytap, command("register", "F5")));
    EXPECT_EQ(nextMessage(keytap), errorReply("forbidden", "Input Monitoring denied")) << denied;
    EXPECT_EQ(tellModel(*model, "taps installed"), "ok 0") << denied;
    EXPECT_EQ(tellModel(*model, "taps held"), "ok 0") << denied;
    tell("permission granted");
    tell("preflight stale");
    registerText("F5");
    tap(f5);
    EXPECT_EQ(said(), (Said{"down:F5", "up:F5"})) << denied;
    EXPECT_EQ(tellModel(*model, "requests"), "ok 1") << denied;
    closeInput(keytap);
    EXPECT_EQ(waitForExit(keytap, replyTimeoutMs), 0);
  }
}

// The keyboard tap switched off says nothing of Fn's release: a held Fn stays held.
TEST_F(MacosModelTest, FnStaysHeldThroughTheKeyTapSwitchedOff) {
  start({"--no-prompt", "--extended-keys", "--release-stale-holds"});
  registerText("Fn");
  tell("key 63 down");
  tell("disable keys timeout");
  tap(w);
  EXPECT_EQ(said(), (Said{"down:Fn"}));
  tell("key 63 up");
  EXPECT_EQ(said(), (Said{"up:Fn"}));
}

// A modifier key's release is told by its own side's bit, though the other side keeps the
// generic bit held.
TEST_F(MacosModelTest, AModifierReleasedWhileTheOtherSideIsHeld) {
  start({"--no-prompt", "--extended-keys"});
  registerText("ShiftLeft");
  tell("key 56 down");
  tell("key 60 down");
  tell("key 56 up");
  EXPECT_EQ(said(), (Said{"down:ShiftLeft", "up:ShiftLeft"}));
}

// A held mouse button is asked of the button state, not of the key with its number.
TEST_F(MacosModelTest, AMouseButtonHeldThroughStaleHoldChecks) {
  start({"--no-prompt", "--mouse-buttons", "--release-stale-holds"});
  registerText("Mouse4");
  tell("button 3 down");
  tap(w);
  EXPECT_EQ(said(), (Said{"down:Mouse4"}));
  tell("button 3 up");
  EXPECT_EQ(said(), (Said{"up:Mouse4"}));
}

// Fn let go while the keyboard tap was off: the next key, typed without Fn's bit, tells it.
TEST_F(MacosModelTest, FnReleasedWhileTheKeyTapWasOffEndsAtTheNextKey) {
  start({"--no-prompt", "--extended-keys", "--release-stale-holds"});
  registerText("Fn");
  tell("key 63 down");
  tell("key 63 up unheard");
  tell("disable keys timeout");
  tap(w);
  EXPECT_EQ(said(), (Said{"down:Fn", "up:Fn"}));
}

// A settings screen records chords as a Mac writes and shows them, in the current layout.
TEST_F(MacosModelTest, CaptureInMacWordsAndTheCurrentLayout) {
  start({"--no-prompt", "--extended-keys", "--mouse-buttons", "--capture"}, {"layout de"});
  const auto captureNext = [&](const std::vector<std::string>& commands) {
    EXPECT_TRUE(sendText(keytap, R"({"t":"capture","d":{}})"
                                 "\n"));
    EXPECT_EQ(nextMessage(keytap)["t"], "capturing");
    for (const std::string& command : commands) tell(command);
    const json captured = captureEnd();
    return captured["d"]["accelerator"].get<std::string>() + " " +
           captured["d"]["label"].get<std::string>();
  };
  EXPECT_EQ(captureNext({"key 59 down", "key 16 down", "key 16 up", "key 59 up"}),
            "Control+Y \u2303Z");
  EXPECT_EQ(captureNext({"key 61 down", "key 61 up"}), "OptionRight Right \u2325");
  EXPECT_EQ(captureNext({"button 3 down", "button 3 up"}), "MouseBack Mouse4");
  EXPECT_EQ(heldSaid, (Said{"Control \u2303", "Option \u2325"}));
}

// Secure Input keeps key presses from keytap but not modifier changes: a hold cannot know it was
// alone, and modifiers let go are no chord of their own; nor is Fn with a key.
TEST_F(MacosModelTest, WhatSecureInputAndFnHideFromHoldsAndCaptures) {
  start({"--no-prompt", "--extended-keys", "--capture"}, {"secure-input 4242 loginwindow"});
  registerText("RightAlt");
  for (const char* step : {"key 61 down", "key 37 down", "key 37 up", "key 61 up"}) tell(step);
  const std::vector<json> typed = messagesBeforeMarker(keytap);
  ASSERT_EQ(typed.size(), 2u);
  EXPECT_EQ(typed[1]["d"]["alone"], false);  // Right Option+L, an @ on a German Mac
  EXPECT_TRUE(sendText(keytap, R"({"t":"capture","d":{}})"
                               "\n"));
  EXPECT_EQ(nextMessage(keytap)["t"], "capturing");
  for (const char* step : {"key 55 down", "key 40 down", "key 40 up", "key 55 up"}) tell(step);
  for (const char* step : {"secure-input off", "key 63 down", "key 14 down", "key 14 up",
                           "key 63 up", "key 59 down", "key 59 up"}) {
    tell(step);  // Fn+E, the emoji picker, passed over too
  }
  EXPECT_EQ(captureEnd()["d"]["accelerator"], "ControlLeft");
}

// Labels ask one keyboard type for both questions, where its ISO keys are and what they type: an
// ISO keyboard's key beside left Shift says German's < from the start, before any key is pressed.
// An input method with no 'uchr' data (Zhuyin) gives way to the ASCII-capable layout used last.
TEST_F(MacosModelTest, LabelsFromOneKeyboardTypeAndAnInputMethodsLayout) {
  start({"--no-prompt", "--extended-keys", "--capture"},
        {"layout de", "keyboard 41 iso", "keyboard 41 current"});
  const auto label = [&](const std::string& text) {
    EXPECT_TRUE(sendText(keytap, command("describe", text)));
    return nextMessage(keytap)["d"].value("label", "");
  };
  EXPECT_EQ(label("IntlBackslash"), "<");
  EXPECT_EQ(label("`"), "^");  // dead keys, by the accent they wait with
  EXPECT_EQ(label("="), "\u00B4");
  EXPECT_EQ(label("Numpad7"), "Keypad 7");
  EXPECT_EQ(label("NumpadDecimal"), "Keypad ,");
  tell("layout zhuyin");
  EXPECT_EQ(label("Control+Y"), "\u2303Z");
  tell("layout us");
  tell("layout zhuyin");
  EXPECT_EQ(label("Control+Y"), "\u2303Y");
}

// Without --extended-keys modifier keys reach no accelerator, but a capture knows Fn's state.
TEST_F(MacosModelTest, ACapturePassesOverFnChordsWithoutExtendedKeys) {
  start({"--no-prompt", "--capture"});
  EXPECT_TRUE(sendText(keytap, R"({"t":"capture","d":{}})"
                               "\n"));
  EXPECT_EQ(nextMessage(keytap)["t"], "capturing");
  for (const char* step :
       {"key 63 down", "key 122 down", "key 122 up", "key 14 down", "key 14 up", "key 63 up"}) {
    tell(step);  // Fn+F1, Fn+E
  }
  tap(40);
  EXPECT_EQ(nextMessage(keytap)["d"]["accelerator"], "K");
}

// Fn let go while the keyboard tap was off is no Fn chord: the next key typed is captured.
TEST_F(MacosModelTest, ACaptureAfterFnWasLetGoUnheard) {
  start({"--no-prompt", "--extended-keys", "--capture"});
  tell("key 63 down");
  tell("key 63 up unheard");
  tell("disable keys timeout");
  EXPECT_TRUE(sendText(keytap, R"({"t":"capture","d":{}})"
                               "\n"));
  EXPECT_EQ(nextMessage(keytap)["t"], "capturing");
  tap(40);
  tap(leftShift);  // tells Fn's state again, which ends the capture where K was passed over
  EXPECT_EQ(nextMessage(keytap)["d"]["accelerator"], "K");
}

TEST_F(MacosModelTest, DoctorNamesTheSecureInputHolder) {
  start({"--doctor"}, {"secure-input 4242 loginwindow"}, "");
  std::string report;
  for (std::optional<std::string> line = readLine(keytap, replyTimeoutMs); line;
       line = readLine(keytap, replyTimeoutMs)) {
    report += *line + "\n";
  }
  EXPECT_NE(report.find("Input Monitoring: Granted"), std::string::npos) << report;
  EXPECT_NE(report.find("Secure Input: On, held by process 4242 (loginwindow)"), std::string::npos)
      << report;
  EXPECT_EQ(waitForExit(keytap, replyTimeoutMs), 0);
}

// --consume: what keytap keeps never reaches the app in front, autorepeats and release with it,
// while keytap says down and up as ever.
TEST_F(MacosModelTest, AKeptKeyNeverReachesTheApp) {
  start({"--no-prompt", "--consume"});
  registerKept("F9");
  tell("key 101 down");
  tell("key 101 down");
  tell("key 101 up");
  EXPECT_EQ(said(), (Said{"down:F9", "up:F9"}));
  EXPECT_EQ(tellModel(*model, "app"), "ok");
}

// Only the chord's key is kept, and only with exactly its modifiers.
TEST_F(MacosModelTest, AKeptChordLeavesTheAppItsModifiers) {
  start({"--no-prompt", "--consume"});
  registerKept("Control+Shift+K");
  for (const char* step :
       {"key 59 down", "key 56 down", "key 40 down", "key 40 up", "key 56 up", "key 59 up"}) {
    tell(step);
  }
  tap(k);
  EXPECT_EQ(said(), (Said{"down:Control+Shift+K", "up:Control+Shift+K"}));
  EXPECT_EQ(tellModel(*model, "app"),
            "ok key 59 down, key 56 down, key 56 up, key 59 up, key 40 down, key 40 up");
}

// A registration without consume takes nothing, and with none kept no tap may hold back events;
// a keep adds one that does, after the listening tap, which stays as it was.
TEST_F(MacosModelTest, ARegistrationWithoutConsumePasses) {
  start({"--no-prompt", "--consume"});
  registerText("F10");
  EXPECT_EQ(tellModel(*model, "taps active"), "ok 0");
  registerKept("F9");
  EXPECT_EQ(tellModel(*model, "taps active"), "ok 1");
  EXPECT_EQ(tellModel(*model, "taps installed"), "ok 2");
  tap(f10);
  tap(f9);
  EXPECT_EQ(said(), (Said{"down:F10", "up:F10", "down:F9", "up:F9"}));
  EXPECT_EQ(tellModel(*model, "app"), "ok key 109 down, key 109 up");
}

// Unregistered while held, the kept press keeps its release; then the key is the app's again
// and no tap holds back events.
TEST_F(MacosModelTest, UnregisterGivesTheKeyBack) {
  start({"--no-prompt", "--consume"});
  registerKept("F9");
  tell("key 101 down");
  ASSERT_EQ(nextMessage(keytap)["t"], "down");
  ASSERT_TRUE(sendText(keytap, command("unregister", "F9")));
  ASSERT_EQ(nextMessage(keytap), reply("unregistered", "F9"));
  tell("key 101 up");
  EXPECT_EQ(tellModel(*model, "app"), "ok");
  tap(f9);
  EXPECT_EQ(tellModel(*model, "app"), "ok key 101 down, key 101 up");
  EXPECT_EQ(tellModel(*model, "taps active"), "ok 0");
}

// Keeping needs Accessibility, asked each time: granted later, the next register keeps.
TEST_F(MacosModelTest, AccessibilityDeniedIsForbidden) {
  start({"--no-prompt", "--consume"}, {"accessibility denied"});
  ASSERT_TRUE(sendText(keytap, consumed("F9")));
  EXPECT_EQ(nextMessage(keytap), errorReply("forbidden", "Accessibility denied: F9"));
  tell("accessibility granted");
  registerKept("F10");
  tap(f10);
  EXPECT_EQ(tellModel(*model, "app"), "ok");
}

// A slow active tap is switched off by the system, which hands its events on meanwhile: keytap
// switches it on again, and keeps its keys again.
TEST_F(MacosModelTest, TheActiveTapSwitchedOffComesBack) {
  start({"--no-prompt", "--consume"});
  registerKept("F9");
  tell("disable keys timeout");
  tap(f9);
  EXPECT_EQ(said(), (Said{"down:F9", "up:F9"}));
  EXPECT_EQ(tellModel(*model, "app"), "ok");
}

// Accessibility taken away while a key is kept: macOS would hold up every event behind the active
// tap until it switches it off, again and again; at the first switch-off keytap keeps nothing.
TEST_F(MacosModelTest, AccessibilityTakenAwayEndsTheKeeping) {
  start({"--no-prompt", "--consume"});
  registerKept("F9");
  tell("accessibility denied");
  tell("disable keys timeout");
  tap(f9);
  EXPECT_EQ(said(), (Said{"down:F9", "up:F9"}));
  EXPECT_EQ(tellModel(*model, "app"), "ok key 101 down, key 101 up");
  EXPECT_EQ(tellModel(*model, "taps active"), "ok 0");
}

// Buttons are kept by the mouse tap; the other buttons still reach the app.
TEST_F(MacosModelTest, AKeptMouseButtonNeverReachesTheApp) {
  start({"--no-prompt", "--consume", "--mouse-buttons"});
  registerKept("MouseBack");
  for (const char* step :
       {"button 3 down", "move", "button 3 up", "button 2 down", "move", "button 2 up"}) {
    tell(step);
  }
  EXPECT_EQ(said(), (Said{"down:MouseBack", "up:MouseBack"}));
  EXPECT_EQ(tellModel(*model, "app"), "ok button 2 down, drag 2, button 2 up");
}

TEST_F(MacosModelTest, DoctorSaysAccessibilityWithConsume) {
  start({"--doctor", "--consume"}, {"accessibility denied"}, "");
  std::string report;
  for (std::optional<std::string> line = readLine(keytap, replyTimeoutMs); line;
       line = readLine(keytap, replyTimeoutMs)) {
    report += *line + "\n";
  }
  EXPECT_NE(report.find("Accessibility: Not granted"), std::string::npos) << report;
  EXPECT_EQ(waitForExit(keytap, replyTimeoutMs), 0);
}

// The system's symbolic hotkeys that are on (Spotlight's Command+Space) are "taken"; one switched
// off (Option+Command+Space) is not. Without --extended-keys the modifiers held are told too.
TEST_F(MacosModelTest, EnabledSymbolicHotKeysAreTakenBySystem) {
  start({"--no-prompt", "--capture"});
  const struct {
    const char* text;
    const char* label;
    const char* taken;  // null: no member
  } rows[] = {{"Command+Space", "\u2318Space", "system"},
              {"Option+Command+Space", "\u2325\u2318Space", nullptr}};
  for (const auto& row : rows) {
    ASSERT_TRUE(sendText(keytap, command("describe", row.text)));
    EXPECT_EQ(nextMessage(keytap), described(row.text, row.label, row.taken));
  }
  EXPECT_TRUE(sendText(keytap, R"({"t":"capture","d":{}})"
                               "\n"));
  EXPECT_EQ(nextMessage(keytap)["t"], "capturing");
  for (const char* step : {"key 55 down", "key 49 down", "key 49 up", "key 55 up"}) tell(step);
  EXPECT_EQ(
      captureEnd(),
      (json{{"t", "captured"},
            {"d",
             {{"accelerator", "Command+Space"}, {"label", "\u2318Space"}, {"taken", "system"}}}}));
  EXPECT_EQ(heldSaid, Said{"Command \u2318"});
}

}  // namespace
