#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "accelerator/parse.h"
#include "core/registry.h"
#include "keyboard/tap.h"
#include "support/capture.h"
#include "support/fake_platform.h"

namespace {

class TapTest : public testing::Test {
 protected:
  void SetUp() override { fakeReset(); }
};

TEST_F(TapTest, OpensOneTapHoweverOftenItIsAsked) {
  EXPECT_TRUE(createTap());
  Tap* first = tap;
  EXPECT_TRUE(createTap());
  EXPECT_TRUE(createTap());
  EXPECT_EQ(tap, first);
  EXPECT_EQ(fake.openTapCalls, 1);
}

TEST_F(TapTest, AFailureLeavesNoTraceAndIsRetried) {
  fake.tapOpens = false;
  EXPECT_FALSE(createTap());
  EXPECT_FALSE(createTap());
  EXPECT_EQ(tap, nullptr);
  EXPECT_EQ(fake.openTapCalls, 2);
  fake.tapOpens = true;
  EXPECT_TRUE(createTap());
  EXPECT_NE(tap, nullptr);
  EXPECT_EQ(fake.openTapCalls, 3);
}

TEST_F(TapTest, DisabledNotificationsSwitchTheTapOnAgainQuietly) {
  ASSERT_TRUE(createTap());
  addRegistration("Cmd+K", *parse("Cmd+K"));
  CapturedOutput output;
  Event down{40, 0, commandFlag};
  fakeDeliver(keyDownEvent, &down);
  ASSERT_EQ(output.lines().size(), 1u);

  for (uint32_t type : {tapDisabledByTimeout, tapDisabledByUserInput}) {
    Event notification{40, 0, 0};
    EXPECT_EQ(fakeDeliver(type, &notification), &notification);
  }
  EXPECT_EQ(fake.enableTapCalls, 2);
  EXPECT_EQ(fake.tapIsEnabledCalls, 0);  // only --status needs the answer
  EXPECT_EQ(output.bytes(), "");
  EXPECT_TRUE(held.contains("Cmd+K"));

  Event up{40, 0, 0};
  EXPECT_EQ(fakeDeliver(keyUpEvent, &up), &up);
  const auto lines = output.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["t"], "up");
}

TEST_F(TapTest, DisabledNotificationWithoutATapDoesNothing) {
  Event notification{0, 0, 0};
  EXPECT_EQ(tapCallback(tapDisabledByTimeout, &notification), &notification);
  EXPECT_EQ(fake.enableTapCalls, 0);
}

TEST_F(TapTest, ATapTheBackendClosedIsOpenedAgainAtTheNextAsk) {
  for (const uint32_t closed : {displayLost, keyboardsGone}) {
    SetUp();
    ASSERT_TRUE(createTap());
    tapCallback(closed, nullptr);
    EXPECT_EQ(tap, nullptr);
    EXPECT_TRUE(createTap());
    EXPECT_EQ(fake.openTapCalls, 2);
  }
}

// The desktop's word on a bind is a message of its own, never a key event: a hold whose key came
// up unheard stays held, as it would not after any key event.
TEST_F(TapTest, ABindingEventSaysTheDesktopsWordAndNothingElse) {
  ASSERT_TRUE(createTap());
  addRegistration("Cmd+K", *parse("Cmd+K"));
  options.releaseStaleHolds = true;
  CapturedOutput output;
  fake.keysDown.insert(40);
  Event down{40, 0, commandFlag};
  fakeDeliver(keyDownEvent, &down);
  ASSERT_TRUE(held.contains("Cmd+K"));
  output.bytes();
  fake.keysDown.clear();
  const std::pair<BindingState, std::string> words[] = {{BindingState::bound, "bound"},
                                                        {BindingState::refused, "refused"},
                                                        {BindingState::failed, "failed"},
                                                        {BindingState::unbound, "unbound"}};
  for (const auto& [state, name] : words) {
    Event word{0, 0, 0, "Cmd+K", {state, "Press CTRL+k"}};
    EXPECT_EQ(fakeDeliver(shortcutBindingChanged, &word), &word);
    EXPECT_EQ(output.bytes(), R"({"t":"binding","d":{"accelerator":"Cmd+K","state":")" + name +
                                  R"(","trigger":"Press CTRL+k"}})" + "\n");
  }
  EXPECT_TRUE(held.contains("Cmd+K"));
}

}  // namespace
