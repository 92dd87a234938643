#include <gtest/gtest.h>

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

}  // namespace
