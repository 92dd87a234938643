// The X11 backend's connections to $DISPLAY, shared by the tap (backend.cpp) and the layout lookups
// (layout.cpp).
#pragma once

#include <xcb/xcb.h>

#include <utility>

namespace x11 {
/// A new connection to $DISPLAY, nothing written to standard error; check it for an error.
xcb_connection_t* connectQuietly();
/// The XInput version the server speaks on this connection, at most 2.2; 0.0 without XInput.
/// XInput 2 requests need it asked first.
std::pair<int, int> xinputVersion(xcb_connection_t* connection);
}  // namespace x11
