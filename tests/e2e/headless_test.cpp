// The real binary without any display: every command is answered, whether or not a keyboard can
// be watched. Also run against keytap.exe under wine.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "e2e/e2e.h"

namespace {

using nlohmann::json;

TEST(HeadlessTest, AnswersEveryCommandInOrder) {
  Child keytap = startKeytap("", headlessPermission);
  const std::pair<std::string, json> exchanges[] = {
      {"\n", errorReply("bad_request", "malformed command")},
      {"hello\n", errorReply("bad_request", "malformed command")},
      {R"({"t":"Register","d":{"accelerator":"Cmd+K"}})"
       "\n",
       errorReply("bad_request", "unknown command: Register")},
      {command("register", "Cmd+Plus"), errorReply("bad_request", "unknown accelerator: Cmd+Plus")},
      {command("register", "Cmd+K"), headlessPermission == "granted"
                                         ? reply("registered", "Cmd+K")
                                         : errorReply("forbidden", "Input Monitoring denied")},
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
  Child keytap = startKeytap("", headlessPermission);
  ASSERT_TRUE(sendText(keytap, "{\"t\":\"unregister\",\"d\":{\"accelerator\":\"a\xFF\xC3(\"}}\n"));
  EXPECT_EQ(nextMessage(keytap), reply("unregistered", "a\uFFFD\uFFFD("));
  ASSERT_TRUE(sendText(keytap, "{\"t\":\"x\xE2\x82\",\"d\":{\"accelerator\":\"\"}}\n"));
  EXPECT_EQ(nextMessage(keytap), errorReply("bad_request", "unknown command: x\uFFFD"));
}

TEST(HeadlessTest, ABurstOfLinesIsAnsweredInOrder) {
  Child keytap = startKeytap("", headlessPermission);
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
  Child keytap = startKeytap("", headlessPermission);
  closeInput(keytap);
  EXPECT_EQ(waitForExit(keytap, replyTimeoutMs), 0);
  EXPECT_EQ(readLine(keytap, 100), std::nullopt);
}

TEST(HeadlessTest, EndOfInputDoesNotWaitForQueuedLines) {
  Child keytap = startKeytap("", headlessPermission);
  // Write until nothing more fits, reading nothing: keytap's output pipe fills up, its main
  // thread blocks, and lines queue up inside keytap and in its input pipe.
  fcntl(keytap.input, F_SETFL, O_NONBLOCK);
  const std::string line = command("register", "Cmd+Shift+Alt+F5");
  int written = 0;
  for (int refusals = 0; refusals < 20;) {
    if (write(keytap.input, line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
      ++written;
    } else {
      ++refusals;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  EXPECT_GT(written, 2000);
  closeInput(keytap);
  EXPECT_EQ(waitForExit(keytap, 2000), 0);
}

TEST(HeadlessTest, ALastLineWithoutLineFeedIsStillALine) {
  // keytap may end before answering it, so only the line before it is certain.
  Child keytap = startKeytap("", headlessPermission);
  ASSERT_TRUE(sendText(
      keytap, command("unregister", "A") + R"({"t":"unregister","d":{"accelerator":"B"}})"));
  EXPECT_EQ(nextMessage(keytap), reply("unregistered", "A"));
  EXPECT_EQ(readLine(keytap, 200), std::nullopt);  // no line feed yet, so no line yet
  closeInput(keytap);
  EXPECT_EQ(waitForExit(keytap, replyTimeoutMs), 0);
}

}  // namespace
