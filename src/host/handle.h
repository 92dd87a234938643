// Command lines from the host: decoding, "register" and "unregister", and their replies.
#pragma once

#include <optional>
#include <string>
#include <string_view>

struct Command {
  std::string word;         // the value of "t"
  std::string accelerator;  // the value of "d"."accelerator"
};

/// The command the line holds, or nothing when it is not a strict JSON object with a string
/// "t" and an object "d" holding a string "accelerator". Pure.
std::optional<Command> decodeCommand(std::string_view line);

/// Carries out one command line and emits exactly one reply. A refused or malformed command
/// changes nothing. Main thread.
void handle(std::string_view line);
