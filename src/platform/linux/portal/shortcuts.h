// What keytap asks of a desktop's GlobalShortcuts portal, and what the answers mean: pure, so
// that both tables are tested.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/accel.h"
#include "platform/platform.h"

/// How a desktop matches Shift with a digit or punctuation key: by the key and Shift (GNOME), or
/// by the symbol Shift types there, Shift itself taken as spent (KDE hears Control+Shift+1 as
/// "Ctrl+!").
enum class ShiftMatch { keyAndShift, shiftedSymbol };

/// The trigger keytap proposes for an accelerator, in the shortcut syntax of the XDG portals:
/// the modifiers (CTRL, ALT, SHIFT, LOGO), then the XKB keysym name that the default keymap
/// gives the key at its position on a US layout ("CTRL+SHIFT+k", "XF86Tools" for F13). Empty for
/// what no desktop binds: modifiers alone, a mouse button, Fn, a modifier of one side, a key the
/// default keymap gives no keysym (F19, F24). Where the desktop matches the shifted symbol, Shift
/// with a digit or punctuation key is proposed as that symbol ("CTRL+exclam").
std::string preferredTrigger(const Accel& accel, ShiftMatch shiftMatch);

/// Whether the accelerator's key types text, and no modifier but Shift goes with it: a desktop
/// would take that key from every window.
bool typesText(const Accel& accel);

/// The session token for the host at this executable path: KDE files the shortcuts of an app
/// that names no app id under it, so it is the same for every run of one host (the next run
/// finds them again) and another for another host (whose bind would take them away). "keytap"
/// where the path is unknown.
std::string sessionTokenFor(std::string_view hostExecutable);

/// Whether XDG_CURRENT_DESKTOP's ':'-separated list names the desktop.
bool namesDesktop(std::string_view currentDesktops, std::string_view desktop);

/// The state of one shortcut asked in a bind, from the desktop's answer: bound whenever it comes
/// back in the bound list, whatever the response code (GNOME 48 answers a bind that worked with
/// 2); otherwise failed where the bind failed (2), refused where the user refused (1) or the
/// desktop left it out (0).
BindingState bindingState(bool listed, uint32_t response);
