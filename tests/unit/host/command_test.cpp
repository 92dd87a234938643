#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "host/command.h"

namespace {

using nlohmann::json;

// What a whole document says the command is: the reference decodeCommand must agree with.
std::optional<Command> decodeWithDocument(std::string_view line) {
  const json value = json::parse(line, nullptr, false);
  if (!value.is_object()) return std::nullopt;
  const auto word = value.find("t");
  const auto payload = value.find("d");
  if (word == value.end() || !word->is_string()) return std::nullopt;
  if (payload == value.end() || !payload->is_object()) return std::nullopt;
  const auto accelerator = payload->find("accelerator");
  const auto consume = payload->find("consume");
  Command command{*word, std::nullopt, Consume::absent};
  if (accelerator != payload->end() && accelerator->is_string()) {
    command.accelerator = accelerator->get<std::string>();
  }
  if (consume != payload->end()) {
    command.consume = !consume->is_boolean() ? Consume::malformed
                      : consume->get<bool>() ? Consume::yes
                                             : Consume::no;
  }
  return command;
}

TEST(DecodeCommandTest, AgreesWithTheWholeDocumentOnEveryMix) {
  const char* members[] = {
      R"("t":"register")",
      R"("t":1)",
      R"("t":{"t":"unregister"})",
      R"("t":["register"])",
      R"("d":{"accelerator":"K"})",
      R"("d":{"accelerator":2})",
      R"("d":{"accelerator":"A","accelerator":"B"})",
      R"("d":{"accelerator":"K","consume":true})",
      R"("d":{"consume":false,"accelerator":"K"})",
      R"("d":{"consume":true,"consume":"yes"})",
      R"("d":{"consume":{"consume":true}})",
      R"("d":{"x":{"accelerator":"J"},"y":[1,{"accelerator":"L"}]})",
      R"("d":[{"accelerator":"K"}])",
      R"("d":null)",
      R"("x":{"t":"y","d":{"accelerator":"Z"}})",
  };
  int checked = 0;
  const size_t count = std::size(members);
  for (size_t a = 0; a <= count; ++a) {
    for (size_t b = 0; b <= count; ++b) {
      for (size_t c = 0; c <= count; ++c) {
        std::string line = "{";
        for (size_t index : {a, b, c}) {
          if (index == count) continue;
          if (line.size() > 1) line += ",";
          line += members[index];
        }
        line += "}";
        EXPECT_EQ(decodeCommand(line), decodeWithDocument(line)) << line;
        ++checked;
      }
    }
  }
  EXPECT_EQ(checked, 4096);
}

TEST(DecodeCommandTest, TakesTheTextsWithTheirEscapesResolved) {
  const std::optional<Command> command =
      decodeCommand(R"({"d":{"accelerator":"Cmd+\"\/\\\u00e9\u0000"},"t":"reg\u0069ster"})");
  ASSERT_TRUE(command.has_value());
  EXPECT_EQ(command->word, "register");
  EXPECT_EQ(command->accelerator, std::string("Cmd+\"/\\\u00e9\0", 10));
}

}  // namespace
