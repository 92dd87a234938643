#include "platform/linux/backend_choice.h"

#include <algorithm>

namespace {

constexpr std::string_view backendOption = "--backend";
constexpr std::string_view portalOption = "--portal";
constexpr std::string_view portalWithAppId = "--portal=";

}  // namespace

BackendChoice chooseBackend(const Session& session) {
  if (!session.waylandDisplay.empty()) {
    return {Backend::evdev,
            "This is a Wayland session (WAYLAND_DISPLAY is set), where an X11 "
            "client hears only the keys typed into X11 windows: keytap reads "
            "the keyboards under /dev/input."};
  }
  if (session.sessionType == "wayland") {
    return {Backend::evdev,
            "This is a Wayland session (XDG_SESSION_TYPE is wayland), where an "
            "X11 client hears only the keys typed into X11 windows: keytap reads "
            "the keyboards under /dev/input."};
  }
  if (!session.display.empty()) {
    return {Backend::x11,
            "This is an X11 session (DISPLAY is set): keytap listens to the X "
            "server."};
  }
  return {Backend::evdev,
          "There is no display (neither WAYLAND_DISPLAY nor DISPLAY is set): "
          "keytap reads the keyboards under /dev/input."};
}

BackendRequest requestedBackend(std::span<const char* const> args) {
  BackendRequest request;
  for (const char* arg : args) {
    if (!arg) continue;
    const std::string_view text(arg);
    if (text == portalOption) request.portalAppId = "";
    if (text.starts_with(portalWithAppId)) {
      request.portalAppId = text.substr(portalWithAppId.size());
      request.validAppId = request.validAppId && isAppId(*request.portalAppId);
    }
    if (!text.starts_with(backendOption)) continue;
    const std::string_view rest = text.substr(backendOption.size());
    if (rest == "=x11") {
      request.backend = Backend::x11;
    } else if (rest == "=evdev") {
      request.backend = Backend::evdev;
    } else if (rest == "=portal") {
      request.backend = Backend::portal;
    } else if (rest.empty() || rest.starts_with('=')) {
      request.valid = false;
    }
  }
  return request;
}

bool isAppId(std::string_view text) {
  if (text.empty() || text.size() > 255) return false;
  size_t elements = 0;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = std::min(text.find('.', start), text.size());
    const std::string_view element = text.substr(start, end - start);
    if (element.empty() || (element[0] >= '0' && element[0] <= '9')) return false;
    for (const char c : element) {
      const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
      if (!letter && !(c >= '0' && c <= '9') && c != '_' && c != '-') return false;
    }
    ++elements;
    start = end + 1;
  }
  return elements >= 2;
}

std::string_view backendName(Backend backend) {
  switch (backend) {
    case Backend::x11:
      return "x11";
    case Backend::evdev:
      return "evdev";
    case Backend::portal:
      return "portal";
  }
  return "";
}

bool isWayland(const Session& session) {
  return !session.waylandDisplay.empty() || session.sessionType == "wayland";
}
