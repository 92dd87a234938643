// keytap --doctor on Windows, from facts to sentences: pure, so that it is tested on any
// machine.
#pragma once

#include <string>
#include <vector>

#include "platform/diagnosis.h"

/// A program with a visible window whose keys may not reach keytap.
struct ElevatedProgram {
  std::string program;  // its file name; empty when not even that can be read
  // True when it runs at a higher integrity level than keytap (elevated, "run as
  // administrator"); false when its level cannot be read (another account's, a protected
  // process such as an anti-cheat's).
  bool known = true;
};

struct WindowsFacts {
  bool rawInputRegisters = false;
  bool elevated = false;
  std::vector<ElevatedProgram> elevatedWindows;
};

std::vector<Finding> windowsFindings(const WindowsFacts& facts);
