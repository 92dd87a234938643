// Start-up: everything before the reader thread and the main loop take over.
#pragma once

#include <span>
#include <string_view>

#include "core/state.h"

/// True when one element of the argument list is exactly `name`.
bool hasArgument(std::span<const char* const> args, std::string_view name);

/// The opt-in options that the arguments ask for.
Options optionsFrom(std::span<const char* const> args);

/// Gives the process-wide state its first values, settles the listen permission (prompting
/// unless "--no-prompt" is among `args`, the program path included), opens the tap when
/// permitted, takes the opt-in options from `args` and emits "ready". Main thread, before any
/// line is read.
void startUp(std::span<const char* const> args);
