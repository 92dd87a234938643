// Helpers shared by the end-to-end tests of the real keytap binary.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

#include <nlohmann/json.hpp>

#include "support/process.h"

// Generous: sanitizer builds run many times slower, and only a failing test waits it out.
constexpr int replyTimeoutMs = 30000;

/// Starts the keytap under test with the arguments, on the display (none when empty), through
/// `env` when `environment` (NAME=value) is given: this build's binary, or KEYTAP_BINARY from
/// the environment, started through KEYTAP_LAUNCHER when that is set (wine for keytap.exe,
/// qemu-user for another architecture's keytap).
inline std::optional<Child> spawnKeytap(std::vector<std::string> args, const std::string& display,
                                        const std::string& environment = "") {
  const char* binary = std::getenv("KEYTAP_BINARY");
  std::string program = binary ? binary : KEYTAP_BINARY;
  if (const char* launcher = std::getenv("KEYTAP_LAUNCHER")) {
    args.insert(args.begin(), program);
    program = launcher;
  }
  if (!environment.empty()) {
    args.insert(args.begin(), {environment, program});
    program = "/usr/bin/env";
  }
  return spawnChild(program, args, display);
}

/// Checks that "ready", with this permission, is the first line keytap writes.
inline void expectReady(Child& keytap, const std::string& permission) {
  const std::optional<std::string> ready = readLine(keytap, replyTimeoutMs);
  EXPECT_EQ(
      nlohmann::json::parse(ready.value_or("null")),
      (nlohmann::json{{"t", "ready"}, {"d", {{"available", true}, {"permission", permission}}}}));
}

/// Starts the keytap under test on the display (none when empty: then on Linux the X11 road,
/// which is the same on every machine, whatever keyboards it has) and checks that "ready" comes
/// first.
inline Child startKeytap(const std::string& display, const std::string& permission,
                         std::vector<std::string> args = {"--no-prompt"}) {
  if (display.empty()) args.push_back("--backend=x11");
  std::optional<Child> keytap = spawnKeytap(args, display);
  EXPECT_TRUE(keytap.has_value());
  if (!keytap) return Child{};
  expectReady(*keytap, permission);
  return std::move(*keytap);
}

/// The next line keytap writes, decoded; null when none comes in time.
inline nlohmann::json nextMessage(Child& keytap) {
  const std::optional<std::string> line = readLine(keytap, replyTimeoutMs);
  return line ? nlohmann::json::parse(*line, nullptr, false) : nlohmann::json();
}

/// What "ready" says without a display: "denied" where the display is the keyboard's only
/// source, or KEYTAP_HEADLESS_PERMISSION from the environment ("granted" for Windows).
inline const std::string headlessPermission = std::getenv("KEYTAP_HEADLESS_PERMISSION")
                                                  ? std::getenv("KEYTAP_HEADLESS_PERMISSION")
                                                  : "denied";

inline std::string command(std::string_view word, std::string_view text) {
  return nlohmann::json{{"t", word}, {"d", {{"accelerator", text}}}}.dump() + "\n";
}

inline nlohmann::json reply(std::string_view type, std::string_view text) {
  return {{"t", type}, {"d", {{"accelerator", text}}}};
}

/// The "described" of a text: its label, and who holds it where a holder is given.
inline nlohmann::json described(std::string_view text, std::string_view label,
                                const char* taken = nullptr) {
  nlohmann::json said{{"t", "described"}, {"d", {{"accelerator", text}, {"label", label}}}};
  if (taken) said["d"]["taken"] = taken;
  return said;
}

inline nlohmann::json errorReply(std::string_view code, std::string_view message) {
  return {{"t", "error"}, {"d", {{"code", code}, {"message", message}}}};
}

/// Every message keytap sent until the reply to a marker command: keys injected before the
/// marker was sent were handled before it.
inline std::vector<nlohmann::json> messagesBeforeMarker(Child& keytap) {
  std::vector<nlohmann::json> messages;
  EXPECT_TRUE(sendText(keytap, command("unregister", "marker")));
  for (nlohmann::json message = nextMessage(keytap); message != reply("unregistered", "marker");
       message = nextMessage(keytap)) {
    if (message.is_null()) {
      ADD_FAILURE() << "no reply to the marker";
      break;
    }
    messages.push_back(std::move(message));
  }
  return messages;
}

/// Everything keytap said about keys until the reply to a marker command, as "down:text" and
/// "up:text".
inline std::vector<std::string> keysSaid(Child& keytap) {
  std::vector<std::string> said;
  for (const nlohmann::json& message : messagesBeforeMarker(keytap)) {
    EXPECT_TRUE(message["d"]["at"].is_number()) << message;
    said.push_back(message["t"].get<std::string>() + ":" +
                   message["d"]["accelerator"].get<std::string>());
  }
  return said;
}
