// keytap.exe with keys and mouse buttons injected through SendInput by a second process
// (KEYTAP_INJECT): a Windows program itself, run natively by CI's Windows job and under wine by
// make test (tests/windows/run-suite).
#include <windows.h>

#include <cstdlib>
#include <string>

#include "e2e/e2e.h"

namespace {

// Scan codes (set 1) as the injector takes them; "e0" marks an extended key.
constexpr const char* leftControl = "1d";
constexpr const char* rightControl = "e01d";
constexpr const char* leftShift = "2a";
constexpr const char* leftAlt = "38";
constexpr const char* rightAlt = "e038";
constexpr const char* rightWindows = "e05c";
constexpr const char* k = "25";
constexpr const char* left = "e04b";
constexpr const char* w = "11";
constexpr const char* numpad7 = "47";
constexpr const char* home = "e047";
constexpr const char* madeUpShift = "e02a";  // what Windows adds around some extended keys
constexpr const char* pauseByVirtualKey = "vk13";

class WindowsKeysTest : public testing::Test {
 protected:
  void SetUp() override {
    std::optional<Child> started = spawnChild(std::getenv("KEYTAP_INJECT"), {}, "");
    ASSERT_TRUE(started.has_value());
    injector = std::move(*started);
    keytap = startKeytap("", "granted");
  }

  void registerText(const std::string& text) {
    ASSERT_TRUE(sendText(keytap, command("register", text)));
    ASSERT_EQ(nextMessage(keytap), reply("registered", text));
  }

  // Sends each key's event and waits until SendInput has queued it for every listener.
  void keys(const char* action, std::initializer_list<const char*> codes) {
    for (const char* code : codes) together(action, {code});
  }

  // Sends the keys' events in one SendInput, as remote desktops and macro tools send them. The
  // answer says "ok", and after it whether the system's key state was seen to follow.
  void together(const char* action, std::initializer_list<const char*> codes) {
    std::string line = action;
    char separator = ' ';
    for (const char* code : codes) {
      line += separator;
      line += code;
      separator = ',';
    }
    ASSERT_TRUE(sendText(injector, line + "\n"));
    const std::optional<std::string> answer = readLine(injector, replyTimeoutMs);
    ASSERT_TRUE(answer.has_value());
    ASSERT_EQ(answer->substr(0, 2), "ok");
  }

  Child injector;
  Child keytap;
};

using Said = std::vector<std::string>;

TEST_F(WindowsKeysTest, OneHoldGivesOneDownAndOneUp) {
  registerText("CommandOrControl+Shift+K");
  keys("down", {leftControl, leftShift, k, k, k});  // the last two: a held key repeating
  EXPECT_EQ(keysSaid(keytap), (Said{"down:CommandOrControl+Shift+K"}));
  keys("up", {leftShift, leftControl, k});
  EXPECT_EQ(keysSaid(keytap), (Said{"up:CommandOrControl+Shift+K"}));
}

TEST_F(WindowsKeysTest, ModifiersMustMatchExactlyOnEitherSide) {
  registerText("Ctrl+K");
  registerText("Super+Left");
  keys("down", {rightControl, k});
  keys("up", {k, rightControl});
  keys("down", {leftControl, leftAlt, k});
  keys("up", {k, leftAlt, leftControl, left});
  keys("down", {rightWindows, left});
  keys("up", {left, rightWindows});
  EXPECT_EQ(keysSaid(keytap),
            (Said{"down:Ctrl+K", "up:Ctrl+K", "down:Super+Left", "up:Super+Left"}));
}

TEST_F(WindowsKeysTest, TypingWithoutARegistrationSaysNothing) {
  keys("down", {leftShift, k, left});
  keys("up", {left, k, leftShift});
  EXPECT_EQ(keysSaid(keytap), Said{});
}

TEST_F(WindowsKeysTest, ExtendedKeysBySide) {
  keytap = startKeytap("", "granted", {"--no-prompt", "--extended-keys"});
  for (const char* text : {"RightAlt", "Numpad7", "Home", "RightCtrl+K"}) registerText(text);
  ASSERT_TRUE(sendText(keytap, command("register", "Fn")));
  EXPECT_EQ(nextMessage(keytap), errorReply("bad_request", "not available on this platform: Fn"));
  keys("down", {rightAlt, w, w});
  keys("up", {w, rightAlt});
  keys("down", {leftShift, rightAlt});
  keys("up", {rightAlt, leftShift});
  keys("down", {numpad7, home});
  keys("up", {home, numpad7});
  keys("down", {leftControl, k});
  keys("up", {k, leftControl});
  keys("down", {rightControl, k});
  keys("up", {k, rightControl});
  EXPECT_EQ(keysSaid(keytap),
            (Said{"down:RightAlt", "up:RightAlt", "down:Numpad7", "down:Home", "up:Home",
                  "up:Numpad7", "down:RightCtrl+K", "up:RightCtrl+K"}));
}

// Left Control beside Right Alt is no AltGr on a layout without it (wine's US one), even when
// both come in one SendInput.
TEST_F(WindowsKeysTest, LeftControlBesideRightAltIsReal) {
  keytap = startKeytap("", "granted", {"--no-prompt", "--extended-keys"});
  for (const char* text : {"Control+Alt+K", "Alt+K"}) registerText(text);
  together("down", {leftControl, rightAlt, k});
  together("up", {k, rightAlt, leftControl});
  EXPECT_EQ(keysSaid(keytap), (Said{"down:Control+Alt+K", "up:Control+Alt+K"}));
}

TEST_F(WindowsKeysTest, MouseButtonsBesideMotion) {
  keytap = startKeytap("", "granted", {"--no-prompt", "--mouse-buttons"});
  for (const char* text : {"MouseMiddle", "Mouse4", "Ctrl+Mouse5"}) registerText(text);
  keys("down", {"move", "m3", "move"});
  keys("up", {"m3", "m4"});  // a release that no press came before
  keys("down", {"m4", "m5"});
  keys("up", {"m5", "m4"});
  keys("down", {leftControl, "m5"});
  keys("up", {"m5", leftControl});
  EXPECT_EQ(keysSaid(keytap), (Said{"down:MouseMiddle", "up:MouseMiddle", "down:Mouse4",
                                    "up:Mouse4", "down:Ctrl+Mouse5", "up:Ctrl+Mouse5"}));
}

// A chord recorded, with its label from the layout of the window in front (ToUnicodeEx).
TEST_F(WindowsKeysTest, CaptureRecordsAChord) {
  keytap = startKeytap("", "granted", {"--no-prompt", "--capture"});
  ASSERT_TRUE(sendText(keytap, R"({"t":"capture","d":{}})"
                               "\n"));
  EXPECT_EQ(nextMessage(keytap)["t"], "capturing");
  keys("down", {leftControl, k});
  keys("up", {k, leftControl});
  EXPECT_EQ(nextMessage(keytap),
            (nlohmann::json{{"t", "capture_held"},
                            {"d", {{"accelerator", "Control"}, {"label", "Ctrl"}}}}));
  EXPECT_EQ(nextMessage(keytap),
            (nlohmann::json{{"t", "captured"},
                            {"d", {{"accelerator", "Control+K"}, {"label", "Ctrl+K"}}}}));
}

// Hotkeys another program registered are "taken": by the system where they have the Windows
// key, which Windows reserves for itself; a free chord has no member.
TEST_F(WindowsKeysTest, RegisteredHotKeysAreTaken) {
  keytap = startKeytap("", "granted", {"--no-prompt", "--capture"});
  for (const char* hotKey : {"2,4b", "8,4b"}) {  // Control+K, Windows+K
    ASSERT_TRUE(sendText(injector, std::string("hotkey ") + hotKey + "\n"));
    ASSERT_EQ(readLine(injector, replyTimeoutMs), "ok") << hotKey;
  }
  const struct {
    const char* text;
    const char* label;
    const char* taken;  // null: no member
  } rows[] = {{"Control+K", "Ctrl+K", "another program"},
              {"Super+K", "Super+K", "system"},
              {"Control+J", "Ctrl+J", nullptr}};
  for (const auto& row : rows) {
    ASSERT_TRUE(sendText(keytap, command("describe", row.text)));
    EXPECT_EQ(nextMessage(keytap), described(row.text, row.label, row.taken));
  }
}

// The keypad's keys and Pause are asked by their own virtual keys (Num Lock on, as a keyboard
// starts), not by those Windows gives their positions with Num Lock off (Numpad1 as End).
TEST_F(WindowsKeysTest, KeypadAndPauseAreAskedByTheirOwnKeys) {
  keytap = startKeytap("", "granted", {"--no-prompt", "--extended-keys", "--capture"});
  // Control+VK_NUMPAD7, VK_PAUSE, Control+VK_END
  for (const char* hotKey : {"2,67", "0,13", "2,23"}) {
    ASSERT_TRUE(sendText(injector, std::string("hotkey ") + hotKey + "\n"));
    ASSERT_EQ(readLine(injector, replyTimeoutMs), "ok") << hotKey;
  }
  for (const auto& [text, taken] : {std::pair{"Control+Numpad7", "another program"},
                                    {"Pause", "another program"},
                                    {"Control+Numpad1", "-"},
                                    {"Control+End", "another program"}}) {
    ASSERT_TRUE(sendText(keytap, command("describe", text)));
    EXPECT_EQ(nextMessage(keytap)["d"].value("taken", "-"), taken) << text;
  }
}

// The keypad by the word Windows gives it (Num 7, Num /), never like the top rows' 7 and /; the
// keypad's / is an extended key (E0 35), asked of ToUnicodeEx as a key press all the same.
TEST_F(WindowsKeysTest, KeypadLabelsKeepTheirWord) {
  keytap = startKeytap("", "granted", {"--no-prompt", "--extended-keys", "--capture"});
  for (const auto& [text, label] : {std::pair{"NumpadDivide", "Num /"},
                                    {"Numpad7", "Num 7"},
                                    {"Ctrl+/", "Ctrl+/"},
                                    {"NumpadEnter", "NumpadEnter"}}) {
    ASSERT_TRUE(sendText(keytap, command("describe", text)));
    EXPECT_EQ(nextMessage(keytap)["d"]["label"], label) << text;
  }
}

// Unwatched, a button's release goes unheard: it must not make the next press an autorepeat.
TEST_F(WindowsKeysTest, AButtonReleasedWhileUnwatchedPressesAgain) {
  keytap = startKeytap("", "granted", {"--no-prompt", "--mouse-buttons"});
  registerText("Mouse4");
  keys("down", {"m4"});
  EXPECT_EQ(keysSaid(keytap), (Said{"down:Mouse4"}));
  ASSERT_TRUE(sendText(keytap, command("unregister", "Mouse4")));
  ASSERT_EQ(nextMessage(keytap), reply("unregistered", "Mouse4"));
  keys("up", {"m4"});
  registerText("Mouse4");
  keys("down", {"m4"});
  keys("up", {"m4"});
  EXPECT_EQ(keysSaid(keytap), (Said{"down:Mouse4", "up:Mouse4"}));
}

// Windows hands text typed as characters (KEYEVENTF_UNICODE) over as VK_PACKET; wine gives it a
// key of its own, so there it is left to the unit table.
TEST_F(WindowsKeysTest, TextTypedAsCharactersFiresNothing) {
  if (GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version")) {
    GTEST_SKIP() << "wine reports typed text without VK_PACKET";
  }
  for (const char* text : {"K", "Shift+K"}) registerText(text);
  keys("down", {"u004b", "u006b"});
  keys("up", {"u006b", "u004b"});
  EXPECT_EQ(keysSaid(keytap), Said{});
}

// Text typed as characters is left to the unit table: wine reports it without VK_PACKET.
TEST_F(WindowsKeysTest, InjectedOdditiesSayNothing) {
  for (const char* text : {"K", "Ctrl+K", "Shift+K"}) registerText(text);
  keys("down", {pauseByVirtualKey, k});
  keys("up", {k, pauseByVirtualKey});
  keys("down", {madeUpShift, k});
  keys("up", {k, madeUpShift});
  EXPECT_EQ(keysSaid(keytap), (Said{"down:K", "up:K", "down:K", "up:K"}));
}

// --consume: the injector's own window has the focus and says which key messages reach it.
class ConsumeTest : public WindowsKeysTest {
 protected:
  void SetUp() override {
    WindowsKeysTest::SetUp();
    keytap = startKeytap("", "granted", {"--no-prompt", "--consume"});
    ASSERT_TRUE(sendText(injector, "window\n"));
    ASSERT_EQ(readLine(injector, replyTimeoutMs), "ok");
  }

  void keep(const std::string& text) {
    const nlohmann::json line = {{"t", "register"},
                                 {"d", {{"accelerator", text}, {"consume", true}}}};
    ASSERT_TRUE(sendText(keytap, line.dump() + "\n"));
    ASSERT_EQ(nextMessage(keytap), reply("registered", text));
  }

  // The window's key messages since the last time asked, by scan code.
  std::string windowSaw() {
    EXPECT_TRUE(sendText(injector, "seen\n"));
    return readLine(injector, replyTimeoutMs).value_or("no answer");
  }
};

constexpr const char* f9 = "43";
constexpr const char* j = "24";

// The kept keys reach keytap alone, repeats and releases too; their modifiers and a key
// registered without consume reach the window as well.
TEST_F(ConsumeTest, KeptKeysNeverReachTheWindow) {
  keep("F9");
  keep("Control+Shift+K");
  registerText("J");
  keys("down", {f9});
  keys("up", {f9});
  keys("down", {leftControl, leftShift, k, k});
  keys("up", {k, leftShift, leftControl});
  keys("down", {j});
  keys("up", {j});
  EXPECT_EQ(keysSaid(keytap), (Said{"down:F9", "up:F9", "down:Control+Shift+K",
                                    "up:Control+Shift+K", "down:J", "up:J"}));
  EXPECT_EQ(windowSaw(), "seen down:1d down:2a up:2a up:1d down:24 up:24");
}

// K without the chord's exact modifiers is typing; the last unregister gives F9 back.
TEST_F(ConsumeTest, OnlyTheChordIsKeptUntilUnregistered) {
  keep("Control+Shift+K");
  keep("F9");
  keys("down", {leftControl, k});
  keys("up", {k, leftControl});
  ASSERT_TRUE(sendText(keytap, command("unregister", "F9")));
  ASSERT_EQ(nextMessage(keytap), reply("unregistered", "F9"));
  keys("down", {f9});
  keys("up", {f9});
  EXPECT_EQ(windowSaw(), "seen down:1d down:25 up:25 up:1d down:43 up:43");
}

// The window never saw F9 go down, so it never sees it go up either.
TEST_F(ConsumeTest, AKeptPressKeepsItsReleaseAfterUnregister) {
  keep("F9");
  keys("down", {f9});
  ASSERT_EQ(nextMessage(keytap)["t"], "down");
  ASSERT_TRUE(sendText(keytap, command("unregister", "F9")));
  ASSERT_EQ(nextMessage(keytap), reply("unregistered", "F9"));
  keys("up", {f9});
  keys("down", {j});
  keys("up", {j});
  EXPECT_EQ(windowSaw(), "seen down:24 up:24");
}

// Neither Pause sent by virtual key alone, whose scan code would read as Left Control's, nor
// text typed as characters, whose character stands where a scan code would (C is F9's), is a
// key of a kept chord.
TEST_F(ConsumeTest, PauseAndTextAreNoKeptKeys) {
  keep("Control+K");
  keep("F9");
  keys("down", {pauseByVirtualKey, k});
  keys("up", {k, pauseByVirtualKey});
  keys("down", {"u0043"});
  keys("up", {"u0043"});
  EXPECT_EQ(windowSaw(), "seen down:00 down:25 up:25 up:00 down:43 up:43");
}

// A kept side button with Control reaches keytap alone; Control and the middle button, not
// kept, reach the window.
TEST_F(ConsumeTest, KeptButtonsNeverReachTheWindow) {
  keytap = startKeytap("", "granted", {"--no-prompt", "--consume", "--mouse-buttons"});
  keep("Control+Mouse4");
  keys("down", {leftControl, "m4", "m3"});
  keys("up", {"m3", "m4", leftControl});
  EXPECT_EQ(keysSaid(keytap), (Said{"down:Control+Mouse4", "up:Control+Mouse4"}));
  EXPECT_EQ(windowSaw(), "seen down:1d down:m3 up:m3 up:1d");
}

TEST_F(WindowsKeysTest, ClosingInputEndsItWithinASecond) {
  closeInput(keytap);
  EXPECT_EQ(waitForExit(keytap, 1000), 0);
}

}  // namespace
