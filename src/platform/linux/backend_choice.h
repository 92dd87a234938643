// Which Linux keyboard source keytap takes: X11, evdev or the desktop's portal. Pure, so that the
// choice can be tested over every environment.
#pragma once

#include <optional>
#include <span>
#include <string_view>

enum class Backend { x11, evdev, portal };

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
/// windows; otherwise a session with a display takes X11; otherwise (a console) evdev. With
/// `portalWanted` (--portal), a Wayland session where evdev can read no keyboard takes the
/// desktop's portal instead; `evdevCanRead` is asked only then.
template <typename EvdevCanRead>
BackendChoice chooseBackend(const Session& session, bool portalWanted, EvdevCanRead evdevCanRead);
BackendChoice chooseBackend(const Session& session);

/// What the arguments ask for: `valid` is false when a "--backend=" names no backend;
/// `validAppId` is false when a "--portal=" names no app id; `backend` is the one the last of
/// them forces, if any; `portalAppId` is there with --portal (empty) or --portal=APP_ID.
struct BackendRequest {
  bool valid = true;
  bool validAppId = true;
  std::optional<Backend> backend;
  std::optional<std::string_view> portalAppId;
};
BackendRequest requestedBackend(std::span<const char* const> args);

/// Whether the text is an app id as desktops name apps: two or more dot-separated elements of
/// ASCII letters, digits, '_' and '-', none empty or starting with a digit, 255 bytes at most.
bool isAppId(std::string_view text);

/// "x11", "evdev" or "portal".
std::string_view backendName(Backend backend);

/// Whether the session is a Wayland one, by either of its variables.
bool isWayland(const Session& session);

constexpr std::string_view portalWhy =
    "This is a Wayland session where keytap can read no keyboard under /dev/input, and --portal "
    "allows the desktop's GlobalShortcuts portal: the desktop binds the shortcuts and takes "
    "their keys from the windows.";

template <typename EvdevCanRead>
BackendChoice chooseBackend(const Session& session, bool portalWanted, EvdevCanRead evdevCanRead) {
  if (portalWanted && isWayland(session) && !evdevCanRead()) return {Backend::portal, portalWhy};
  return chooseBackend(session);
}
