// Helpers shared by the end-to-end tests of the real keytap binary.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/process.h"
#include "support/xserver.h"

// Generous: sanitizer builds run many times slower, and only a failing test waits it out.
constexpr int replyTimeoutMs = 30000;

/// Starts keytap on the display (none when empty) and checks that "ready" comes first.
inline Child startKeytap(const std::string& display, const std::string& permission,
                         std::vector<std::string> args = {"--no-prompt"}) {
  std::optional<Child> keytap = spawnChild(KEYTAP_BINARY, args, display);
  EXPECT_TRUE(keytap.has_value());
  if (!keytap) return Child{};
  const std::optional<std::string> ready = readLine(*keytap, replyTimeoutMs);
  EXPECT_EQ(
      nlohmann::json::parse(ready.value_or("null")),
      (nlohmann::json{{"t", "ready"}, {"d", {{"available", true}, {"permission", permission}}}}));
  return std::move(*keytap);
}

/// The next line keytap writes, decoded; null when none comes in time.
inline nlohmann::json nextMessage(Child& keytap) {
  const std::optional<std::string> line = readLine(keytap, replyTimeoutMs);
  return line ? nlohmann::json::parse(*line, nullptr, false) : nlohmann::json();
}

inline std::string command(std::string_view word, std::string_view text) {
  return nlohmann::json{{"t", word}, {"d", {{"accelerator", text}}}}.dump() + "\n";
}

inline nlohmann::json reply(std::string_view type, std::string_view text) {
  return {{"t", type}, {"d", {{"accelerator", text}}}};
}

inline nlohmann::json errorReply(std::string_view code, std::string_view message) {
  return {{"t", "error"}, {"d", {{"code", code}, {"message", message}}}};
}
