// The model's CoreGraphics: event taps, events and their fields, the event source state, the
// listen permission and the session dictionary, as keytap's macOS backend uses them.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <sys/types.h>

#include <cstdint>

using CGEventRef = struct __CGEvent*;
using CGEventTapProxy = struct __CGEventTapProxy*;
using CGEventMask = uint64_t;
using CGKeyCode = uint16_t;

enum CGEventType : uint32_t {
  kCGEventMouseMoved = 5,
  kCGEventKeyDown = 10,
  kCGEventKeyUp = 11,
  kCGEventFlagsChanged = 12,
  kCGEventScrollWheel = 22,
  kCGEventOtherMouseDown = 25,
  kCGEventOtherMouseUp = 26,
  kCGEventOtherMouseDragged = 27,
  kCGEventTapDisabledByTimeout = 0xFFFFFFFE,
  kCGEventTapDisabledByUserInput = 0xFFFFFFFF,
};

using CGEventFlags = uint64_t;
enum : CGEventFlags {
  kCGEventFlagMaskAlphaShift = 0x00010000,
  kCGEventFlagMaskShift = 0x00020000,
  kCGEventFlagMaskControl = 0x00040000,
  kCGEventFlagMaskAlternate = 0x00080000,
  kCGEventFlagMaskCommand = 0x00100000,
  kCGEventFlagMaskSecondaryFn = 0x00800000,
};

// IOKit's device-dependent bits, one per modifier key (hidsystem/IOLLEvent.h).
inline constexpr uint64_t NX_DEVICELCTLKEYMASK = 0x00000001;
inline constexpr uint64_t NX_DEVICELSHIFTKEYMASK = 0x00000002;
inline constexpr uint64_t NX_DEVICERSHIFTKEYMASK = 0x00000004;
inline constexpr uint64_t NX_DEVICELCMDKEYMASK = 0x00000008;
inline constexpr uint64_t NX_DEVICERCMDKEYMASK = 0x00000010;
inline constexpr uint64_t NX_DEVICELALTKEYMASK = 0x00000020;
inline constexpr uint64_t NX_DEVICERALTKEYMASK = 0x00000040;
inline constexpr uint64_t NX_DEVICERCTLKEYMASK = 0x00002000;

enum CGEventField : uint32_t {
  kCGMouseEventButtonNumber = 3,
  kCGKeyboardEventAutorepeat = 8,
  kCGKeyboardEventKeycode = 9,
  kCGKeyboardEventKeyboardType = 10,
};

enum CGEventTapLocation : uint32_t {
  kCGSessionEventTap = 1,
};

enum CGEventTapPlacement : uint32_t {
  kCGHeadInsertEventTap = 0,
  kCGTailAppendEventTap = 1,
};

enum CGEventTapOptions : uint32_t {
  kCGEventTapOptionDefault = 0,
  kCGEventTapOptionListenOnly = 1,
};

enum CGEventSourceStateID : int32_t {
  kCGEventSourceStateCombinedSessionState = 0,
  kCGEventSourceStateHIDSystemState = 1,
};

enum CGMouseButton : uint32_t {};

using CGError = int32_t;
enum : CGError {
  kCGErrorSuccess = 0,
};

struct __CGEventTapInformation {
  uint32_t eventTapID;
  CGEventTapLocation tapPoint;   // HID, session, annotated session
  CGEventTapOptions options;     // listener, filter
  CGEventMask eventsOfInterest;  // mask of events being tapped
  pid_t tappingProcess;          // process that is tapping events
  pid_t processBeingTapped;      // zero if not a per-process tap
  bool enabled;                  // true if tap is enabled
  float minUsecLatency;
  float avgUsecLatency;
  float maxUsecLatency;
};
using CGEventTapInformation = __CGEventTapInformation;

#define CGEventMaskBit(eventType) ((CGEventMask)1 << (eventType))

using CGEventTapCallBack = CGEventRef (*)(CGEventTapProxy proxy, CGEventType type, CGEventRef event,
                                          void* userInfo);

bool CGPreflightListenEventAccess();
bool CGRequestListenEventAccess();
CFMachPortRef CGEventTapCreate(CGEventTapLocation tap, CGEventTapPlacement place,
                               CGEventTapOptions options, CGEventMask eventsOfInterest,
                               CGEventTapCallBack callback, void* userInfo);
void CGEventTapEnable(CFMachPortRef tap, bool enable);
bool CGEventTapIsEnabled(CFMachPortRef tap);
CGError CGGetEventTapList(uint32_t maxNumberOfTaps, CGEventTapInformation* tapList,
                          uint32_t* eventTapCount);

CGEventType CGEventGetType(CGEventRef event);
CGEventFlags CGEventGetFlags(CGEventRef event);
int64_t CGEventGetIntegerValueField(CGEventRef event, CGEventField field);

bool CGEventSourceKeyState(CGEventSourceStateID stateID, CGKeyCode key);
bool CGEventSourceButtonState(CGEventSourceStateID stateID, CGMouseButton button);

CFDictionaryRef CGSessionCopyCurrentDictionary();
