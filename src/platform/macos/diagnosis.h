// keytap --doctor on macOS, from facts to sentences: pure, so that it is tested on any machine.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/diagnosis.h"

struct SecureInput {
  int pid;
  std::string process;  // its name; empty when unknown
};

struct MacFacts {
  bool granted = false;                    // Input Monitoring, by preflight only
  std::optional<SecureInput> secureInput;  // who holds Secure Input on now
  std::optional<bool> accessibility;       // whether it is granted, asked with --consume only
};

std::vector<Finding> macosFindings(const MacFacts& facts);
