// keytap --doctor on Windows, from facts to sentences: pure, so that it is tested on any
// machine.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/diagnosis.h"

struct WindowsFacts {
  bool rawInputRegisters = false;
  bool elevated = false;
  // The program whose window is in front when it runs at a higher integrity level than keytap
  // (elevated, "run as administrator"): its file name, empty when unknown.
  std::optional<std::string> elevatedForeground;
};

std::vector<Finding> windowsFindings(const WindowsFacts& facts);
