#include <gtest/gtest.h>

#include "core/key_table.h"
#include "core/state.h"
#include "host/handle.h"
#include "keyboard/tap.h"
#include "support/capture.h"
#include "support/fake_platform.h"

namespace {

using nlohmann::json;

class HandleTest : public testing::Test {
 protected:
  void SetUp() override { fakeReset(); }

  // Handles one line and returns its one reply.
  json reply(std::string_view line) {
    handle(line);
    const std::vector<json> lines = output.lines();
    EXPECT_EQ(lines.size(), 1u) << line;
    return lines.empty() ? json() : lines[0];
  }

  static json error(std::string_view code, std::string_view message) {
    return {{"t", "error"}, {"d", {{"code", code}, {"message", message}}}};
  }
  static json ok(std::string_view type, std::string_view text) {
    return {{"t", type}, {"d", {{"accelerator", text}}}};
  }
  static std::string command(std::string_view word, std::string_view text) {
    return json{{"t", word}, {"d", {{"accelerator", text}}}}.dump();
  }

  CapturedOutput output;
};

TEST_F(HandleTest, MalformedLinesGetOneReplyAndChangeNothing) {
  const char* lines[] = {
      "",
      "register Cmd+K",
      "[]",
      R"("register")",
      "{}",
      "null",
      R"({"t":"register"})",
      R"({"t":"register","d":null})",
      R"({"t":"register","d":[]})",
      R"({"t":"register","d":"Cmd+K"})",
      R"({"t":"register","d":{}})",
      R"({"t":"nonsense","d":{}})",
      R"({"t":"nonsense"})",
      R"({"t":1,"d":{"accelerator":"Cmd+K"}})",
      R"({"t":true,"d":{"accelerator":"Cmd+K"}})",
      R"({"t":null,"d":{"accelerator":"Cmd+K"}})",
      R"({"t":"register","d":{"accelerator":1}})",
      R"({"t":"register","d":{"accelerator":false}})",
      R"({"t":"register","d":{"accelerator":null}})",
      R"({"t":"register","d":{"accelerator":["Cmd+K"]}})",
      R"({"t":"register","d":{"accelerator":"Cmd+K"}} x)",
      R"({"t":"register","d":{"accelerator":"Cmd+K"}}{})",
      R"({"t":"register","d":{"accelerator":"Cmd+K",}})",
      R"({"t":"register",/*c*/"d":{"accelerator":"Cmd+K"}})",
      R"({'t':'register','d':{'accelerator':'Cmd+K'}})",
      R"({"t":"register","d":{"accelerator":"\ud800"}})",
  };
  for (const char* line : lines) {
    EXPECT_EQ(reply(line), error("bad_request", "malformed command")) << line;
  }
  EXPECT_TRUE(registered.empty());
  EXPECT_EQ(fake.openTapCalls, 0);
}

TEST_F(HandleTest, WhiteSpaceAndExtraMembersAreAccepted) {
  EXPECT_EQ(reply(" \t{\"t\" : \"register\", \"x\": 1, \"d\": {\"accelerator\": \"F5\", "
                  "\"y\": [1]}}\r\n "),
            ok("registered", "F5"));
}

TEST_F(HandleTest, UnknownCommandsEchoTheirWord) {
  EXPECT_EQ(reply(command("Register", "Cmd+K")), error("bad_request", "unknown command: Register"));
  EXPECT_EQ(reply(command("", "Cmd+K")), error("bad_request", "unknown command: "));
  EXPECT_EQ(reply(command("register ", "Cmd+K")),
            error("bad_request", "unknown command: register "));
  EXPECT_TRUE(registered.empty());
}

TEST_F(HandleTest, RegisterRepliesWithTheTextUnchanged) {
  EXPECT_EQ(reply(command("register", "cmd+k")), ok("registered", "cmd+k"));
  EXPECT_EQ(reply(command("register", "Cmd+\"")),
            error("bad_request", "unknown accelerator: Cmd+\""));
  EXPECT_EQ(reply(command("register", "Cmd+/")), ok("registered", "Cmd+/"));
  EXPECT_EQ(registered.size(), 2u);
  EXPECT_EQ(registered.at("cmd+k"), (Accel{40, commandFlag}));
}

TEST_F(HandleTest, UnparsableTextsAreRefusedBeforeTheTapIsTouched) {
  fake.tapOpens = false;
  EXPECT_EQ(reply(command("register", "")), error("bad_request", "unknown accelerator: "));
  EXPECT_EQ(reply(command("register", "Cmd+Plus")),
            error("bad_request", "unknown accelerator: Cmd+Plus"));
  EXPECT_EQ(fake.openTapCalls, 0);
}

TEST_F(HandleTest, ExtendedNamesNeedTheOptionAndAKeyThePlatformHas) {
  EXPECT_EQ(reply(command("register", "RightAlt")),
            error("bad_request", "unknown accelerator: RightAlt"));
  options.extendedKeys = true;
  buildKeyCodes();
  fake.hasFn = false;
  EXPECT_EQ(reply(command("register", "Fn")),
            error("bad_request", "not available on this platform: Fn"));
  EXPECT_EQ(reply(command("register", "RightAlt")), ok("registered", "RightAlt"));
  EXPECT_EQ(registered.size(), 1u);
}

TEST_F(HandleTest, ADuplicateKeepsTheFirstRegistration) {
  ASSERT_EQ(reply(command("register", "Cmd+K")), ok("registered", "Cmd+K"));
  EXPECT_EQ(reply(command("register", "Cmd+K")), error("conflict", "already registered: Cmd+K"));
  EXPECT_EQ(fake.openTapCalls, 1);

  Event down{40, 0, commandFlag};
  fakeDeliver(keyDownEvent, &down);
  const auto lines = output.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["d"]["accelerator"], "Cmd+K");
}

TEST_F(HandleTest, ForbiddenLeavesTheRegistryAndRetriesTheTap) {
  fake.tapOpens = false;
  EXPECT_EQ(reply(command("register", "Cmd+K")), error("forbidden", "Input Monitoring denied"));
  EXPECT_EQ(reply(command("register", "Cmd+K")), error("forbidden", "Input Monitoring denied"));
  EXPECT_TRUE(registered.empty());
  EXPECT_EQ(fake.openTapCalls, 2);
  EXPECT_EQ(reply(command("unregister", "Cmd+K")), ok("unregistered", "Cmd+K"));

  fake.tapOpens = true;
  EXPECT_EQ(reply(command("register", "Cmd+K")), ok("registered", "Cmd+K"));
  EXPECT_EQ(fake.openTapCalls, 3);
}

TEST_F(HandleTest, UnregisterAlwaysAnswersAndDropsTheHold) {
  EXPECT_EQ(reply(command("unregister", "never")), ok("unregistered", "never"));
  EXPECT_EQ(reply(command("unregister", "Cmd+Plus")), ok("unregistered", "Cmd+Plus"));
  EXPECT_EQ(fake.openTapCalls, 0);

  ASSERT_EQ(reply(command("register", "Cmd+K")), ok("registered", "Cmd+K"));
  Event down{40, 0, commandFlag};
  fakeDeliver(keyDownEvent, &down);
  ASSERT_EQ(output.lines().size(), 1u);
  EXPECT_EQ(reply(command("unregister", "Cmd+K")), ok("unregistered", "Cmd+K"));
  EXPECT_TRUE(registered.empty());
  EXPECT_TRUE(held.empty());

  // Registered again before the release: the old hold does not come back as an "up".
  ASSERT_EQ(reply(command("register", "Cmd+K")), ok("registered", "Cmd+K"));
  Event up{40, 0, 0};
  fakeDeliver(keyUpEvent, &up);
  EXPECT_EQ(output.bytes(), "");
}

TEST_F(HandleTest, MouseButtonsAreWatchedWhileOneIsRegistered) {
  options.mouseButtons = true;
  buildKeyCodes();
  const struct {
    const char* word;
    const char* text;
    bool watching;
  } steps[] = {
      {"register", "F5", false},          {"register", "Mouse4", true},
      {"register", "Shift+Mouse5", true}, {"unregister", "Mouse4", true},
      {"unregister", "F5", true},         {"unregister", "Shift+Mouse5", false},
  };
  for (const auto& step : steps) {
    reply(command(step.word, step.text));
    EXPECT_EQ(fake.watchingButtons, step.watching) << step.word << " " << step.text;
  }
}

TEST_F(HandleTest, TextsThatDifferOnlyInCaseAreTwoRegistrations) {
  ASSERT_EQ(reply(command("register", "Cmd+K")), ok("registered", "Cmd+K"));
  ASSERT_EQ(reply(command("register", "cmd+k")), ok("registered", "cmd+k"));
  Event down{40, 0, commandFlag};
  fakeDeliver(keyDownEvent, &down);
  std::vector<std::string> texts;
  for (const json& line : output.lines()) texts.push_back(line["d"]["accelerator"]);
  std::sort(texts.begin(), texts.end());
  EXPECT_EQ(texts, (std::vector<std::string>{"Cmd+K", "cmd+k"}));
}

TEST_F(HandleTest, TheLastOfTwoSameNamedMembersCounts) {
  EXPECT_EQ(reply(R"({"t":"unregister","t":"register","d":{"accelerator":"A","accelerator":"B"}})"),
            ok("registered", "B"));
}

TEST_F(HandleTest, DeeplyNestedInputIsJustMalformed) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_EQ(reply(deep), error("bad_request", "malformed command"));
  const std::string deepPayload =
      R"({"t":"register","x":)" + deep + R"(,"d":{"accelerator":"F5"}})";
  EXPECT_EQ(reply(deepPayload), ok("registered", "F5"));
}

}  // namespace

#ifndef KEYTAP_CHURN_PAIRS
#define KEYTAP_CHURN_PAIRS 1000000
#endif

namespace {

// Under LeakSanitizer (the ASan suite) this also shows that nothing leaks.
// --consume: the member is read only with the flag; a key is kept once per chord, and given back
// when the last registration that keeps it goes.
TEST_F(HandleTest, ConsumeKeepsEachChordOnceAndOnlyWithTheFlag) {
  const auto consumed = [](std::string_view text, std::string_view value) {
    return R"({"t":"register","d":{"accelerator":")" + std::string(text) + R"(","consume":)" +
           std::string(value) + "}}";
  };
  EXPECT_EQ(reply(consumed("F9", "true")), ok("registered", "F9"));
  EXPECT_TRUE(fake.kept.empty());
  EXPECT_EQ(reply(consumed("F8", "1")), ok("registered", "F8"));

  fakeReset();
  options.consume = options.extendedKeys = true;
  buildKeyCodes();
  const struct {
    std::string line;
    json said;
  } rows[] = {
      {consumed("F9", "\"yes\""), error("bad_request", "consume takes true or false: F9")},
      {consumed("Control+Shift", "true"),
       error("bad_request", "modifiers alone cannot be consumed: Control+Shift")},
      {consumed("Ctrl+K", "true"), ok("registered", "Ctrl+K")},
      {consumed("Control+K", "true"), ok("registered", "Control+K")},
      {consumed("F9", "false"), ok("registered", "F9")},
      {command("unregister", "Ctrl+K"), ok("unregistered", "Ctrl+K")},
  };
  for (const auto& row : rows) EXPECT_EQ(reply(row.line), row.said) << row.line;
  EXPECT_EQ(fake.kept, (std::vector<Accel>{Accel{40, controlFlag}}));
  EXPECT_EQ(reply(command("unregister", "Control+K")), ok("unregistered", "Control+K"));
  EXPECT_TRUE(fake.kept.empty());

  fake.keepAnswer = {Keeping::taken, "another program has taken this chord"};
  EXPECT_EQ(reply(consumed("F10", "true")),
            error("conflict", "another program has taken this chord: F10"));
  EXPECT_FALSE(registered.contains("F10"));
}

TEST(HandleChurnTest, AMillionPairsLeaveTheRegistryAsItWas) {
  fakeReset();
  const std::string texts[] = {"Cmd+K", "cmd+k", "CMD+K", "Cmd+k", "cMd+K"};
  size_t buckets = 0;
  size_t replies = 0;
  {
    CapturedOutput output;
    for (const std::string& text : texts) {
      handle(R"({"t":"register","d":{"accelerator":")" + text + "\"}}");
    }
    buckets = registered.bucket_count();
    for (int i = 0; i < KEYTAP_CHURN_PAIRS; ++i) {
      const std::string text = "Shift+F5" + std::string(static_cast<size_t>(i % 64), '+');
      handle(R"({"t":"register","d":{"accelerator":")" + text + "\"}}");
      handle(R"({"t":"unregister","d":{"accelerator":")" + text + "\"}}");
      if (i % 1000 == 999) {
        const std::string bytes = output.bytes();
        replies += static_cast<size_t>(std::count(bytes.begin(), bytes.end(), '\n'));
      }
    }
  }
  EXPECT_EQ(replies, 2u * KEYTAP_CHURN_PAIRS + std::size(texts));
  EXPECT_EQ(registered.size(), std::size(texts));
  EXPECT_EQ(registered.bucket_count(), buckets);
  EXPECT_TRUE(held.empty());
}

}  // namespace
