// Hostile and broken input to the real binary: every line gets its reply, in order, and keytap
// stays alive, holding no more than the input that waits to be answered.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "e2e/e2e.h"

namespace {

using nlohmann::json;

// A memory figure of the process from /proc, such as VmHWM (peak) or VmRSS, in MB.
double megabytes(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(field + ":")) return std::stod(line.substr(field.size() + 1)) / 1024;
  }
  return -1;
}

// Writes all of the text, or gives up once the pipe has stayed full for a few seconds.
bool writeUnlessStuck(int input, std::string_view text) {
  fcntl(input, F_SETFL, fcntl(input, F_GETFL) | O_NONBLOCK);
  while (!text.empty()) {
    pollfd room{input, POLLOUT, 0};
    if (poll(&room, 1, 5000) <= 0) return false;
    const ssize_t written = write(input, text.data(), text.size());
    if (written > 0) {
      text.remove_prefix(static_cast<size_t>(written));
    } else if (errno != EAGAIN && errno != EINTR) {
      return false;
    }
  }
  return true;
}

// A literal with its NUL bytes kept.
template <size_t N>
std::string bytes(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

TEST(AbuseTest, NulBytesAndBrokenTextGetTheirReplies) {
  Child keytap = startKeytap("", "denied");
  const std::pair<std::string, json> exchanges[] = {
      {bytes("\0\0\0\n"), errorReply("bad_request", "malformed command")},
      {bytes("\0{\"t\":\"unregister\",\"d\":{\"accelerator\":\"a\"}}\n"),
       errorReply("bad_request", "malformed command")},
      {bytes("{\"t\":\"unregister\",\0\"d\":{\"accelerator\":\"a\"}}\n"),
       errorReply("bad_request", "malformed command")},
      {bytes("{\"t\":\"unregister\",\"d\":{\"accelerator\":\"a\"}}\0{}\n"),
       errorReply("bad_request", "malformed command")},
      {bytes("{\"t\":\"unregister\",\"d\":{\"accelerator\":\"a\0b\"}}\n"),
       errorReply("bad_request", "malformed command")},
      {R"({"t":"unregister","d":{"accelerator":"a\u0000b"}})"
       "\n",
       reply("unregistered", bytes("a\0b"))},
      {"\xFF\xFE{}\n", errorReply("bad_request", "malformed command")},
      {R"({"t":"unregister","d":{"accelerator":"\ud83d"}})"
       "\n",
       errorReply("bad_request", "malformed command")},
  };
  for (const auto& [line, expected] : exchanges) {
    ASSERT_TRUE(sendText(keytap, line));
    EXPECT_EQ(nextMessage(keytap), expected);
  }
  EXPECT_EQ(readErrors(keytap), "");
}

TEST(AbuseTest, HugeAndDeepLinesAreAnsweredWithBoundedMemory) {
  Child keytap = startKeytap("", "denied");
  const std::string huge(16 << 20, 'a');
  std::thread writer([&] {
    for (int i = 0; i < 3; ++i) sendText(keytap, command("unregister", huge));
    sendText(keytap, std::string(100000, '[') + std::string(100000, ']') + "\n");
    sendText(keytap, std::string(100000, '{') + "\n");
    sendText(keytap, command("unregister", "after"));
  });
  for (int i = 0; i < 3; ++i) EXPECT_EQ(nextMessage(keytap), reply("unregistered", huge));
  EXPECT_EQ(nextMessage(keytap), errorReply("bad_request", "malformed command"));
  EXPECT_EQ(nextMessage(keytap), errorReply("bad_request", "malformed command"));
  EXPECT_EQ(nextMessage(keytap), reply("unregistered", "after"));
  writer.join();
  // A 16 MiB line is held a few times over while it is read, decoded and answered; three of
  // them cost no more than one.
  if (KEYTAP_MEASURES_MEMORY) {
    EXPECT_LT(megabytes(keytap.pid, "VmHWM"), 160);
  }
}

TEST(AbuseTest, AMillionLinesInOneBurstAreAnsweredInOrder) {
  Child keytap = startKeytap("", "denied");
  constexpr int count = 1000000;
  double sentMegabytes = 0;
  std::thread writer([&] {
    std::string chunk;
    for (int i = 0; i < count; ++i) {
      chunk += command(i % 2 ? "unregister" : "register", i % 2 ? std::to_string(i) : "Cmd+Plus");
      if (chunk.size() > (1 << 20) || i == count - 1) {
        sentMegabytes += static_cast<double>(chunk.size()) / (1 << 20);
        sendText(keytap, chunk);
        chunk.clear();
      }
    }
  });
  const json refused = errorReply("bad_request", "unknown accelerator: Cmd+Plus");
  int inOrder = 0;
  for (; inOrder < count; ++inOrder) {
    const std::optional<std::string> line = readLine(keytap, replyTimeoutMs);
    if (!line) break;
    const json expected = inOrder % 2 ? reply("unregistered", std::to_string(inOrder)) : refused;
    if (json::parse(*line, nullptr, false) != expected) break;
  }
  writer.join();
  EXPECT_EQ(inOrder, count);
  // keytap takes every line as it comes; one waiting to be answered costs about its own length,
  // and the memory goes back to the system once the burst is handled.
  ASSERT_TRUE(sendText(keytap, command("unregister", "after")));
  EXPECT_EQ(nextMessage(keytap), reply("unregistered", "after"));
  if (KEYTAP_MEASURES_MEMORY) {
    EXPECT_LT(megabytes(keytap.pid, "VmHWM"), sentMegabytes + 8);
    EXPECT_LT(megabytes(keytap.pid, "VmRSS"), 16);
  }
}

TEST(AbuseTest, AHostThatWritesWithoutReadingGetsAllItsInputTaken) {
  Child keytap = startKeytap("", "denied");
  std::string lines;
  while (lines.size() < (8 << 20)) lines += command("unregister", "Cmd+K");
  ASSERT_TRUE(writeUnlessStuck(keytap.input, lines));
  closeInput(keytap);
  EXPECT_EQ(waitForExit(keytap, 2000), 0);
}

TEST(AbuseTest, AHostThatStopsReadingCannotKillKeytap) {
  Child keytap = startKeytap("", "denied");
  close(keytap.output);
  keytap.output = -1;
  for (int i = 0; i < 2000; ++i) ASSERT_TRUE(sendText(keytap, command("unregister", "K")));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(waitForExit(keytap, 0), std::nullopt);  // still running
  closeInput(keytap);
  EXPECT_EQ(waitForExit(keytap, replyTimeoutMs), 0);
  EXPECT_EQ(readErrors(keytap), "");
}

}  // namespace
