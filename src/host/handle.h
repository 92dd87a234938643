// Command lines from the host: decoding, "register" and "unregister", and their replies.
#pragma once

#include <string_view>

/// Carries out one command line and emits exactly one reply. A refused or malformed command
/// changes nothing. Main thread.
void handle(std::string_view line);
