// What --doctor reports: what keytap sees of the keyboard and of its permission to listen, in
// plain sentences, each with what to do when something is wrong.
#pragma once

#include <string>
#include <vector>

struct Finding {
  std::string subject;  // what it is about: "session", "display", "/dev/input/event3"...
  std::string seen;     // what keytap sees, in one or two sentences
  std::string fix;      // what to do about it; empty when nothing needs doing
};

struct Diagnosis {
  std::vector<Finding> findings;
  bool canListen = false;
};
