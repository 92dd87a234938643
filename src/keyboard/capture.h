// Recording the next chord the user presses (--capture), in keytap's own grammar.
#pragma once

#include <cstdint>

#include <string>
#include <string_view>

#include "core/accel.h"
#include "platform/platform.h"

/// Feeds one tap event to the running capture. A key other than a modifier that goes down ends
/// it, with the modifiers held; so does, with --extended-keys, the first release of modifiers
/// pressed with no other key between them, and with --mouse-buttons a watched button. Then
/// "captured" is emitted and the capture is over. A key keytap has no name for is passed over, and
/// so is a key with Right Alt held where the layout makes it AltGr and the key types through it.
/// Main thread.
void captureKeyEvent(uint32_t type, const Event* event);

/// Starts a capture, or lets the one running go on; with --mouse-buttons the buttons are watched
/// while it runs. Main thread.
void startCapture();
/// Ends the capture, if one runs. Main thread.
void endCapture();

/// The "captured" or "described" message of an accelerator: its text and its label in the
/// current keyboard layout.
void sayDescribed(const char* type, const Accel& accel, std::string_view text);

/// The accelerator text keytap writes on this platform.
std::string textOf(const Accel& accel);
