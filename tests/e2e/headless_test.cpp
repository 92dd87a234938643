// The real binary without any display: no keyboard can be watched, every command is answered.
#include <chrono>

#include "e2e/e2e.h"

namespace {

using nlohmann::json;

TEST(HeadlessTest, AnswersEveryCommandInOrder) {
  Child keytap = startKeytap("", "denied");
  const std::pair<std::string, json> exchanges[] = {
      {"\n", errorReply("bad_request", "malformed command")},
      {"hello\n", errorReply("bad_request", "malformed command")},
      {R"({"t":"Register","d":{"accelerator":"Cmd+K"}})"
       "\n",
       errorReply("bad_request", "unknown command: Register")},
      {command("register", "Cmd+Plus"), errorReply("bad_request", "unknown accelerator: Cmd+Plus")},
      {command("register", "Cmd+K"), errorReply("forbidden", "Input Monitoring denied")},
      {command("unregister", "Cmd+K"), reply("unregistered", "Cmd+K")},
      {command("register", "cmd+\"/\\") + "\r\n",  // an empty line after a CRLF one
       errorReply("bad_request", "unknown accelerator: cmd+\"/\\")},
      {"", errorReply("bad_request", "malformed command")},
      {R"({"t":"unregister","d":{"accelerator":"Cmd+K"}})"
       "\r\n",
       reply("unregistered", "Cmd+K")},
  };
  for (const auto& [line, expected] : exchanges) {
    ASSERT_TRUE(sendText(keytap, line));
    EXPECT_EQ(nextMessage(keytap), expected) << line;
  }
  closeInput(keytap);
  EXPECT_EQ(waitForExit(keytap, replyTimeoutMs), 0);
  EXPECT_EQ(readErrors(keytap), "");
}

TEST(HeadlessTest, InvalidUtf8ComesBackAsReplacementCharacters) {
  Child keytap = startKeytap("", "denied");
  ASSERT_TRUE(sendText(keytap, "{\"t\":\"unregister\",\"d\":{\"accelerator\":\"a\xFF\xC3(\"}}\n"));
  EXPECT_EQ(nextMessage(keytap), reply("unregistered", "a\uFFFD\uFFFD("));
  ASSERT_TRUE(sendText(keytap, "{\"t\":\"x\xE2\x82\",\"d\":{\"accelerator\":\"\"}}\n"));
  EXPECT_EQ(nextMessage(keytap), errorReply("bad_request", "unknown command: x\uFFFD"));
}

TEST(HeadlessTest, ABurstOfLinesIsAnsweredInOrder) {
  Child keytap = startKeytap("", "denied");
  constexpr int count = 10000;
  std::string burst;
  for (int i = 0; i < count; ++i) burst += command("unregister", "K" + std::to_string(i));
  // Write from another thread: keytap answers while we are still writing.
  std::thread writer([&] { sendText(keytap, burst); });
  int answered = 0;
  for (; answered < count; ++answered) {
    if (nextMessage(keytap) != reply("unregistered", "K" + std::to_string(answered))) break;
  }
  writer.join();
  EXPECT_EQ(answered, count);
}

TEST(HeadlessTest, EndOfInputAtOnceExitsWithZero) {
  Child keytap = startKeytap("", "denied");
  closeInput(keytap);
  EXPECT_EQ(waitForExit(keytap, replyTimeoutMs), 0);
  EXPECT_EQ(readLine(keytap, 100), std::nullopt);
}

TEST(HeadlessTest, EndOfInputDoesNotWaitForQueuedLines) {
  Child keytap = startKeytap("", "denied");
  std::string burst;
  for (int i = 0; i < 50000; ++i)
    burst += command("register", "Cmd+Shift+Alt+F" + std::to_string(i % 20 + 1));
  std::thread writer([&] {
    sendText(keytap, burst);
    closeInput(keytap);
  });
  // Read nothing: keytap's output pipe fills, and it must still end at once.
  const auto started = std::chrono::steady_clock::now();
  const std::optional<int> status = waitForExit(keytap, 10000);
  writer.join();
  EXPECT_EQ(status, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

TEST(HeadlessTest, ALastLineWithoutLineFeedIsStillALine) {
  // keytap may end before answering it, so only the line before it is certain.
  Child keytap = startKeytap("", "denied");
  ASSERT_TRUE(sendText(
      keytap, command("unregister", "A") + R"({"t":"unregister","d":{"accelerator":"B"}})"));
  EXPECT_EQ(nextMessage(keytap), reply("unregistered", "A"));
  EXPECT_EQ(readLine(keytap, 200), std::nullopt);  // no line feed yet, so no line yet
  closeInput(keytap);
  EXPECT_EQ(waitForExit(keytap, replyTimeoutMs), 0);
}

}  // namespace
