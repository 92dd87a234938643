#include <gtest/gtest.h>

#include "host/reader.h"
#include "wire/utf8.h"

namespace {

struct RepairCase {
  std::string input;
  std::string expected;
};

constexpr const char* fffd = "\xEF\xBF\xBD";

TEST(Utf8Test, ReplacesEachMaximalIllFormedSubsequence) {
  const RepairCase cases[] = {
      {"plain", "plain"},
      {"\u00E9\u212A\U0001F600", "\u00E9\u212A\U0001F600"},
      {"a\xFF"
       "b",
       std::string("a") + fffd + "b"},
      {"\xC3", fffd},                      // truncated at the end
      {"\xC3(", std::string(fffd) + "("},  // bad continuation
      {"\xE2\x82", fffd},                  // one truncated sequence
      {"\xE2\x82(", std::string(fffd) + "("},
      {"\xF0\x9F\x98", fffd},
      {"\xC0\xAF", std::string(fffd) + fffd},                        // overlong: two
      {"\xE0\x80\xAF", std::string(fffd) + fffd + fffd},             // overlong: three
      {"\xED\xA0\x80", std::string(fffd) + fffd + fffd},             // surrogate
      {"\xF4\x90\x80\x80", std::string(fffd) + fffd + fffd + fffd},  // above U+10FFFF
      {"\xF5", fffd},
      {"\x80\x80", std::string(fffd) + fffd},  // lone continuations
      {std::string("nul\0ok", 6), std::string("nul\0ok", 6)},
  };
  for (const RepairCase& c : cases) {
    EXPECT_EQ(repairUtf8(c.input), c.expected) << testing::PrintToString(c.input);
    EXPECT_TRUE(isValidUtf8(repairUtf8(c.input)));
    EXPECT_EQ(isValidUtf8(c.input), c.input == c.expected);
  }
}

std::vector<std::string> split(std::initializer_list<std::string_view> chunks,
                               std::string* rest = nullptr) {
  std::string lines;
  std::string pending;
  for (std::string_view chunk : chunks) splitLines(pending, chunk, lines);
  if (rest) *rest = pending;
  // Every line handed on ends with its line feed.
  EXPECT_TRUE(lines.empty() || lines.ends_with('\n'));
  std::vector<std::string> split;
  for (size_t start = 0; start < lines.size(); start = lines.find('\n', start) + 1) {
    split.push_back(lines.substr(start, lines.find('\n', start) - start));
  }
  return split;
}

TEST(SplitLinesTest, SplitsAtLineFeedOnly) {
  using Lines = std::vector<std::string>;
  EXPECT_EQ(split({"a\nb\n"}), (Lines{"a", "b"}));
  EXPECT_EQ(split({"a\r\nb\r\n"}), (Lines{"a", "b"}));
  EXPECT_EQ(split({"a\rb\n"}), (Lines{"a\rb"}));
  EXPECT_EQ(split({"a\r\r\n"}), (Lines{"a\r"}));
  EXPECT_EQ(split({"\n\n"}), (Lines{"", ""}));
  EXPECT_EQ(split({"\r\n"}), (Lines{""}));
}

TEST(SplitLinesTest, JoinsLinesAcrossChunks) {
  using Lines = std::vector<std::string>;
  std::string rest;
  EXPECT_EQ(split({"ab", "c\nd", "e\r", "\nf"}, &rest), (Lines{"abc", "de"}));
  EXPECT_EQ(rest, "f");
  // A multi-byte character cut between two reads stays whole.
  EXPECT_EQ(split({"\xE2\x84", "\xAA\n"}), (Lines{"\u212A"}));
  EXPECT_EQ(split({"bad\xFF\n"}), (Lines{std::string("bad") + fffd}));
}

}  // namespace
