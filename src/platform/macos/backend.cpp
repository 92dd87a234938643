// macOS backend: a CoreGraphics session event tap on the main run loop, listen-only unless it
// keeps keys (--consume), and the main dispatch queue as the hand-off from the reader thread.
#include <ApplicationServices/ApplicationServices.h>
#include <Carbon/Carbon.h>
#include <CoreFoundation/CoreFoundation.h>
#include <CoreGraphics/CoreGraphics.h>
#include <dispatch/dispatch.h>
#include <libproc.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <vector>

#include "core/accel.h"
#include "core/state.h"
#include "platform/kept_keys.h"
#include "platform/macos/diagnosis.h"
#include "platform/macos/key_events.h"
#include "platform/platform.h"
#include "wire/utf8.h"

static_assert(kCGEventKeyDown == keyDownEvent && kCGEventKeyUp == keyUpEvent);
static_assert(kCGEventTapDisabledByTimeout == tapDisabledByTimeout);
static_assert(kCGEventTapDisabledByUserInput == tapDisabledByUserInput);
static_assert(kCGEventFlagMaskShift == shiftFlag && kCGEventFlagMaskControl == controlFlag);
static_assert(kCGEventFlagMaskAlternate == optionFlag && kCGEventFlagMaskCommand == commandFlag);
static_assert(NX_DEVICELCTLKEYMASK == leftControlFlag && NX_DEVICERCTLKEYMASK == rightControlFlag);
static_assert(NX_DEVICELSHIFTKEYMASK == leftShiftFlag && NX_DEVICERSHIFTKEYMASK == rightShiftFlag);
static_assert(NX_DEVICELALTKEYMASK == leftOptionFlag && NX_DEVICERALTKEYMASK == rightOptionFlag);
static_assert(NX_DEVICELCMDKEYMASK == leftCommandFlag && NX_DEVICERCMDKEYMASK == rightCommandFlag);
static_assert(kCGEventFlagMaskSecondaryFn == fnFlag);
static_assert(kCGEventFlagsChanged == flagsChangedEvent);
static_assert(kCGEventOtherMouseDown == otherMouseDownEvent);
static_assert(kCGEventOtherMouseUp == otherMouseUpEvent);

// The taps that listen only come first among the session's taps; a keeper (--consume), an active
// tap that holds back the kept keys' events (or buttons'), comes last and only while something is
// kept. So each event reaches keytap's listening tap before its keeper decides whether it goes on,
// the listening taps are never opened again for a keep, and a keeper's callback writes nothing.
struct Tap {
  CFMachPortRef port;
  CFMachPortRef buttons;  // a second tap, for the mouse buttons, while they are wanted; or null
  CFMachPortRef keyKeeper = nullptr;
  CFMachPortRef buttonKeeper = nullptr;
};

namespace {

TapCallback deliverTo = nullptr;
// The open tap, or null.
Tap* openedTap = nullptr;
LinesHandler serveLinesWith = nullptr;
Tick tickWith = nullptr;
CFRunLoopTimerRef ticker = nullptr;
// Whether the Fn key is down, from its own events (--extended-keys).
FnState fn;
// The keyboard type of the last key event, and whether it is an ISO keyboard, which tells where
// its ISO keys are.
int64_t keyboardType = -1;
bool isoKeyboard = false;
// Whether the mouse buttons are wanted (--mouse-buttons, with a button registered).
bool buttonsWanted = false;
// The chords kept from the other programs (--consume), and the kept presses not released yet.
KeptKeys kept;

// Event is this backend's name for a CGEvent; the pointer passes through unchanged.
CGEventRef toCGEvent(const Event* event) {
  return reinterpret_cast<CGEventRef>(const_cast<Event*>(event));
}

int64_t keyCodeField(CGEventRef event) {
  return CGEventGetIntegerValueField(event, kCGKeyboardEventKeycode);
}

bool isButtonEvent(CGEventRef event) {
  const CGEventType type = CGEventGetType(event);
  return type == kCGEventOtherMouseDown || type == kCGEventOtherMouseUp;
}

int64_t buttonNumberField(CGEventRef event) {
  return CGEventGetIntegerValueField(event, kCGMouseEventButtonNumber);
}

// Asked of the system once per keyboard type: any keyboard, Apple's or not, of any age.
void noteKeyboardType(int64_t type) {
  if (type == keyboardType) return;
  keyboardType = type;
  isoKeyboard = KBGetLayoutType(static_cast<SInt16>(type)) == kKeyboardISO;
}

void settleLater(void*);

// Whether the mouse tap (or the keyboard tap) holds back events: while a chord of its kind is
// kept, or a press of its kind that was kept is not released yet.
bool holdsBack(bool buttons) {
  const auto ofKind = [buttons](uint16_t keyCode) { return isMouseButton(keyCode) == buttons; };
  return std::any_of(kept.chords.begin(), kept.chords.end(),
                     [&](const Accel& chord) { return ofKind(chord.keyCode); }) ||
         std::any_of(kept.down.begin(), kept.down.end(), ofKind);
}

// Whether a keeper keeps the key or button event from the other programs, read as the matcher
// reads it: the listening tap has just delivered it. A fresh press (no autorepeat) of a key still
// counted as kept down means its release went by unheard, while the keeper was switched off: it
// starts over. A fresh press the listening tap could not hear, switched off, is never kept.
bool keeps(CGEventRef event, CFMachPortRef listener, bool press) {
  const Event* asEvent = reinterpret_cast<const Event*>(event);
  const auto keyCode = static_cast<uint16_t>(eventKeyCode(asEvent));
  const bool fresh = press && !eventAutorepeat(asEvent);
  if (fresh) std::erase(kept.down, keyCode);
  if (fresh && !CGEventTapIsEnabled(listener)) return false;
  const bool keep = keepsKeyEvent(kept, keyCode, press, !fresh && press, eventFlags(asEvent));
  // Nothing of its kind left to keep: the keeper goes, once this callback has returned.
  if (!holdsBack(isMouseButton(keyCode))) {
    dispatch_async_f(dispatch_get_main_queue(), nullptr, settleLater);
  }
  return keep;
}

// A keeper was switched off. An active tap of a process that is no longer a trusted
// accessibility client holds up every event of the session until macOS switches it off, and
// would do so again each time it is switched on: from then on nothing is kept. A kept press whose
// release went by unheard meanwhile is no longer waited for. The keeper is switched on again, or
// goes after this callback.
void keeperSwitchedOff(CFMachPortRef keeper) {
  std::erase_if(kept.down, [](uint16_t keyCode) { return !keyIsDown(keyCode); });
  if (!AXIsProcessTrusted()) kept = {};
  CGEventTapEnable(keeper, true);
  dispatch_async_f(dispatch_get_main_queue(), nullptr, settleLater);
}

bool isSwitchOff(CGEventType type) {
  return type == kCGEventTapDisabledByTimeout || type == kCGEventTapDisabledByUserInput;
}

CGEventRef keepKey(CGEventTapProxy, CGEventType type, CGEventRef event, void*) {
  if (!openedTap) return event;
  if (isSwitchOff(type)) {
    keeperSwitchedOff(openedTap->keyKeeper);
    return event;
  }
  if (type != kCGEventKeyDown && type != kCGEventKeyUp) return event;
  return keeps(event, openedTap->port, type == kCGEventKeyDown) ? nullptr : event;
}

CGEventRef keepButton(CGEventTapProxy, CGEventType type, CGEventRef event, void*) {
  if (!openedTap) return event;
  if (isSwitchOff(type)) {
    keeperSwitchedOff(openedTap->buttonKeeper);
    return event;
  }
  if (!buttonKeyCode(buttonNumberField(event)) || !openedTap->buttons) return event;
  // A drag with a kept button held goes where its press went: nowhere.
  if (type == kCGEventOtherMouseDragged) {
    const auto keyCode = static_cast<uint16_t>(*buttonKeyCode(buttonNumberField(event)));
    return std::find(kept.down.begin(), kept.down.end(), keyCode) != kept.down.end() ? nullptr
                                                                                     : event;
  }
  return keeps(event, openedTap->buttons, type == kCGEventOtherMouseDown) ? nullptr : event;
}

// The mouse tap's own callback: a button goes on as a key event of its key code; buttons beyond
// the watched pass by. Its tap switched off is no concern of the keyboard's, whose Fn state and
// listening status stay as they are: it is switched on again at once.
CGEventRef deliverButton(CGEventTapProxy, CGEventType type, CGEventRef event, void*) {
  if (isSwitchOff(type)) {
    if (openedTap && openedTap->buttons && buttonsWanted)
      CGEventTapEnable(openedTap->buttons, true);
    return event;
  }
  if (!buttonKeyCode(buttonNumberField(event))) return event;
  const CGEventType asKey = type == kCGEventOtherMouseDown ? kCGEventKeyDown : kCGEventKeyUp;
  return toCGEvent(deliverTo(asKey, reinterpret_cast<Event*>(event)));
}

CGEventRef deliverKey(CGEventTapProxy, CGEventType type, CGEventRef event, void*) {
  // Only a key event has fields to read; a tap-disabled notification may have none.
  const bool flagsChanged = type == kCGEventFlagsChanged;
  const bool keyEvent = flagsChanged || type == kCGEventKeyDown || type == kCGEventKeyUp;
  const uint64_t flags = keyEvent ? CGEventGetFlags(event) : 0;
  // Modifier keys reach nobody without --extended-keys and outside a capture, which tells the
  // modifiers held; Fn's state is followed all the same (a capture passes over Fn chords).
  if (!modifierKeysHeard()) {
    tapEventType(type, flagsChanged ? keyCodeField(event) : 0, flags, fn);
    if (flagsChanged) return event;
  } else {
    const std::optional<uint32_t> decoded =
        tapEventType(type, flagsChanged ? keyCodeField(event) : 0, flags, fn);
    if (!decoded) return event;
    if (*decoded == kCGEventKeyDown || *decoded == kCGEventKeyUp) {
      noteKeyboardType(CGEventGetIntegerValueField(event, kCGKeyboardEventKeyboardType));
    }
    type = static_cast<CGEventType>(*decoded);
  }
  return toCGEvent(deliverTo(type, reinterpret_cast<Event*>(event)));
}

void fireTick(CFRunLoopTimerRef, void*) {
  tickWith();
}

void serveLines(void* context) {
  const std::unique_ptr<std::string> lines(static_cast<std::string*>(context));
  serveLinesWith(*lines);
}

// The process that holds Secure Input on now, as the window server tells it.
std::optional<SecureInput> secureInputHolder() {
  CFDictionaryRef session = CGSessionCopyCurrentDictionary();
  if (!session) return std::nullopt;
  const auto number =
      static_cast<CFNumberRef>(CFDictionaryGetValue(session, CFSTR("kCGSSessionSecureInputPID")));
  int pid = 0;
  const bool held = number && CFGetTypeID(number) == CFNumberGetTypeID() &&
                    CFNumberGetValue(number, kCFNumberIntType, &pid) && pid > 0;
  CFRelease(session);
  if (!held) return std::nullopt;
  char name[2 * MAXCOMLEN + 1] = {};
  proc_name(pid, name, sizeof name);
  return SecureInput{pid, name};
}

// Asked of the system, not of the tap, which may have missed the release. The HID state covers
// hardware keyboards only; keys posted by software (remote control, automation, the on-screen
// keyboard, remappers) change only the combined session state. Down in either counts.
bool systemSaysDown(uint16_t keyCode) {
  return CGEventSourceKeyState(kCGEventSourceStateHIDSystemState, keyCode) ||
         CGEventSourceKeyState(kCGEventSourceStateCombinedSessionState, keyCode);
}

// The mouse buttons beyond left and right, never a move of the mouse.
constexpr CGEventMask buttonEvents =
    CGEventMaskBit(kCGEventOtherMouseDown) | CGEventMaskBit(kCGEventOtherMouseUp);
// What the keepers hold back: key presses and releases; the buttons, and the drags with them
// held, which an app must not see of a kept button either.
constexpr CGEventMask keeperKeyEvents =
    CGEventMaskBit(kCGEventKeyDown) | CGEventMaskBit(kCGEventKeyUp);
constexpr CGEventMask keeperButtonEvents = buttonEvents | CGEventMaskBit(kCGEventOtherMouseDragged);

// A session tap for the events, on the main run loop and enabled: a listen-only one before the
// session's other taps, or a keeper, active, after them. Null when none can be opened.
CFMachPortRef openEventTap(CGEventMask events, CGEventTapCallBack callback, bool keeper) {
  CFMachPortRef port = CGEventTapCreate(
      kCGSessionEventTap, keeper ? kCGTailAppendEventTap : kCGHeadInsertEventTap,
      keeper ? kCGEventTapOptionDefault : kCGEventTapOptionListenOnly, events, callback, nullptr);
  if (!port) return nullptr;
  CFRunLoopSourceRef source = CFMachPortCreateRunLoopSource(kCFAllocatorDefault, port, 0);
  if (!source) {
    // Without a source the tap could never deliver; give it back so a later call retries.
    CFMachPortInvalidate(port);
    CFRelease(port);
    return nullptr;
  }
  CFRunLoopAddSource(CFRunLoopGetMain(), source, kCFRunLoopCommonModes);
  CGEventTapEnable(port, true);
  CFRelease(source);  // the run loop holds it now
  return port;
}

// Invalidating the port takes its source off the run loop too.
void closeEventTap(CFMachPortRef port) {
  CFMachPortInvalidate(port);
  CFRelease(port);
}

// Opens the keeper of keys, or of buttons, while something of its kind is kept, and closes it
// once nothing is; false when it cannot be opened.
bool settle(bool buttons) {
  if (!openedTap) return false;
  CFMachPortRef& keeper = buttons ? openedTap->buttonKeeper : openedTap->keyKeeper;
  const bool wanted = holdsBack(buttons);
  if (wanted && !keeper) {
    keeper = buttons ? openEventTap(keeperButtonEvents, keepButton, true)
                     : openEventTap(keeperKeyEvents, keepKey, true);
  }
  if (!wanted && keeper) {
    closeEventTap(keeper);
    keeper = nullptr;
  }
  return keeper || !wanted;
}

void settleLater(void*) {
  settle(false);
  settle(true);
}

// Whether one of this process's taps takes key presses. Without Input Monitoring macOS clears the
// key bits of a tap's mask and still opens it when flags-changed is left: one that hears
// modifiers only, which is no keyboard tap.
bool keptKeyEvents() {
  uint32_t count = 0;
  if (CGGetEventTapList(0, nullptr, &count) != kCGErrorSuccess || count == 0) return false;
  std::vector<CGEventTapInformation> taps(count);
  if (CGGetEventTapList(count, taps.data(), &count) != kCGErrorSuccess) return false;
  taps.resize(std::min<size_t>(count, taps.size()));
  return std::any_of(taps.begin(), taps.end(), [](const CGEventTapInformation& info) {
    return info.tappingProcess == getpid() &&
           (info.eventsOfInterest & CGEventMaskBit(kCGEventKeyDown));
  });
}

// Opens the mouse tap when the buttons are wanted and it is not open yet, as after a failed try;
// switches it on again where it was only switched off.
void openButtonTap() {
  if (!buttonsWanted || !openedTap) return;
  if (openedTap->buttons) {
    CGEventTapEnable(openedTap->buttons, true);
  } else {
    openedTap->buttons = openEventTap(buttonEvents, deliverButton, false);
  }
}

void closeUnwantedButtonTap(void*) {
  if (buttonsWanted || !openedTap || !openedTap->buttons) return;
  closeEventTap(openedTap->buttons);
  openedTap->buttons = nullptr;
}

}  // namespace

std::string_view takePlatformArguments(std::span<const char* const>) {
  return {};
}

bool preflightListenAccess() {
  return CGPreflightListenEventAccess();
}

bool requestListenAccess() {
  return CGRequestListenEventAccess();
}

Diagnosis diagnose() {
  // Accessibility matters to --consume alone, which keeps keys with an active tap.
  const MacFacts facts{CGPreflightListenEventAccess(), secureInputHolder(),
                       options.consume ? std::optional(AXIsProcessTrusted() != 0) : std::nullopt};
  return {macosFindings(facts), facts.granted};
}

Tap* openTap(TapCallback onEvent) {
  deliverTo = onEvent;
  CGEventMask keyEvents = CGEventMaskBit(kCGEventKeyDown) | CGEventMaskBit(kCGEventKeyUp);
  // Modifier keys for --extended-keys; for a capture, Fn's state (Fn chords are passed over).
  if (options.extendedKeys || options.capture) keyEvents |= CGEventMaskBit(kCGEventFlagsChanged);
  // The preflight may go on saying no after the user grants Input Monitoring, until the process
  // restarts, while a tap would hear keys: so the tap is tried whatever it says, and where it
  // says no, kept only if the system left it its key events.
  CFMachPortRef port = openEventTap(keyEvents, deliverKey, false);
  if (!port) return nullptr;
  if (!CGPreflightListenEventAccess() && !keptKeyEvents()) {
    closeEventTap(port);
    return nullptr;
  }
  openedTap = new Tap{port, nullptr};
  openButtonTap();
  return openedTap;
}

void watchMouseButtons(bool watch) {
  buttonsWanted = watch;
  if (!openedTap) return;
  if (watch) {
    openButtonTap();
  } else if (openedTap->buttons) {
    // The call may come from the mouse tap's own callback (a capture that a button ended): the
    // tap is switched off now, and closed once that callback has returned.
    CGEventTapEnable(openedTap->buttons, false);
    dispatch_async_f(dispatch_get_main_queue(), nullptr, closeUnwantedButtonTap);
  }
}

void enableTap(Tap* opened) {
  CGEventTapEnable(opened->port, true);
  if (opened->buttons) CGEventTapEnable(opened->buttons, true);
  openButtonTap();
}

bool tapIsEnabled(Tap* opened) {
  return CGEventTapIsEnabled(opened->port) &&
         (!opened->buttons || CGEventTapIsEnabled(opened->buttons));
}

KeepAnswer keepFromOthers(const Accel& accel, bool keep) {
  const bool button = isMouseButton(accel.keyCode);
  if (!keep) {
    // A press kept already holds its keeper until its release.
    std::erase(kept.chords, accel);
    settle(button);
    return {};
  }
  // Only a trusted accessibility client may open a tap that holds back other programs' events.
  if (!AXIsProcessTrusted()) return {Keeping::forbidden, "Accessibility denied"};
  kept.chords.push_back(accel);
  if (settle(button)) return {};
  kept.chords.pop_back();
  return {Keeping::unavailable, "no event tap that keeps keys could be opened"};
}

bool keyIsDown(uint16_t keyCode) {
  if (isMouseButton(keyCode)) {
    const auto button = static_cast<CGMouseButton>(buttonNumber(keyCode));
    return CGEventSourceButtonState(kCGEventSourceStateHIDSystemState, button) ||
           CGEventSourceButtonState(kCGEventSourceStateCombinedSessionState, button);
  }
  // The system says "up" for Fn whatever it does: keytap's own record answers for it.
  if (!options.extendedKeys) return keyCode == fnKeyCode ? fn.down : systemSaysDown(keyCode);
  return macKeyIsDown(static_cast<uint16_t>(keyPosition(keyCode, isoKeyboard)), fn.down,
                      systemSaysDown);
}

int64_t eventKeyCode(const Event* event) {
  const CGEventRef cgEvent = toCGEvent(event);
  if (isButtonEvent(cgEvent)) return *buttonKeyCode(buttonNumberField(cgEvent));
  if (!options.extendedKeys) return keyCodeField(cgEvent);
  // deliverKey() has just taken the keyboard type from this very event.
  return keyPosition(keyCodeField(cgEvent), isoKeyboard);
}

// Buttons have no autorepeat.
int64_t eventAutorepeat(const Event* event) {
  const CGEventRef cgEvent = toCGEvent(event);
  return isButtonEvent(cgEvent) ? 0
                                : CGEventGetIntegerValueField(cgEvent, kCGKeyboardEventAutorepeat);
}

uint64_t eventFlags(const Event* event) {
  const uint64_t flags = CGEventGetFlags(toCGEvent(event));
  return options.extendedKeys ? matchedFlags(eventKeyCode(event), flags, fn.down) : flags;
}

std::string_view whyUnavailable(const Accel& accel) {
  return macCanHear(accel) ? "" : notAvailable;
}

std::string_view eventShortcut(const Event*) {
  return {};
}

// A Mac binds no shortcut with the desktop: it never sends shortcutBindingChanged.
ShortcutBinding eventBinding(const Event*) {
  return {};
}

std::string whyNoTap() {
  return "";
}

bool keyPressesHidden() {
  return secureInputHolder().has_value();
}

bool hearsEveryKey() {
  return true;
}

// Every registered accelerator is matched against the tap's events here.
void registrationsChanged() {}

namespace {

// A source's 'uchr' layout data, owned by the source; null for a layout that has none.
CFDataRef unicodeLayoutOf(TISInputSourceRef source) {
  return source ? static_cast<CFDataRef>(
                      TISGetInputSourceProperty(source, kTISPropertyUnicodeKeyLayoutData))
                : nullptr;
}

// The current keyboard layout input source, or, where it has no 'uchr' data (an input method
// such as Chinese Zhuyin, a layout with 'KCHR' data alone), the ASCII-capable layout the system
// translates keys with instead. Null when neither has any; else the caller releases it.
TISInputSourceRef layoutWithUnicodeData() {
  TISInputSourceRef source = TISCopyCurrentKeyboardLayoutInputSource();
  if (unicodeLayoutOf(source)) return source;
  if (source) CFRelease(source);
  source = TISCopyCurrentASCIICapableKeyboardLayoutInputSource();
  if (unicodeLayoutOf(source)) return source;
  if (source) CFRelease(source);
  return nullptr;
}

}  // namespace

// What the key types without modifiers ("display", as a key cap shows it), dead keys as their
// own character. One keyboard type answers both questions, where its ISO keys are and what the
// layout types on them: the last key event's type would be none until a key is pressed.
std::string typedCharacter(uint16_t keyCode) {
  if (keyCode >= beyondMacKeys) return "";
  const UInt8 typingKeyboard = LMGetKbdType();
  const bool iso = KBGetLayoutType(typingKeyboard) == kKeyboardISO;
  // The system knows the key by the code it reports for it.
  const auto code = static_cast<UInt16>(options.extendedKeys ? keyPosition(keyCode, iso) : keyCode);
  TISInputSourceRef source = layoutWithUnicodeData();
  if (!source) return "";
  UniChar typed[4];
  UniCharCount length = 0;
  UInt32 deadKeyState = 0;
  const auto* layout =
      reinterpret_cast<const UCKeyboardLayout*>(CFDataGetBytePtr(unicodeLayoutOf(source)));
  const bool translated = UCKeyTranslate(layout, code, kUCKeyActionDisplay, 0, typingKeyboard,
                                         kUCKeyTranslateNoDeadKeysMask, &deadKeyState,
                                         std::size(typed), &length, typed) == noErr;
  CFRelease(source);
  std::string character;
  for (UniCharCount i = 0; translated && i < length; ++i) {
    // A character beyond the first plane comes as a surrogate pair.
    char32_t unit = typed[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length) {
      unit = 0x10000 + ((unit - 0xD800) << 10) + (typed[++i] - 0xDC00);
    }
    appendUtf8(character, unit);
  }
  return character;
}

// Option is a Mac's shortcut modifier on every layout: the characters it types (Option+Q is œ)
// never stop a shortcut with it from working, so no chord with it is passed over.
bool typesWithAltGr(uint16_t) {
  return false;
}

uint64_t commandOrControlFlag() {
  return commandFlag;
}

// One block per batch of lines: a waiting line costs about its own length.
void postLines(std::string lines) {
  dispatch_async_f(dispatch_get_main_queue(), new std::string(std::move(lines)), serveLines);
}

void tickEverySecond(Tick tick) {
  tickWith = tick;
  if (tick && !ticker) {
    ticker = CFRunLoopTimerCreate(kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() + 1, 1, 0, 0,
                                  fireTick, nullptr);
    CFRunLoopAddTimer(CFRunLoopGetMain(), ticker, kCFRunLoopCommonModes);
  } else if (!tick && ticker) {
    // The run loop keeps a firing timer alive until its callout returns.
    CFRunLoopTimerInvalidate(ticker);
    CFRelease(ticker);
    ticker = nullptr;
  }
}

void runMainLoop(LinesHandler handleLines) {
  serveLinesWith = handleLines;
  // The main queue keeps the main run loop busy, so this returns only if the system stops it.
  CFRunLoopRun();
  endProcess();
}
