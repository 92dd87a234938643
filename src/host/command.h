// Decoding one command line: the envelope's "t" and the "accelerator" inside "d".
#pragma once

#include <optional>
#include <string>
#include <string_view>

/// What "d"."consume" holds (--consume): nothing, a boolean, or something else.
enum class Consume { absent, no, yes, malformed };

struct Command {
  std::string word;                        // the value of "t"
  std::optional<std::string> accelerator;  // the value of "d"."accelerator", when a string
  Consume consume = Consume::absent;       // the value of "d"."consume"

  friend bool operator==(const Command&, const Command&) = default;
};

/// The command the line holds, or nothing when it is not a strict JSON object with a string
/// "t" and an object "d"; "d" may lack a string "accelerator" and a boolean "consume". A member
/// named twice counts with its last value; other members are ignored. Pure.
std::optional<Command> decodeCommand(std::string_view line);
