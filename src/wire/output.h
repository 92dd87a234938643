// Where the wire's bytes go. The platform defines it: standard output is an OS handle.
#pragma once

#include <string_view>

/// Writes all of the bytes to standard output at once, unbuffered, unless it fails for good (the
/// host has gone away), which is not reported. Main thread.
void writeOutput(std::string_view bytes);
