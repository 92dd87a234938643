#include <gtest/gtest.h>

#include "support/capture.h"
#include "wire/emit.h"
#include "wire/messages.h"

namespace {

using nlohmann::json;

TEST(EmitTest, WritesOneCompactLine) {
  CapturedOutput output;
  emit(readyMessage(true));
  const std::string bytes = output.bytes();
  ASSERT_TRUE(bytes.ends_with('\n'));
  EXPECT_EQ(bytes.find('\n'), bytes.size() - 1);
  EXPECT_EQ(bytes.find(' '), std::string::npos);
  EXPECT_EQ(json::parse(bytes),
            json::parse(R"({"t":"ready","d":{"available":true,"permission":"granted"}})"));
}

TEST(EmitTest, TextsSurviveEscapingUnchanged) {
  const std::string texts[] = {
      "Cmd+\"",
      "Cmd+/",
      "Cmd+\\",
      "line\nfeed",
      "tab\there",
      "nul\x01\x1F",
      "\u00E9\u212A\U0001F600",
      "\u2028\u2029",
      "",
  };
  CapturedOutput output;
  for (const std::string& text : texts) emit(acceleratorMessage("registered", text));
  const std::vector<json> lines = output.lines();
  ASSERT_EQ(lines.size(), std::size(texts));
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i]["d"]["accelerator"], texts[i]);
    EXPECT_EQ(lines[i].size(), 2u);
  }
}

TEST(EmitTest, DropsAMessageThatIsNotValidUtf8) {
  CapturedOutput output;
  emit(acceleratorMessage("registered", "bad\xC3("));
  emit(errorMessage("bad_request", "\xFF"));
  emit(acceleratorMessage("registered", "good"));
  const std::vector<json> lines = output.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["d"]["accelerator"], "good");
}

TEST(EmitTest, KeyMessagesCarryTheTimeWithItsFraction) {
  CapturedOutput output;
  const double at = 1733740000123.456;
  emit(keyMessage("down", "F5", at));
  const std::vector<json> lines = output.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["t"], "down");
  EXPECT_DOUBLE_EQ(lines[0]["d"]["at"].get<double>(), at);
}

TEST(NowMsTest, IsWallClockMillisecondsThatDoNotGoBack) {
  const double first = nowMs();
  const double seconds = static_cast<double>(time(nullptr));
  EXPECT_NEAR(first / 1000.0, seconds, 2.0);
  double previous = first;
  bool sawFraction = false;
  for (int i = 0; i < 1000; ++i) {
    const double now = nowMs();
    EXPECT_GE(now, previous);
    sawFraction = sawFraction || now != std::floor(now);
    previous = now;
  }
  EXPECT_TRUE(sawFraction);
}

}  // namespace
