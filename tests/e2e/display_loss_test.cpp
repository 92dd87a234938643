// The X server dies under keytap and a new one comes up: keytap keeps answering and reports
// keys again once a register opens a tap on the new server, or at once when the host asked for
// status messages. Runs alone: it reuses the display number that its first server chose.
#include "e2e/e2e.h"

namespace {

using nlohmann::json;

std::string keyMessage(Child& keytap) {
  const json message = nextMessage(keytap);
  if (!message.is_object()) return "nothing";
  return message["t"].get<std::string>() + ":" + message["d"]["accelerator"].get<std::string>();
}

TEST(DisplayLossTest, KeytapSurvivesTheServerAndUsesTheNextOne) {
  std::unique_ptr<VirtualDisplay> display = startVirtualDisplay();
  ASSERT_NE(display, nullptr);
  std::unique_ptr<Injector> injector = connectInjector(*display);
  ASSERT_NE(injector, nullptr);
  Child keytap = startKeytap(display->name, "granted");
  ASSERT_TRUE(sendText(keytap, command("register", "F5")));
  ASSERT_EQ(nextMessage(keytap), reply("registered", "F5"));
  injectKey(*injector, xkey::f5, true);
  ASSERT_EQ(keyMessage(keytap), "down:F5");

  // The server dies with F5 held.
  const std::string name = display->name;
  injector.reset();
  endChild(display->server);
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

TEST(DisplayLossTest, OnRequestTheHoldClosesAndListeningComesBackByItself) {
  std::unique_ptr<VirtualDisplay> display = startVirtualDisplay();
  ASSERT_NE(display, nullptr);
  std::unique_ptr<Injector> injector = connectInjector(*display);
  ASSERT_NE(injector, nullptr);
  Child keytap =
      startKeytap(display->name, "granted", {"--no-prompt", "--release-stale-holds", "--status"});
  ASSERT_TRUE(sendText(keytap, command("register", "F5")));
  ASSERT_EQ(nextMessage(keytap), reply("registered", "F5"));
  injectKey(*injector, xkey::f5, true);
  ASSERT_EQ(keyMessage(keytap), "down:F5");

  const std::string name = display->name;
  injector.reset();
  endChild(display->server);
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

}  // namespace
