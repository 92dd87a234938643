// What the command line asks for instead of serving a host: --version, --help, --doctor, or a
// platform argument that is wrong.
#pragma once

#include <optional>
#include <span>

/// Does what the arguments ask for instead of serving a host, and returns the exit status;
/// nothing when keytap is to serve its host. Main thread, before start-up.
std::optional<int> runCommandLine(std::span<const char* const> args);
