#include <gtest/gtest.h>

#include "core/registry.h"
#include "host/startup.h"
#include "keyboard/tap.h"
#include "support/capture.h"
#include "support/fake_platform.h"

namespace {

using nlohmann::json;

struct StartCase {
  const char* name;
  bool preflight;
  bool request;
  bool tapOpens;
  std::vector<const char*> args;
  int requests;     // expected calls of the prompt
  int tapAttempts;  // expected tap openings during start-up
  bool granted;
};

class StartUpTest : public testing::TestWithParam<StartCase> {};

TEST_P(StartUpTest, SettlesThePermissionAndSaysReady) {
  const StartCase& c = GetParam();
  fakeReset();
  fake.preflightGrants = c.preflight;
  fake.requestGrants = c.request;
  fake.tapOpens = c.tapOpens;
  addRegistration("stale", Accel{});

  CapturedOutput output;
  startUp(c.args);

  EXPECT_EQ(fake.preflightCalls, 1);
  EXPECT_EQ(fake.requestCalls, c.requests);
  EXPECT_EQ(fake.openTapCalls, c.tapAttempts);
  EXPECT_EQ(tap != nullptr, c.granted);
  EXPECT_TRUE(registered.empty());
  EXPECT_EQ(keyCodes.size(), 83u);
  const std::vector<json> lines = output.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            (json{{"t", "ready"},
                  {"d", {{"available", true}, {"permission", c.granted ? "granted" : "denied"}}}}));
}

INSTANTIATE_TEST_SUITE_P(
    Decisions, StartUpTest,
    testing::Values(
        StartCase{"GrantedNeedsNoPrompt", true, false, true, {"keytap"}, 0, 1, true},
        StartCase{
            "GrantedIgnoresNoPrompt", true, false, true, {"keytap", "--no-prompt"}, 0, 1, true},
        StartCase{"GrantedButTapFails", true, false, false, {"keytap"}, 0, 1, false},
        StartCase{"NoPromptKeepsThePromptAway",
                  false,
                  true,
                  true,
                  {"keytap", "--no-prompt"},
                  0,
                  0,
                  false},
        StartCase{"NoPromptAnywhere",
                  false,
                  true,
                  true,
                  {"keytap", "x", "--no-prompt", "y"},
                  0,
                  0,
                  false},
        StartCase{"NoPromptAsProgramPath", false, true, true, {"--no-prompt"}, 0, 0, false},
        StartCase{"PromptGrants", false, true, true, {"keytap"}, 1, 1, true},
        StartCase{"PromptGrantsButTapFails", false, true, false, {"keytap"}, 1, 1, false},
        StartCase{"PromptRefuses", false, false, true, {"keytap"}, 1, 0, false},
        StartCase{"NoArgumentsAtAll", false, true, true, {}, 1, 1, true},
        StartCase{
            "ValueDoesNotCount", false, false, true, {"keytap", "--no-prompt=1"}, 1, 0, false},
        StartCase{"CaseDoesNotCount", false, false, true, {"keytap", "--No-Prompt"}, 1, 0, false},
        StartCase{
            "PrefixDoesNotCount", false, false, true, {"keytap", "--no-prompt "}, 1, 0, false},
        StartCase{"ShortDoesNotCount", false, false, true, {"keytap", "--no-promp"}, 1, 0, false}),
    [](const testing::TestParamInfo<StartCase>& test) { return test.param.name; });

}  // namespace
