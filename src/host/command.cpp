#include "host/command.h"

#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::json;

// Takes the members that matter straight from the parser's events, without building the whole
// document, which would cost an allocation per member of every line.
struct CommandReader {
  enum class Member { other, word, payload, accelerator, consume };

  std::optional<std::string> word;         // the last "t", when it was a string
  bool payloadIsObject = false;            // the last "d" was an object
  std::optional<std::string> accelerator;  // the last "accelerator" of that "d", if a string
  Consume consume = Consume::absent;       // the last "consume" of that "d"
  size_t depth = 0;                        // containers open
  Member next = Member::other;             // the member whose value comes next
  bool inPayload = false;                  // the container open at depth 2 is "d"

  // A value arrives for the member named last; text is set when it is a string, truth when it is
  // a boolean.
  void settle(std::string* text, std::optional<bool> truth = std::nullopt) {
    const auto taken = [&]() -> std::optional<std::string> {
      if (!text) return std::nullopt;
      return std::move(*text);
    };
    switch (next) {
      case Member::word:
        word = taken();
        break;
      case Member::payload:
        payloadIsObject = false;
        accelerator.reset();
        consume = Consume::absent;
        break;
      case Member::accelerator:
        accelerator = taken();
        break;
      case Member::consume:
        consume = !truth ? Consume::malformed : *truth ? Consume::yes : Consume::no;
        break;
      case Member::other:
        break;
    }
    next = Member::other;
  }

  // Only an object may stand at the top.
  bool scalar(std::string* text, std::optional<bool> truth = std::nullopt) {
    if (depth == 0) return false;
    settle(text, truth);
    return true;
  }

  bool null() { return scalar(nullptr); }
  bool boolean(bool truth) { return scalar(nullptr, truth); }
  bool number_integer(Json::number_integer_t) { return scalar(nullptr); }
  bool number_unsigned(Json::number_unsigned_t) { return scalar(nullptr); }
  bool number_float(Json::number_float_t, const std::string&) { return scalar(nullptr); }
  bool string(std::string& text) { return scalar(&text); }
  bool binary(Json::binary_t&) { return scalar(nullptr); }

  bool start_object(size_t) {
    if (depth > 0 && next == Member::payload) {
      // A new "d" replaces an earlier one, with everything in it.
      payloadIsObject = true;
      accelerator.reset();
      consume = Consume::absent;
      inPayload = true;
      next = Member::other;
    } else if (depth > 0) {
      settle(nullptr);
    }
    ++depth;
    return true;
  }

  bool key(std::string& name) {
    if (depth == 1) {
      next = name == "t" ? Member::word : name == "d" ? Member::payload : Member::other;
    } else if (depth == 2 && inPayload) {
      next = name == "accelerator" ? Member::accelerator
             : name == "consume"   ? Member::consume
                                   : Member::other;
    } else {
      next = Member::other;
    }
    return true;
  }

  bool end_object() {
    if (--depth == 1) inPayload = false;
    return true;
  }

  bool start_array(size_t) {
    if (depth == 0) return false;
    settle(nullptr);
    ++depth;
    return true;
  }

  bool end_array() {
    --depth;
    return true;
  }

  bool parse_error(size_t, const std::string&, const nlohmann::detail::exception&) { return false; }
};

}  // namespace

std::optional<Command> decodeCommand(std::string_view line) {
  // The JSON lexer takes a NUL byte for the end of its input and would ignore what follows.
  // A raw NUL is valid nowhere in JSON text (inside a string it must be escaped), so a line
  // holding one is malformed whatever surrounds it.
  if (line.find('\0') != std::string_view::npos) return std::nullopt;
  CommandReader reader;
  // Strict RFC 8259: no comments, nothing but white space after the value, no exception.
  if (!Json::sax_parse(line, &reader, Json::input_format_t::json, true, false)) {
    return std::nullopt;
  }
  if (!reader.word || !reader.payloadIsObject) return std::nullopt;
  return Command{std::move(*reader.word), std::move(reader.accelerator), reader.consume};
}
