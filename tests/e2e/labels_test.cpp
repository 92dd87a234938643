// Labels in the layouts a user really has: xkeyboard-config's layouts on a private Xvfb, set with
// setxkbmap as a desktop's settings set them, keys injected through XTEST.
#include <string>

#include "e2e/e2e.h"
#include "support/xserver.h"

namespace {

using nlohmann::json;

class LabelsTest : public testing::Test {
 protected:
  void SetUp() override {
    display = startVirtualDisplay();
    ASSERT_NE(display, nullptr) << "Xvfb did not start";
    injector = connectInjector(*display);
    ASSERT_NE(injector, nullptr);
    keytap = startKeytap(display->name, "granted", {"--no-prompt", "--extended-keys", "--capture"});
  }
  void TearDown() override { EXPECT_EQ(readErrors(keytap), ""); }

  void layouts(const std::string& names, const std::string& option = "") {
    ASSERT_TRUE(setLayouts(*display, names, option)) << names;
  }
  std::string label(const std::string& text) {
    EXPECT_TRUE(sendText(keytap, command("describe", text)));
    const json described = nextMessage(keytap);
    EXPECT_EQ(described["t"], "described") << described;
    return described["d"].value("label", "");
  }
  void tap(std::initializer_list<uint8_t> keys) {
    for (uint8_t key : keys) injectKey(*injector, key, true);
    for (auto key = std::rbegin(keys); key != std::rend(keys); ++key)
      injectKey(*injector, *key, false);
  }
  // Starts a capture, presses the chords one after the other, and returns the first capture,
  // past the modifiers held that it tells meanwhile.
  json captureOf(std::initializer_list<std::initializer_list<uint8_t>> chords) {
    EXPECT_TRUE(sendText(keytap, R"({"t":"capture","d":{}})"
                                 "\n"));
    EXPECT_EQ(nextMessage(keytap)["t"], "capturing");
    for (const auto& chord : chords) tap(chord);
    json message = nextMessage(keytap);
    while (message["t"] == "capture_held") message = nextMessage(keytap);
    return message["d"];
  }

  std::unique_ptr<VirtualDisplay> display;
  std::unique_ptr<Injector> injector;
  Child keytap;
};

// The layout in use, not the first one: with us,de and German locked, the key a US keyboard calls
// Y shows Z; switched back, Y again. Matching stays by position throughout.
TEST_F(LabelsTest, TheGroupInUseNamesTheKeys) {
  layouts("us,de", "grp:caps_toggle");
  EXPECT_EQ(label("Control+Y"), "Ctrl+Y");
  tap({xkey::capsLock});
  EXPECT_EQ(label("Control+Y"), "Ctrl+Z");
  EXPECT_EQ(label("Control+Shift+;"), "Ctrl+Shift+\u00D6");
  tap({xkey::capsLock});
  EXPECT_EQ(label("Control+Y"), "Ctrl+Y");
}

// German's key left of 1 is a dead circumflex: shown as ^, not as the US key's `.
TEST_F(LabelsTest, DeadKeysShowTheirAccent) {
  layouts("de");
  EXPECT_EQ(label("`"), "^");
  EXPECT_EQ(label("="), "\u00B4");  // dead acute, left of Backspace
  layouts("fr");
  EXPECT_EQ(label("["), "^");
}

// Older keysym sets (Cyrillic, Latin-2, Greek) to their letters, upper-cased beyond Latin-1.
TEST_F(LabelsTest, LettersOfEveryScriptUpperCased) {
  layouts("ru");
  EXPECT_EQ(label("Control+K"), "Ctrl+\u041B");
  EXPECT_EQ(label("`"), "\u0401");
  layouts("cz");
  EXPECT_EQ(label("2"), "\u011A");
  EXPECT_EQ(label("Alt+4"), "Alt+\u010C");
  layouts("gr");
  EXPECT_EQ(label("W"), "\u03A3");  // final sigma
  EXPECT_EQ(label("U"), "\u0398");
  layouts("tr");
  EXPECT_EQ(label("I"), "I");  // dotless ı
  EXPECT_EQ(label(";"), "\u015E");
}

// The keypad never looks like the top rows.
TEST_F(LabelsTest, KeypadKeysKeepTheirWord) {
  layouts("de");
  EXPECT_EQ(label("Numpad7"), "Num 7");
  EXPECT_EQ(label("NumpadDivide"), "Num /");
  EXPECT_EQ(label("NumpadEnter"), "NumpadEnter");
  EXPECT_EQ(label("7"), "7");
}

// Right Alt is AltGr on German: AltGr+Q types @, which is no shortcut, and the capture goes on.
// On US Right Alt is an Alt like the left one, and the same keys make Alt+Q.
TEST_F(LabelsTest, AltGrTypingIsNoShortcut) {
  layouts("de");
  EXPECT_EQ(captureOf({{xkey::rightAlt, xkey::q}, {xkey::rightAlt, xkey::f5}}),
            (json{{"accelerator", "Alt+F5"}, {"label", "Alt+F5"}}));
  EXPECT_EQ(captureOf({{xkey::leftAlt, xkey::q}}),
            (json{{"accelerator", "Alt+Q"}, {"label", "Alt+Q"}}));
  layouts("us");
  EXPECT_EQ(captureOf({{xkey::rightAlt, xkey::q}}),
            (json{{"accelerator", "Alt+Q"}, {"label", "Alt+Q"}}));
}

}  // namespace
