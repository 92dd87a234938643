// The OS services keytap needs, as free functions. Exactly one platform defines them all:
// macos/ (CoreGraphics), windows/ (Raw Input), linux/ (X11, evdev or the desktop's portal, chosen
// at start) or the unit tests' fake.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/accel.h"
#include "platform/diagnosis.h"
#include "wire/output.h"  // writeOutput, defined by each platform

// Event types carry macOS's values on every platform, so nothing above this seam branches
// on the OS.
constexpr uint32_t keyDownEvent = 10;
constexpr uint32_t keyUpEvent = 11;
constexpr uint32_t tapDisabledByTimeout = 0xFFFFFFFE;
constexpr uint32_t tapDisabledByUserInput = 0xFFFFFFFF;
// keytap's own notifications, which macOS never sends; their event is null. The display went
// away, or the last keyboard did, and took the tap with it: the backend has freed it before the
// callback runs, and the callback forgets it, so that the next openTap opens another. Or one
// keyboard of several went away, and with it the keys held on it.
constexpr uint32_t displayLost = 0xFFFFFFFD;
constexpr uint32_t keyboardsGone = 0xFFFFFFFC;
constexpr uint32_t keyboardRemoved = 0xFFFFFFFB;
// The desktop ended the session its shortcuts were bound in (Linux --portal), or its portal went
// away or came back: switching the tap on again opens another session and binds them again.
constexpr uint32_t shortcutSessionClosed = 0xFFFFFFFA;
// The desktop said what became of a shortcut it was asked to bind (Linux --portal): the event
// names the registration (eventShortcut) and carries the desktop's word (eventBinding).
constexpr uint32_t shortcutBindingChanged = 0xFFFFFFF9;

/// What became of a shortcut keytap asked the desktop to bind.
enum class BindingState { bound, refused, failed, unbound };

/// The desktop's word on one shortcut: its state, and its trigger described for people.
struct ShortcutBinding {
  BindingState state = BindingState::unbound;
  std::string_view trigger;
};

struct Tap;    // an open listen-only keyboard tap; defined by the backend
struct Event;  // one keyboard event as the backend delivers it

/// Called on the main thread for every event the tap delivers; returns the event it was given.
using TapCallback = Event* (*)(uint32_t type, Event* event);
/// Called on the main thread by the ticker.
using Tick = void (*)();
/// Called on the main thread with each batch of posted lines (each ended by a line feed), in
/// posting order.
using LinesHandler = void (*)(std::string_view lines);

/// Prepares the process before anything else runs. Main thread, first.
void prepareProcess();
/// Takes the arguments that only this platform knows (Linux: --backend=x11|evdev|portal, --portal).
/// Returns the line for standard error when one of them is wrong, else nothing. Main thread, before
/// the listen permission is asked for.
std::string_view takePlatformArguments(std::span<const char* const> args);
/// Reads up to `size` bytes of standard input, waiting as long as it takes; 0 once the input has
/// ended or can no longer be read. Reader thread.
size_t readInput(char* buffer, size_t size);
/// Writes a line for a person to standard error; keytap never does so while it serves a host.
void writeError(std::string_view bytes);
/// Ends the process at once with exit status 0, running no clean-up of the state that the main
/// thread may be using. Any thread.
[[noreturn]] void endProcess();

/// True when this process may already listen to keyboard events; never prompts.
bool preflightListenAccess();
/// Asks the system to prompt for the listen permission; true when it is granted on return.
bool requestListenAccess();

/// What keytap sees of the keyboard and of the listen permission, for --doctor. Never prompts,
/// never reads a key. Main thread.
Diagnosis diagnose();

/// Opens the listen-only keyboard tap, attaches it to the main loop and enables it, so that
/// `onEvent` runs on the main thread for every key-down and key-up. Returns null when no tap
/// can be opened; nothing is left behind then.
Tap* openTap(TapCallback onEvent);
/// Switches an open tap on again after the system switched it off.
void enableTap(Tap* tap);
/// Whether the tap is switched on. An enabled tap may still hear nothing (macOS: Secure Input,
/// a revoked permission).
bool tapIsEnabled(Tap* tap);
/// Whether the key at this position (a macOS virtual key code) is down right now, as far as the
/// system can tell; false while no tap is open where the tap is the only source.
bool keyIsDown(uint16_t keyCode);

/// Has the tap deliver the mouse buttons of --mouse-buttons (as key events with their key codes)
/// or stop delivering them: keytap watches pointer devices only while a button accelerator is
/// registered. Holds for taps opened later too; a call that changes nothing does nothing. Main
/// thread.
void watchMouseButtons(bool watch);

/// The event's virtual key code field (macOS codes; a signed 64-bit value as read).
int64_t eventKeyCode(const Event* event);
/// Non-zero when the event is an autorepeated key-down.
int64_t eventAutorepeat(const Event* event);
/// The event's modifier flags in CGEventFlags encoding.
uint64_t eventFlags(const Event* event);
/// The one registered text the event is for, where the desktop says which shortcut was pressed
/// (Linux --portal); empty where the event is for every registration of its chord.
std::string_view eventShortcut(const Event* event);
/// What the desktop said of the shortcut of a shortcutBindingChanged event.
ShortcutBinding eventBinding(const Event* event);

/// What became of a request to keep a key from the other programs (--consume): kept, or not for
/// want of a way (unavailable), because another program has taken it, or for want of a
/// permission.
enum class Keeping { kept, unavailable, taken, forbidden };
struct KeepAnswer {
  Keeping outcome = Keeping::kept;
  std::string why;  // in words for the host, where the key is not kept
};

/// Keeps the accelerator's key or button from every other program whenever it goes down with
/// exactly the accelerator's modifiers, with its autorepeats and its release; never a modifier.
/// With `keep` false, gives it back; a press kept already keeps its release. The tap hears it
/// all the same. Main thread, with the tap open.
KeepAnswer keepFromOthers(const Accel& accel, bool keep);

/// Who holds a chord already, as far as the system can tell: nobody it knows of (also where it
/// cannot tell), the system's own shortcuts, or another program's hotkey or grab.
enum class ChordHolder { unknown, system, anotherProgram };

/// Who holds the chord's key with exactly its modifiers (--capture): macOS's enabled symbolic
/// hotkeys, X11's passive grabs, Windows' hotkeys, found by asking or by a probe that holds
/// nothing once it returns and leaves keytap's own keeping (--consume) as it was. Modifiers alone,
/// evdev and the portal: unknown. Main thread.
ChordHolder chordHolder(const Accel& accel);

/// The start of the error message for an accelerator that this platform cannot take, such as
/// notAvailable: Fn, F21 to F24 or mouse buttons are missing on some; empty when it can.
std::string_view whyUnavailable(const Accel& accel);
constexpr std::string_view notAvailable = "not available on this platform";

/// Why no tap opens, in words for the host, where the listen permission is not what is missing
/// (Linux --portal: no portal, no GlobalShortcuts, an app id refused); empty otherwise.
std::string whyNoTap();

/// Whether the system may be keeping key presses from the tap now while it still shows modifier
/// changes (macOS Secure Input): a modifier hold cannot tell then that it was alone. Main thread.
bool keyPressesHidden();

/// Whether the tap hears every key, so that a capture can record a chord: not where the desktop
/// binds the shortcuts and reports only those (Linux --portal).
bool hearsEveryKey();

/// Tells the backend that `registered` changed. Only one whose desktop binds the shortcuts itself
/// (Linux --portal) does anything with it. Main thread, after the change.
void registrationsChanged();

/// What the current keyboard layout types at this key position with no modifier, in UTF-8, for
/// labels (--capture); empty where it types nothing or the layout cannot be read. Main thread.
std::string typedCharacter(uint16_t keyCode);
/// Whether the key with Right Alt held types a character rather than making a shortcut: the
/// current layout makes Right Alt its AltGr and the key has characters there. False where the
/// layout cannot be read, and on macOS, where Option is no AltGr. Main thread.
bool typesWithAltGr(uint16_t keyCode);

/// The modifier bit that "CommandOrControl" and "CmdOrCtrl" stand for on this platform.
uint64_t commandOrControlFlag();

/// Hands a batch of complete lines, each ended by a line feed, to the main thread, first in,
/// first out; never waits for them to be handled. Any thread may call it.
void postLines(std::string lines);
/// Calls `tick` on the main thread about once a second from now on; null stops the ticks. A
/// ticker that is already running keeps its schedule. Main thread.
void tickEverySecond(Tick tick);
/// Runs the main loop on the main thread for the rest of the process: posted lines go to
/// `handleLines`, one batch at a time, key events to the tap's callback. Never returns.
[[noreturn]] void runMainLoop(LinesHandler handleLines);
