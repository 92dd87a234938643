// A private Xvfb and XTEST key injection, for the end-to-end tests, the demo and the
// benchmarks.
#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <memory>
#include <string>

#include "support/process.h"

struct VirtualDisplay {
  Child server;
  std::string name;    // ":N", as chosen by the server
  std::string cookie;  // 16 bytes; empty when the server lets every local client in
  std::string authFile;
  ~VirtualDisplay();
};

/// Starts Xvfb on the first free display it finds (-displayfd). With `locked`, only clients
/// that present the display's cookie may connect; with `tcp`, clients may also connect over TCP
/// on the loopback. Null when no server comes up.
std::unique_ptr<VirtualDisplay> startVirtualDisplay(bool locked = false, bool tcp = false);

/// Starts Xvfb again on a display name that an earlier server chose and has given up, as
/// after a crash of the X server. Null when it does not come up within a few seconds.
std::unique_ptr<VirtualDisplay> restartVirtualDisplay(const std::string& name);

/// A client of the display that injects keys through XTEST.
struct Injector {
  Injector() = default;
  Injector(const Injector&) = delete;
  Injector& operator=(const Injector&) = delete;
  ~Injector();

  xcb_connection_t* connection = nullptr;
};

/// Connects an injector, presenting the display's cookie if it has one.
std::unique_ptr<Injector> connectInjector(const VirtualDisplay& display);

/// Presses or releases the key with this X key code and waits until the server has done it.
void injectKey(Injector& injector, uint8_t keycode, bool press);
/// Presses or releases the pointer button with this X button number, and waits likewise.
void injectButton(Injector& injector, uint8_t button, bool press);
/// Moves the pointer by the offset, and waits likewise.
void injectMotion(Injector& injector, int16_t dx, int16_t dy);
/// Takes an active grab of the whole keyboard, as an open menu, a game or a screen locker does;
/// it lasts until the injector disconnects. False when the server refuses it.
bool grabKeyboard(Injector& injector);
/// Makes the key type `keysym` with no modifier, as a layout that puts another character there.
void mapKey(Injector& injector, uint8_t keycode, uint32_t keysym);
/// Sets the server's keyboard layouts with setxkbmap, from xkeyboard-config's own files, as a
/// desktop's settings do: `layouts` such as "us,de", and `option` such as "grp:caps_toggle" (Caps
/// Lock switches the layout) or none. False when setxkbmap fails.
bool setLayouts(const VirtualDisplay& display, const std::string& layouts,
                const std::string& option = "");
/// Lets every client connect, as if the user had just granted access.
void unlockDisplay(Injector& injector);

// X key codes of the evdev keymap (evdev code + 8).
namespace xkey {
constexpr uint8_t a = 38, j = 44, k = 45, f5 = 71, space = 65;
constexpr uint8_t leftShift = 50, leftControl = 37, leftAlt = 64, leftSuper = 133;
constexpr uint8_t rightAlt = 108, w = 25, s = 39, d = 40, numpad7 = 79, home = 110, f21 = 199;
constexpr uint8_t y = 29, q = 24, grave = 49, capsLock = 66, kpDivide = 106, l = 46;
constexpr uint8_t printScreen = 107, pause = 127, insert = 118;
}  // namespace xkey
