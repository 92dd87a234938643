// Writing messages to the host, and the clock their timestamps come from.
#pragma once

#include <nlohmann/json.hpp>

/// Writes the message as one compact JSON line to standard output: the JSON bytes, then the
/// line feed in a second write. A message holding invalid UTF-8 is dropped whole. Main thread.
void emit(const nlohmann::ordered_json& message);

/// Wall-clock milliseconds since 1970, with the sub-millisecond fraction.
double nowMs();
