// keytap --doctor on Windows, from facts to sentences: pure, so that it is tested on any
// machine.
#pragma once

#include <vector>

#include "platform/diagnosis.h"

struct WindowsFacts {
  bool rawInputRegisters = false;
  bool elevated = false;
};

std::vector<Finding> windowsFindings(const WindowsFacts& facts);
