// Which Linux keyboard source keytap takes: X11 or evdev. Pure, so that the choice can be
// tested over every environment.
#pragma once

#include <optional>
#include <span>
#include <string_view>

enum class Backend { x11, evdev };

/// The environment variables the choice depends on; empty when unset.
struct Session {
  std::string_view waylandDisplay;  // WAYLAND_DISPLAY
  std::string_view sessionType;     // XDG_SESSION_TYPE
  std::string_view display;         // DISPLAY
};

struct BackendChoice {
  Backend backend;
  std::string_view why;  // one sentence, for --doctor
};

/// A Wayland session takes evdev, since an X11 client there hears only the keys typed into X11
/// windows; otherwise a session with a display takes X11; otherwise (a console) evdev.
BackendChoice chooseBackend(const Session& session);

/// What the arguments ask for with "--backend=x11" or "--backend=evdev": `valid` is false when
/// one names no backend; `backend` is absent when none forces one (the last one counts).
struct BackendRequest {
  bool valid = true;
  std::optional<Backend> backend;
};
BackendRequest requestedBackend(std::span<const char* const> args);

/// "x11" or "evdev".
std::string_view backendName(Backend backend);
