// Changes to the hotkey registry, which keep its index by key code in step with it.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "core/state.h"

/// Stores the accelerator under the text; does nothing when the text is registered already.
/// Main thread.
void addRegistration(std::string text, Accel accel);
/// Removes the text's registration, if it has one. Main thread.
void removeRegistration(std::string_view text);
/// Removes every registration. Main thread.
void clearRegistrations();

/// Whether any mouse button accelerator is registered. Main thread.
bool anyMouseButtonRegistered();

/// The registrations whose key code is `keyCode`, in no particular order; valid until the
/// registry changes. Main thread.
std::span<const Registration* const> registrationsOf(uint16_t keyCode);
