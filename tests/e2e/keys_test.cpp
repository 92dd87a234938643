// The real binary on a private Xvfb, with keys injected through XTEST.
#include <chrono>
#include <functional>
#include <thread>

#include "e2e/e2e.h"
#include "platform/key_positions.h"
#include "support/macos_model.h"
#include "support/xserver.h"

namespace {

using nlohmann::json;

// The same cases run on a second road: keytap's macOS sources against the model of the Apple calls
// (KEYTAP_ROAD=macos-model), with the keys posted through the model's channel at the same
// positions.
bool onMacosModel() {
  const char* road = std::getenv("KEYTAP_ROAD");
  return road && std::string_view(road) == "macos-model";
}

class KeysTest : public testing::Test {
 protected:
  void SetUp() override {
    if (onMacosModel()) {
      model = listenForModel();
      ASSERT_NE(model, nullptr);
      std::optional<Child> started = spawnKeytap(arguments(), "", modelEnvironment(*model));
      ASSERT_TRUE(started.has_value());
      keytap = std::move(*started);
      ASSERT_TRUE(startModel(*model, {}));
      expectReady(keytap, "granted");
      return;
    }
    display = startVirtualDisplay();
    ASSERT_NE(display, nullptr) << "Xvfb did not start";
    injector = connectInjector(*display);
    ASSERT_NE(injector, nullptr);
    keytap = startKeytap(display->name, "granted", arguments());
  }

  void TearDown() override { EXPECT_EQ(readErrors(keytap), ""); }

  virtual std::vector<std::string> arguments() const { return {"--no-prompt"}; }

  void registerText(const std::string& text) {
    ASSERT_TRUE(sendText(keytap, command("register", text)));
    ASSERT_EQ(nextMessage(keytap), reply("registered", text));
  }

  void key(uint8_t xKeyCode, bool down) {
    if (!model) return injectKey(*injector, xKeyCode, down);
    // A key no Mac keyboard has cannot be pressed there.
    const uint16_t macKeyCode = macKeyCodeOf(xKeyCode - 8u);
    if (macKeyCode >= beyondMacKeys) return;
    tell("key " + std::to_string(macKeyCode) + (down ? " down" : " up"));
  }
  void press(uint8_t key) { this->key(key, true); }
  void release(uint8_t key) { this->key(key, false); }
  void tap(std::initializer_list<uint8_t> keys) {
    for (uint8_t key : keys) press(key);
    for (auto key = std::rbegin(keys); key != std::rend(keys); ++key) release(*key);
  }
  void button(uint8_t xButton, bool down) {
    if (!model) return injectButton(*injector, xButton, down);
    // X's buttons 4-7 are the wheel; 8 and 9 are CoreGraphics' 3 and 4.
    if (xButton >= 4 && xButton <= 7) return tell("scroll");
    tell("button " + std::to_string(xButton < 8 ? xButton : xButton - 5) +
         (down ? " down" : " up"));
  }
  void move(int16_t dx, int16_t dy) {
    if (!model) return injectMotion(*injector, dx, dy);
    tell("move");
  }
  // Command on a Mac, Control elsewhere.
  uint8_t commandOrControl() const { return model ? xkey::leftSuper : xkey::leftControl; }
  void tell(const std::string& command) { ASSERT_EQ(tellModel(*model, command), "ok") << command; }

  std::vector<std::string> keysSaid() { return ::keysSaid(keytap); }

  std::unique_ptr<VirtualDisplay> display;
  std::unique_ptr<Injector> injector;
  std::unique_ptr<ModelChannel> model;
  Child keytap;
};

using Said = std::vector<std::string>;

TEST_F(KeysTest, OneHotkeyFromRegisterToRelease) {
  registerText("Super+Shift+K");
  ASSERT_TRUE(sendText(keytap, command("register", "Super+Shift+K")));
  EXPECT_EQ(nextMessage(keytap), errorReply("conflict", "already registered: Super+Shift+K"));
  press(xkey::leftSuper);
  press(xkey::leftShift);
  press(xkey::k);
  EXPECT_EQ(keysSaid(), (Said{"down:Super+Shift+K"}));
  press(xkey::k);  // what a real keyboard's autorepeat looks like
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(keysSaid(), Said{});
  release(xkey::k);
  release(xkey::leftShift);
  release(xkey::leftSuper);
  EXPECT_EQ(keysSaid(), (Said{"up:Super+Shift+K"}));
}

TEST_F(KeysTest, AnotherClientsKeyboardGrabHidesNoKey) {
  registerText("F5");
  registerText("Super+K");
  press(xkey::f5);
  std::unique_ptr<Injector> grabber = connectInjector(*display);
  ASSERT_TRUE(grabber && grabKeyboard(*grabber));
  release(xkey::f5);  // pressed before the grab, released during it
  tap({xkey::leftSuper, xkey::k});
  EXPECT_EQ(keysSaid(), (Said{"down:F5", "up:F5", "down:Super+K", "up:Super+K"}));
}

TEST_F(KeysTest, ModifiersMustMatchExactly) {
  registerText("Super+K");
  registerText("CommandOrControl+J");
  registerText("Alt+F5");
  tap({xkey::leftSuper, xkey::leftShift, xkey::k});
  tap({xkey::k});
  tap({commandOrControl(), xkey::leftAlt, xkey::j});
  tap({xkey::f5});
  EXPECT_EQ(keysSaid(), Said{});
  tap({commandOrControl(), xkey::j});
  tap({xkey::leftAlt, xkey::f5});
  EXPECT_EQ(keysSaid(),
            (Said{"down:CommandOrControl+J", "up:CommandOrControl+J", "down:Alt+F5", "up:Alt+F5"}));
}

TEST_F(KeysTest, TypingWithoutARegistrationSaysNothing) {
  for (uint8_t key = 10; key < 120; ++key) tap({key});
  tap({xkey::leftShift, xkey::a});
  registerText("Ctrl+Space");
  for (uint8_t key = 10; key < 120; ++key) {
    if (key != xkey::space) tap({key});
  }
  EXPECT_EQ(keysSaid(), Said{});
}

TEST_F(KeysTest, ReleasingTheModifierFirstStillEndsTheHold) {
  registerText("Ctrl+A");
  press(xkey::leftControl);
  press(xkey::a);
  release(xkey::leftControl);
  release(xkey::a);
  EXPECT_EQ(keysSaid(), (Said{"down:Ctrl+A", "up:Ctrl+A"}));
}

TEST_F(KeysTest, UnregisterWhileHeldGivesNoUp) {
  registerText("F5");
  press(xkey::f5);
  EXPECT_EQ(keysSaid(), (Said{"down:F5"}));
  ASSERT_TRUE(sendText(keytap, command("unregister", "F5")));
  EXPECT_EQ(nextMessage(keytap), reply("unregistered", "F5"));
  release(xkey::f5);
  EXPECT_EQ(keysSaid(), Said{});
}

TEST_F(KeysTest, RegisterWhileTheKeyIsDownWaitsForTheNextPress) {
  press(xkey::f5);
  registerText("F5");
  release(xkey::f5);
  EXPECT_EQ(keysSaid(), Said{});
  tap({xkey::f5});
  EXPECT_EQ(keysSaid(), (Said{"down:F5", "up:F5"}));
}

TEST_F(KeysTest, RegisteredPrecedesEveryDown) {
  // The key races the command: it may come before the registration (no "down") or after it,
  // but a "down" never precedes the "registered" reply.
  press(xkey::leftSuper);
  for (int round = 0; round < 20; ++round) {
    const std::string text = "Cmd+K" + std::string(round, '+');
    ASSERT_TRUE(sendText(keytap, command("register", text)));
    press(xkey::k);
    EXPECT_EQ(nextMessage(keytap), reply("registered", text));
    release(xkey::k);
    const Said said = keysSaid();
    EXPECT_TRUE(said.empty() || said == (Said{"down:" + text, "up:" + text})) << round;
    ASSERT_TRUE(sendText(keytap, command("unregister", text)));
    EXPECT_EQ(nextMessage(keytap), reply("unregistered", text));
  }
  release(xkey::leftSuper);
}

class ExtendedKeysTest : public KeysTest {
 protected:
  std::vector<std::string> arguments() const override { return {"--no-prompt", "--extended-keys"}; }
};

TEST_F(ExtendedKeysTest, ModifierHoldsSidesKeypadAndF21) {
  for (const char* text :
       {"RightAlt", "Numpad7", "Home", "F21", "PrintScreen", "Pause", "Insert"}) {
    registerText(text);
  }
  ASSERT_TRUE(sendText(keytap, command("register", "Fn")));
  EXPECT_EQ(nextMessage(keytap), errorReply("bad_request", "not available on this platform: Fn"));
  press(xkey::rightAlt);
  for (const uint8_t key : {xkey::w, xkey::a, xkey::s, xkey::d}) tap({key});
  EXPECT_EQ(keysSaid(), (Said{"down:RightAlt"}));
  release(xkey::rightAlt);
  tap({xkey::leftShift, xkey::rightAlt});
  tap({xkey::numpad7});
  tap({xkey::home});
  tap({xkey::f21});
  for (const uint8_t key : {xkey::printScreen, xkey::pause, xkey::insert}) tap({key});
  EXPECT_EQ(keysSaid(), (Said{"up:RightAlt", "down:Numpad7", "up:Numpad7", "down:Home", "up:Home",
                              "down:F21", "up:F21", "down:PrintScreen", "up:PrintScreen",
                              "down:Pause", "up:Pause", "down:Insert", "up:Insert"}));
}

class MouseButtonsTest : public KeysTest {
 protected:
  std::vector<std::string> arguments() const override {
    return {"--no-prompt", "--extended-keys", "--mouse-buttons"};
  }
  void click(uint8_t xButton) {
    button(xButton, true);
    button(xButton, false);
  }
};

TEST_F(MouseButtonsTest, MiddleAndSideButtonsButNeverTheWheelOrMotion) {
  for (const char* text : {"Mouse3", "MouseBack", "Shift+Mouse5", "RightAlt"}) registerText(text);
  click(2);
  click(8);
  click(9);  // without Shift
  press(xkey::leftShift);
  click(9);
  release(xkey::leftShift);
  for (const uint8_t wheel : {uint8_t{4}, uint8_t{5}, uint8_t{6}, uint8_t{7}}) click(wheel);
  for (int i = 0; i < 200; ++i) move(i % 2 ? 3 : -3, 1);
  EXPECT_EQ(keysSaid(), (Said{"down:Mouse3", "up:Mouse3", "down:MouseBack", "up:MouseBack",
                              "down:Shift+Mouse5", "up:Shift+Mouse5"}));
  // A hold of Right Alt says at its end whether anything else went down meanwhile.
  tap({xkey::rightAlt});
  press(xkey::rightAlt);
  click(8);
  release(xkey::rightAlt);
  std::vector<json> alone;
  for (const json& message : messagesBeforeMarker(keytap)) {
    if (message["t"] == "up") alone.push_back(message["d"]["alone"]);
  }
  EXPECT_EQ(alone, (std::vector<json>{true, false}));
}

class CaptureTest : public MouseButtonsTest {
 protected:
  std::vector<std::string> arguments() const override {
    return {"--no-prompt", "--extended-keys", "--mouse-buttons", "--capture"};
  }
  // The message that ends the capture; what it said of the modifiers held meanwhile goes to
  // heldSaid.
  json captureNext(const std::function<void()>& act) {
    EXPECT_TRUE(sendText(keytap, R"({"t":"capture","d":{}})"
                                 "\n"));
    EXPECT_EQ(nextMessage(keytap), (json{{"t", "capturing"}, {"d", json::object()}}));
    act();
    heldSaid.clear();
    json message = nextMessage(keytap);
    for (; message["t"] == "capture_held"; message = nextMessage(keytap)) {
      heldSaid.push_back(message["d"]["accelerator"].get<std::string>() + " " +
                         message["d"]["label"].get<std::string>());
    }
    return message;
  }
  static json captured(std::string_view text, std::string_view label) {
    return {{"t", "captured"}, {"d", {{"accelerator", text}, {"label", label}}}};
  }

  std::vector<std::string> heldSaid;
};

// While a capture runs, each change of the modifiers held is told (not a second Shift, which
// changes nothing); once it is over, nothing more.
TEST_F(CaptureTest, TellsTheModifiersHeldAsTheyChange) {
  constexpr uint8_t rightShift = 62;
  EXPECT_EQ(captureNext([&] {
              press(xkey::leftControl);
              press(xkey::leftShift);
              press(rightShift);
              tap({xkey::k});
              for (const uint8_t key : {rightShift, xkey::leftShift, xkey::leftControl}) {
                release(key);
              }
              tap({xkey::leftAlt});
            }),
            captured("Control+Shift+K", "Ctrl+Shift+K"));
  EXPECT_EQ(heldSaid, (Said{"Control Ctrl", "Control+Shift Ctrl+Shift"}));
  EXPECT_EQ(messagesBeforeMarker(keytap), std::vector<json>{});
}

// What a settings screen does: record a chord, and its label in the server's layout.
TEST_F(CaptureTest, RecordsChordsInKeytapsGrammarWithLabelsInTheLayout) {
  registerText("F5");
  // Registered, and silent while a capture runs: recorded, not fired.
  EXPECT_EQ(captureNext([&] { tap({xkey::f5}); }), captured("F5", "F5"));
  EXPECT_EQ(captureNext([&] {
              tap({xkey::leftControl, xkey::leftShift, xkey::k});
            }),
            captured("Control+Shift+K", "Ctrl+Shift+K"));
  mapKey(*injector, xkey::y, 'z');  // as a German layout has it
  EXPECT_EQ(captureNext([&] { tap({xkey::y}); }), captured("Y", "Z"));
  EXPECT_EQ(captureNext([&] { tap({xkey::rightAlt}); }), captured("AltRight", "Right Alt"));
  EXPECT_EQ(captureNext([&] { click(8); }), captured("MouseBack", "Mouse4"));
  EXPECT_TRUE(sendText(keytap, R"({"t":"capture","d":{}})"
                               "\n"
                               R"({"t":"cancel_capture","d":{}})"
                               "\n"));
  EXPECT_EQ(nextMessage(keytap)["t"], "capturing");
  EXPECT_EQ(nextMessage(keytap)["t"], "capture_cancelled");
  tap({xkey::k});
  tap({xkey::f5});
  EXPECT_EQ(keysSaid(), (Said{"down:F5", "up:F5"}));
}

// A capture that a button ends stops watching the buttons before their release: X tells no
// button state, so keytap must not keep the button down.
TEST_F(CaptureTest, ASideButtonCapturedTwiceThenRegisteredFires) {
  EXPECT_EQ(captureNext([&] { click(8); }), captured("MouseBack", "Mouse4"));
  EXPECT_EQ(captureNext([&] { click(8); }), captured("MouseBack", "Mouse4"));
  registerText("MouseBack");
  click(8);
  EXPECT_EQ(keysSaid(), (Said{"down:MouseBack", "up:MouseBack"}));
}

TEST(LateDisplayTest, ARegisterOpensTheTapOnceTheDisplayLetsUsIn) {
  std::unique_ptr<VirtualDisplay> display = startVirtualDisplay(/*locked=*/true);
  ASSERT_NE(display, nullptr);
  std::unique_ptr<Injector> injector = connectInjector(*display);
  ASSERT_NE(injector, nullptr);

  Child keytap = startKeytap(display->name, "denied", {});
  ASSERT_TRUE(sendText(keytap, command("register", "Ctrl+K")));
  EXPECT_EQ(nextMessage(keytap), errorReply("forbidden", "Input Monitoring denied"));

  unlockDisplay(*injector);
  ASSERT_TRUE(sendText(keytap, command("register", "Ctrl+K")));
  EXPECT_EQ(nextMessage(keytap), reply("registered", "Ctrl+K"));
  injectKey(*injector, xkey::leftControl, true);
  injectKey(*injector, xkey::k, true);
  const json down = nextMessage(keytap);
  EXPECT_EQ(down["t"], "down");
  EXPECT_EQ(down["d"]["accelerator"], "Ctrl+K");
  EXPECT_EQ(readErrors(keytap), "");
}

}  // namespace

namespace {

// An X server resets when its last client leaves; keytap must not lose its tap to that when
// it is the first and only client of a fresh server.
TEST(FreshDisplayTest, TheOnlyClientOfANewServerGetsItsTap) {
  for (int round = 0; round < 5; ++round) {
    std::unique_ptr<VirtualDisplay> display = startVirtualDisplay();
    ASSERT_NE(display, nullptr);
    Child keytap = startKeytap(display->name, "granted");
    ASSERT_TRUE(sendText(keytap, command("register", "F5")));
    EXPECT_EQ(nextMessage(keytap), reply("registered", "F5"));
    std::unique_ptr<Injector> injector = connectInjector(*display);
    ASSERT_NE(injector, nullptr);
    injectKey(*injector, xkey::f5, true);
    EXPECT_EQ(nextMessage(keytap)["t"], "down");
  }
}

// The display SSH's X forwarding sets: a host name and TCP.
TEST(TcpDisplayTest, LocalhostOverTcpListens) {
  const std::unique_ptr<VirtualDisplay> display = startVirtualDisplay(false, true);
  ASSERT_NE(display, nullptr);
  const std::unique_ptr<Injector> injector = connectInjector(*display);
  ASSERT_NE(injector, nullptr);
  Child keytap = startKeytap("localhost" + display->name, "granted");
  ASSERT_TRUE(sendText(keytap, command("register", "F5")));
  ASSERT_EQ(nextMessage(keytap), reply("registered", "F5"));
  injectKey(*injector, xkey::f5, true);
  injectKey(*injector, xkey::f5, false);
  EXPECT_EQ(keysSaid(keytap), (std::vector<std::string>{"down:F5", "up:F5"}));
}

}  // namespace
