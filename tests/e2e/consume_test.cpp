// --consume on a private Xvfb: a window of the test's own has the focus and the pointer, and
// says which keys and buttons reach it while keytap keeps some of them.
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "e2e/e2e.h"
#include "support/xserver.h"

namespace {

using nlohmann::json;

constexpr uint8_t f9 = 75, f10 = 76;  // X key codes (evdev + 8)
constexpr uint8_t backButton = 8;
constexpr uint8_t numLock = 77;
constexpr size_t mod1 = 3, mod2 = 4, mod4 = 6;

// Sets the keys of some modifiers (0 for Shift to 7 for Mod5) in one request, as xmodmap does.
void setModifierKeys(Injector& injector,
                     std::vector<std::pair<size_t, std::vector<xcb_keycode_t>>> changes) {
  xcb_connection_t* connection = injector.connection;
  xcb_get_modifier_mapping_reply_t* mapping =
      xcb_get_modifier_mapping_reply(connection, xcb_get_modifier_mapping(connection), nullptr);
  ASSERT_NE(mapping, nullptr);
  const size_t current = mapping->keycodes_per_modifier;
  size_t perModifier = current;
  for (const auto& change : changes) perModifier = std::max(perModifier, change.second.size());
  std::vector<xcb_keycode_t> keycodes(8 * perModifier, 0);
  const xcb_keycode_t* keys = xcb_get_modifier_mapping_keycodes(mapping);
  for (size_t modifier = 0; modifier < 8; ++modifier) {
    std::copy(keys + modifier * current, keys + (modifier + 1) * current,
              keycodes.begin() + static_cast<std::ptrdiff_t>(modifier * perModifier));
  }
  std::free(mapping);
  for (const auto& [modifier, wanted] : changes) {
    const auto row = keycodes.begin() + static_cast<std::ptrdiff_t>(modifier * perModifier);
    std::fill(row, row + static_cast<std::ptrdiff_t>(perModifier), 0);
    std::copy(wanted.begin(), wanted.end(), row);
  }
  xcb_set_modifier_mapping_reply_t* set = xcb_set_modifier_mapping_reply(
      connection,
      xcb_set_modifier_mapping(connection, static_cast<uint8_t>(perModifier), keycodes.data()),
      nullptr);
  ASSERT_NE(set, nullptr);
  EXPECT_EQ(set->status, XCB_MAPPING_STATUS_SUCCESS);
  std::free(set);
}

xcb_window_t rootOf(xcb_connection_t* connection) {
  return xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
}

// The injector's own passive grab of a key, as another program's, in place once it returns.
void grabAsAnotherClient(Injector& injector, uint16_t modifiers, xcb_keycode_t key) {
  xcb_grab_key(injector.connection, 0, rootOf(injector.connection), modifiers, key,
               XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
  std::free(xcb_get_input_focus_reply(injector.connection, xcb_get_input_focus(injector.connection),
                                      nullptr));
}

std::string consumed(std::string_view text) {
  return json{{"t", "register"}, {"d", {{"accelerator", text}, {"consume", true}}}}.dump() + "\n";
}

// A window over the whole screen, mapped and focused, as the window in front.
struct FrontWindow {
  xcb_connection_t* connection = nullptr;
  xcb_window_t window = 0;

  explicit FrontWindow(const VirtualDisplay& display) {
    connection = xcb_connect(display.name.c_str(), nullptr);
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    window = xcb_generate_id(connection);
    const uint32_t events = XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE |
                            XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE;
    xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0,
                      screen->width_in_pixels, screen->height_in_pixels, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_EVENT_MASK,
                      &events);
    xcb_map_window(connection, window);
    // No window manager: the window is viewable once the server has handled the map.
    xcb_set_input_focus(connection, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
    std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
  }
  ~FrontWindow() { xcb_disconnect(connection); }

  // What reached the window ("key 75 down", "button 8 up") until F10's release, which the test
  // sends last: what it sent before would have come first.
  std::vector<std::string> seenUntilF10() {
    std::vector<std::string> seen;
    pollfd source{xcb_get_file_descriptor(connection), POLLIN, 0};
    for (;;) {
      xcb_generic_event_t* event = xcb_poll_for_event(connection);
      if (!event) {
        if (poll(&source, 1, replyTimeoutMs) <= 0) {
          ADD_FAILURE() << "F10's release never reached the window";
          return seen;
        }
        continue;
      }
      const uint8_t type = event->response_type & 0x7F;
      const auto detail = reinterpret_cast<xcb_key_press_event_t*>(event)->detail;
      std::free(event);
      const bool key = type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE;
      if (!key && type != XCB_BUTTON_PRESS && type != XCB_BUTTON_RELEASE) continue;
      const bool down = type == XCB_KEY_PRESS || type == XCB_BUTTON_PRESS;
      seen.push_back((key ? "key " : "button ") + std::to_string(detail) +
                     (down ? " down" : " up"));
      if (key && detail == f10 && !down) return seen;
    }
  }
};

class ConsumeTest : public testing::Test {
 protected:
  void SetUp() override {
    display = startVirtualDisplay();
    ASSERT_NE(display, nullptr) << "Xvfb did not start";
    injector = connectInjector(*display);
    ASSERT_NE(injector, nullptr);
    front = std::make_unique<FrontWindow>(*display);
  }

  void TearDown() override {
    if (keytap.pid > 0) {
      EXPECT_EQ(readErrors(keytap), "");
    }
  }

  void start(std::vector<std::string> args = {"--no-prompt", "--consume"}) {
    keytap = startKeytap(display->name, "granted", std::move(args));
  }

  void tap(uint8_t key) {
    injectKey(*injector, key, true);
    injectKey(*injector, key, false);
  }

  std::unique_ptr<VirtualDisplay> display;
  std::unique_ptr<Injector> injector;
  std::unique_ptr<FrontWindow> front;
  Child keytap;
};

// Only the key of the chord is kept, in every state of Caps Lock, with its release; keytap hears
// it all. Keys of registrations without consume, and modifiers, reach the window.
TEST_F(ConsumeTest, KeptKeysNeverReachTheWindowInFront) {
  start({"--no-prompt", "--consume", "--mouse-buttons"});
  for (const char* text : {"F9", "Control+Shift+K", "MouseBack"}) {
    ASSERT_TRUE(sendText(keytap, consumed(text)));
    ASSERT_EQ(nextMessage(keytap), reply("registered", text));
  }
  ASSERT_TRUE(sendText(keytap, command("register", "F10")));
  ASSERT_EQ(nextMessage(keytap), reply("registered", "F10"));
  tap(f9);
  injectKey(*injector, xkey::leftControl, true);
  injectKey(*injector, xkey::leftShift, true);
  tap(xkey::k);
  injectKey(*injector, xkey::leftShift, false);
  injectKey(*injector, xkey::leftControl, false);
  injectButton(*injector, backButton, true);
  injectButton(*injector, backButton, false);
  tap(xkey::capsLock);
  tap(f9);
  tap(xkey::capsLock);
  tap(f10);
  const std::vector<std::string> expected = {
      "key 37 down", "key 50 down", "key 50 up", "key 37 up",   "key 66 down",
      "key 66 up",   "key 66 down", "key 66 up", "key 76 down", "key 76 up"};
  EXPECT_EQ(front->seenUntilF10(), expected);
  EXPECT_EQ(keysSaid(keytap),
            (std::vector<std::string>{"down:F9", "up:F9", "down:Control+Shift+K",
                                      "up:Control+Shift+K", "down:MouseBack", "up:MouseBack",
                                      "down:F9", "up:F9", "down:F10", "up:F10"}));
}

// Without --consume the member changes nothing; after unregister the key is the window's again.
TEST_F(ConsumeTest, KeysGoBackAtUnregisterAndStayWithoutTheFlag) {
  start({"--no-prompt"});
  ASSERT_TRUE(sendText(keytap, consumed("F9")));
  ASSERT_EQ(nextMessage(keytap), reply("registered", "F9"));
  tap(f9);
  endChild(keytap);
  start();
  ASSERT_TRUE(sendText(keytap, consumed("F9")));
  ASSERT_EQ(nextMessage(keytap), reply("registered", "F9"));
  ASSERT_TRUE(sendText(keytap, command("unregister", "F9")));
  ASSERT_EQ(nextMessage(keytap), reply("unregistered", "F9"));
  tap(f9);
  tap(f10);
  EXPECT_EQ(front->seenUntilF10(),
            (std::vector<std::string>{"key 75 down", "key 75 up", "key 75 down", "key 75 up",
                                      "key 76 down", "key 76 up"}));
}

// A chord another client grabbed is refused, and keytap killed with a kept key down leaves
// nothing grabbed: the key's release, which keytap is no longer there to keep, and its next
// press reach the window.
TEST_F(ConsumeTest, TakenChordsAreRefusedAndNothingOutlivesKeytap) {
  start();
  grabAsAnotherClient(*injector, XCB_MOD_MASK_CONTROL, f10);
  ASSERT_TRUE(sendText(keytap, consumed("Control+F10")));
  EXPECT_EQ(nextMessage(keytap),
            errorReply("conflict", "another program has taken this chord: Control+F10"));
  ASSERT_TRUE(sendText(keytap, consumed("F9")));
  ASSERT_EQ(nextMessage(keytap), reply("registered", "F9"));
  injectKey(*injector, f9, true);
  endChild(keytap);
  // The server lets go of a client's grabs once it reads the end of its connection, which may
  // come after the injector's next request: F9 is free once the injector can grab it itself.
  for (int tries = 0; tries < 10000; ++tries) {
    xcb_generic_error_t* error = xcb_request_check(
        injector->connection,
        xcb_grab_key_checked(injector->connection, 0, rootOf(injector->connection), 0, f9,
                             XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
    const bool grabbed = !error;
    std::free(error);
    if (grabbed) break;
  }
  xcb_ungrab_key(injector->connection, f9, rootOf(injector->connection), 0);
  injectKey(*injector, f9, false);
  tap(f9);
  tap(f10);
  EXPECT_EQ(front->seenUntilF10(),
            (std::vector<std::string>{"key 75 up", "key 75 down", "key 75 up", "key 76 down",
                                      "key 76 up"}));
}

// A chord another client grabbed is "taken" when captured or described; a free one, and one
// keytap keeps itself, are not, and the probe leaves keytap's own grab in place. Without
// --extended-keys too, the modifiers held are told while the capture runs.
TEST_F(ConsumeTest, ChordsAnotherClientGrabbedAreTaken) {
  start({"--no-prompt", "--consume", "--capture"});
  grabAsAnotherClient(*injector, XCB_MOD_MASK_CONTROL, f10);
  ASSERT_TRUE(sendText(keytap, consumed("F9")));
  ASSERT_EQ(nextMessage(keytap), reply("registered", "F9"));
  const struct {
    const char* text;
    const char* label;
    const char* taken;  // null: no member
  } rows[] = {{"Control+F10", "Ctrl+F10", "another program"},
              {"F10", "F10", nullptr},
              {"F9", "F9", nullptr}};
  for (const auto& row : rows) {
    ASSERT_TRUE(sendText(keytap, command("describe", row.text)));
    EXPECT_EQ(nextMessage(keytap), described(row.text, row.label, row.taken));
  }
  ASSERT_TRUE(sendText(keytap, R"({"t":"capture","d":{}})"
                               "\n"));
  ASSERT_EQ(nextMessage(keytap)["t"], "capturing");
  injectKey(*injector, xkey::leftControl, true);
  tap(xkey::leftShift);
  tap(f10);
  injectKey(*injector, xkey::leftControl, false);
  for (const auto& [text, label] :
       {std::pair{"Control", "Ctrl"}, {"Control+Shift", "Ctrl+Shift"}, {"Control", "Ctrl"}}) {
    EXPECT_EQ(nextMessage(keytap),
              (json{{"t", "capture_held"}, {"d", {{"accelerator", text}, {"label", label}}}}));
  }
  EXPECT_EQ(nextMessage(keytap), (json{{"t", "captured"},
                                       {"d",
                                        {{"accelerator", "Control+F10"},
                                         {"label", "Ctrl+F10"},
                                         {"taken", "another program"}}}}));
  tap(f9);
  tap(f10);
  EXPECT_EQ(front->seenUntilF10(),
            (std::vector<std::string>{"key 37 down", "key 50 down", "key 50 up", "key 37 up",
                                      "key 76 down", "key 76 up"}));
}

// The grabs taken for one modifier mapping are the ones given back after it changed: a key
// unregistered meanwhile is the window's again with Num Lock on.
TEST_F(ConsumeTest, KeysGoBackAfterTheModifierMappingChanged) {
  start();
  ASSERT_TRUE(sendText(keytap, consumed("F9")));
  ASSERT_EQ(nextMessage(keytap), reply("registered", "F9"));
  setModifierKeys(*injector, {{mod2, {}}});
  ASSERT_TRUE(sendText(keytap, command("unregister", "F9")));
  ASSERT_EQ(nextMessage(keytap), reply("unregistered", "F9"));
  setModifierKeys(*injector, {{mod2, {numLock}}});
  tap(numLock);
  tap(f9);
  tap(numLock);
  tap(f10);
  EXPECT_EQ(front->seenUntilF10(),
            (std::vector<std::string>{"key 77 down", "key 77 up", "key 75 down", "key 75 up",
                                      "key 77 down", "key 77 up", "key 76 down", "key 76 up"}));
}

// A key kept before Num Lock had a modifier stays kept with Num Lock on once it has one.
TEST_F(ConsumeTest, KeysStayKeptWhenTheModifierMappingChanges) {
  start();
  setModifierKeys(*injector, {{mod2, {}}});
  ASSERT_TRUE(sendText(keytap, consumed("F9")));
  ASSERT_EQ(nextMessage(keytap), reply("registered", "F9"));
  setModifierKeys(*injector, {{mod2, {numLock}}});
  // keytap has heard the mapping change once it answers a later command.
  ASSERT_TRUE(sendText(keytap, command("unregister", "F5")));
  ASSERT_EQ(nextMessage(keytap), reply("unregistered", "F5"));
  tap(numLock);
  tap(f9);
  tap(numLock);
  tap(f10);
  EXPECT_EQ(front->seenUntilF10(),
            (std::vector<std::string>{"key 77 down", "key 77 up", "key 77 down", "key 77 up",
                                      "key 76 down", "key 76 up"}));
}

// A kept key held past the server's repeat delay (660 ms) repeats through the grab as a release
// and a press each time, which are not the key's release.
TEST_F(ConsumeTest, AKeptKeyHeldDownIsOneDownAndOneUp) {
  start();
  ASSERT_TRUE(sendText(keytap, consumed("F9")));
  ASSERT_EQ(nextMessage(keytap), reply("registered", "F9"));
  injectKey(*injector, f9, true);
  // The hold itself is what is tested: nothing to wait for.
  std::this_thread::sleep_for(std::chrono::milliseconds(900));
  injectKey(*injector, f9, false);
  EXPECT_EQ(keysSaid(keytap), (std::vector<std::string>{"down:F9", "up:F9"}));
}

// Injected keys share their millisecond: the kept key's release, which keytap hears through the
// grab alone, is no copy of the release of the chord before it that came at the same time.
TEST_F(ConsumeTest, AKeptKeyReleasedInTheMillisecondOfAnotherChordComesUp) {
  start();
  ASSERT_TRUE(sendText(keytap, consumed("F9")));
  ASSERT_EQ(nextMessage(keytap), reply("registered", "F9"));
  ASSERT_TRUE(sendText(keytap, command("register", "Control+F9")));
  ASSERT_EQ(nextMessage(keytap), reply("registered", "Control+F9"));
  injectKey(*injector, xkey::leftControl, true);
  tap(f9);
  injectKey(*injector, xkey::leftControl, false);
  tap(f9);
  EXPECT_EQ(keysSaid(keytap),
            (std::vector<std::string>{"down:Control+F9", "up:Control+F9", "down:F9", "up:F9"}));
}

// A kept key pressed again before keytap read its release: the server has it down by then, as
// for its autorepeat, but the release was a true one.
TEST_F(ConsumeTest, AKeptKeyPressedAgainBeforeKeytapReadItsReleaseComesUp) {
  start();
  ASSERT_TRUE(sendText(keytap, consumed("F9")));
  ASSERT_EQ(nextMessage(keytap), reply("registered", "F9"));
  ASSERT_EQ(kill(keytap.pid, SIGSTOP), 0);
  injectKey(*injector, f9, true);
  injectKey(*injector, f9, false);
  injectKey(*injector, f9, true);
  ASSERT_EQ(kill(keytap.pid, SIGCONT), 0);
  // All three before the last release: the server still has F9 down as keytap reads them.
  const auto said = [&] {
    const json message = nextMessage(keytap);
    if (message.is_null()) return std::string("nothing");
    return message.value("t", "") + ":" + message["d"].value("accelerator", "");
  };
  for (const char* expected : {"down:F9", "up:F9", "down:F9"}) EXPECT_EQ(said(), expected);
  injectKey(*injector, f9, false);
  EXPECT_EQ(said(), "up:F9");
}

// keytap calls Alt the keys where Alt is, whatever X modifier they set: with Alt and Super
// swapped, Alt+F9 is kept from the window and Super+F9 is not.
TEST_F(ConsumeTest, AltIsTheAltKeysModifier) {
  start();
  // As the layout option that swaps them does: the keys' symbols and modifiers.
  mapKey(*injector, xkey::leftAlt, 0xffeb);    // Super_L
  mapKey(*injector, xkey::leftSuper, 0xffe9);  // Alt_L
  setModifierKeys(*injector, {{mod1, {xkey::leftSuper}}, {mod4, {xkey::leftAlt}}});
  ASSERT_TRUE(sendText(keytap, consumed("Alt+F9")));
  ASSERT_EQ(nextMessage(keytap), reply("registered", "Alt+F9"));
  for (uint8_t modifier : {xkey::leftAlt, xkey::leftSuper}) {
    injectKey(*injector, modifier, true);
    tap(f9);
    injectKey(*injector, modifier, false);
  }
  tap(f10);
  EXPECT_EQ(front->seenUntilF10(),
            (std::vector<std::string>{"key 64 down", "key 64 up", "key 133 down", "key 75 down",
                                      "key 75 up", "key 133 up", "key 76 down", "key 76 up"}));
  EXPECT_EQ(keysSaid(keytap), (std::vector<std::string>{"down:Alt+F9", "up:Alt+F9"}));
}

// With Alt and Super on one X modifier, Alt+F9 and Super+F9 are one grab, which stays while
// either is kept.
TEST_F(ConsumeTest, ChordsOnOneXModifierShareTheirGrab) {
  start();
  setModifierKeys(*injector, {{mod1, {xkey::leftAlt, xkey::leftSuper}}, {mod4, {}}});
  for (const char* text : {"Alt+F9", "Super+F9"}) {
    ASSERT_TRUE(sendText(keytap, consumed(text)));
    ASSERT_EQ(nextMessage(keytap), reply("registered", text));
  }
  ASSERT_TRUE(sendText(keytap, command("unregister", "Alt+F9")));
  ASSERT_EQ(nextMessage(keytap), reply("unregistered", "Alt+F9"));
  injectKey(*injector, xkey::leftSuper, true);
  tap(f9);
  injectKey(*injector, xkey::leftSuper, false);
  tap(f10);
  EXPECT_EQ(front->seenUntilF10(),
            (std::vector<std::string>{"key 133 down", "key 133 up", "key 76 down", "key 76 up"}));
}

}  // namespace
