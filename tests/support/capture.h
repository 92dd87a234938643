// Captures what the code under test writes to standard output, as decoded JSON lines.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct CapturedOutput {
  CapturedOutput();
  ~CapturedOutput();
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;

  /// Everything written since the last call, as raw bytes.
  std::string bytes();
  /// Everything written since the last call, one decoded value per line; a line that is not
  /// JSON decodes to a discarded value.
  std::vector<nlohmann::json> lines();

  int readEnd = -1;
  int savedStdout = -1;
};
