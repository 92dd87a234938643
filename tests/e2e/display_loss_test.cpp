// The X server dies under keytap and a new one comes up: keytap keeps answering and reports
// keys again once a register opens a tap on the new server, or at once when the host asked for
// status messages. Runs alone: it reuses the display number that its first server chose.
#include <cstdlib>

#include "e2e/e2e.h"
#include "support/xserver.h"

namespace {

using nlohmann::json;

std::string keyMessage(Child& keytap) {
  const json message = nextMessage(keytap);
  if (!message.is_object()) return "nothing";
  return message["t"].get<std::string>() + ":" + message["d"]["accelerator"].get<std::string>();
}

// keytap on a private display with F5 registered and held down, until the server dies.
class DisplayLossTest : public testing::Test {
 protected:
  void holdThenLoseTheDisplay(std::vector<std::string> args) {
    display = startVirtualDisplay();
    ASSERT_NE(display, nullptr);
    name = display->name;
    injector = connectInjector(*display);
    ASSERT_NE(injector, nullptr);
    keytap = startKeytap(name, "granted", std::move(args));
    ASSERT_TRUE(sendText(keytap, command("register", "F5")));
    ASSERT_EQ(nextMessage(keytap), reply("registered", "F5"));
    injectKey(*injector, xkey::f5, true);
    ASSERT_EQ(keyMessage(keytap), "down:F5");
    injector.reset();
    endChild(display->server);
  }

  std::unique_ptr<VirtualDisplay> display;
  std::string name;
  std::unique_ptr<Injector> injector;
  Child keytap;
};

TEST_F(DisplayLossTest, KeytapSurvivesTheServerAndUsesTheNextOne) {
  ASSERT_NO_FATAL_FAILURE(holdThenLoseTheDisplay({"--no-prompt"}));
  ASSERT_TRUE(sendText(keytap, command("unregister", "Ctrl+J")));
  EXPECT_EQ(nextMessage(keytap), reply("unregistered", "Ctrl+J"));
  ASSERT_TRUE(sendText(keytap, command("register", "Alt+K")));
  EXPECT_EQ(nextMessage(keytap), errorReply("forbidden", "Input Monitoring denied"));

  display = restartVirtualDisplay(name);
  ASSERT_NE(display, nullptr);
  injector = connectInjector(*display);
  ASSERT_NE(injector, nullptr);
  ASSERT_TRUE(sendText(keytap, command("register", "Alt+K")));
  ASSERT_EQ(nextMessage(keytap), reply("registered", "Alt+K"));

  injectKey(*injector, xkey::leftAlt, true);
  injectKey(*injector, xkey::k, true);
  injectKey(*injector, xkey::k, false);
  injectKey(*injector, xkey::leftAlt, false);
  EXPECT_EQ(keyMessage(keytap), "down:Alt+K");
  EXPECT_EQ(keyMessage(keytap), "up:Alt+K");

  // F5's release was lost with the old server: it is still down, until a release of its key.
  injectKey(*injector, xkey::f5, true);
  injectKey(*injector, xkey::f5, false);
  injectKey(*injector, xkey::f5, true);
  EXPECT_EQ(keyMessage(keytap), "up:F5");
  EXPECT_EQ(keyMessage(keytap), "down:F5");
  EXPECT_EQ(readErrors(keytap), "");
}

TEST_F(DisplayLossTest, OnRequestTheHoldClosesAndListeningComesBackByItself) {
  ASSERT_NO_FATAL_FAILURE(
      holdThenLoseTheDisplay({"--no-prompt", "--release-stale-holds", "--status"}));
  EXPECT_EQ(nextMessage(keytap),
            (json{{"t", "status"}, {"d", {{"listening", false}, {"reason", "display lost"}}}}));
  EXPECT_EQ(keyMessage(keytap), "up:F5");

  display = restartVirtualDisplay(name);
  ASSERT_NE(display, nullptr);
  EXPECT_EQ(json::parse(readLine(keytap, 2000).value_or("null")),
            (json{{"t", "status"}, {"d", {{"listening", true}}}}));
  injector = connectInjector(*display);
  ASSERT_NE(injector, nullptr);
  injectKey(*injector, xkey::f5, true);
  injectKey(*injector, xkey::f5, false);
  EXPECT_EQ(keyMessage(keytap), "down:F5");
  EXPECT_EQ(keyMessage(keytap), "up:F5");
  EXPECT_EQ(readErrors(keytap), "");
}

// A register that opens the tap on the new server says that keytap listens again even when the
// chord it asked to keep is refused: the tap stays open for the next ones.
TEST(DisplayLossConsumeTest, ARefusedKeepStillSaysListeningAgain) {
  std::unique_ptr<VirtualDisplay> display = startVirtualDisplay();
  ASSERT_NE(display, nullptr);
  const std::string name = display->name;
  Child keytap = startKeytap(name, "granted", {"--no-prompt", "--status", "--consume"});
  endChild(display->server);
  EXPECT_EQ(nextMessage(keytap),
            (json{{"t", "status"}, {"d", {{"listening", false}, {"reason", "display lost"}}}}));
  display = restartVirtualDisplay(name);
  ASSERT_NE(display, nullptr);
  const std::unique_ptr<Injector> injector = connectInjector(*display);
  ASSERT_NE(injector, nullptr);
  const xcb_window_t root =
      xcb_setup_roots_iterator(xcb_get_setup(injector->connection)).data->root;
  constexpr uint8_t f9 = 75;
  xcb_grab_key(injector->connection, 0, root, 0, f9, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
  std::free(xcb_get_input_focus_reply(injector->connection,
                                      xcb_get_input_focus(injector->connection), nullptr));
  const json keep = {{"t", "register"}, {"d", {{"accelerator", "F9"}, {"consume", true}}}};
  ASSERT_TRUE(sendText(keytap, keep.dump() + "\n" + command("register", "F10")));
  EXPECT_EQ(nextMessage(keytap),
            errorReply("conflict", "another program has taken this chord: F9"));
  EXPECT_EQ(nextMessage(keytap), (json{{"t", "status"}, {"d", {{"listening", true}}}}));
  EXPECT_EQ(nextMessage(keytap), reply("registered", "F10"));
  EXPECT_EQ(readErrors(keytap), "");
}

}  // namespace
