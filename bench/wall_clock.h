// The clock of keytap's "at": milliseconds since 1970, with a fraction. The floors that keytap
// is measured against stamp their lines with it too, so that each listener is timed by its own
// moment of writing.
#pragma once

#include <chrono>

inline double wallClockMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}
