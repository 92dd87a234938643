// A model of the Apple calls keytap's macOS backend makes, so that its own sources run on Linux
// under the end-to-end tests. Each call does what Apple's documentation or SDK header says (quoted
// beside it); where projects measured something else on real Macs, the model can do that too.
// The test drives it through the control channel of tests/support/macos_model.h.
#include <dispatch/dispatch.h>
#include <libproc.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <ApplicationServices/ApplicationServices.h>
#include <Carbon/Carbon.h>
#include <CoreFoundation/CoreFoundation.h>
#include <CoreGraphics/CoreGraphics.h>
#include <algorithm>
#include <bitset>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct __CFAllocator {};

// Every object CFRelease takes: counted, freed at zero.
struct ModelObject {
  explicit ModelObject(CFTypeID id) : typeID(id) {}
  virtual ~ModelObject() = default;
  CFTypeID typeID;
  int references = 1;
};

enum : CFTypeID {
  stringType = 7,
  numberType = 22,
  dictionaryType = 18,
  arrayType = 19,
  booleanType = 21,
  otherType = 1
};

struct __CFString : ModelObject {
  explicit __CFString(std::string value) : ModelObject(stringType), text(std::move(value)) {}
  std::string text;
};

struct __CFNumber : ModelObject {
  explicit __CFNumber(int number) : ModelObject(numberType), value(number) {}
  int value;
};

struct __CFDictionary : ModelObject {
  __CFDictionary() : ModelObject(dictionaryType) {}
  ~__CFDictionary() override {
    for (auto& [key, value] : entries) CFRelease(value);
  }
  std::vector<std::pair<std::string, ModelObject*>> entries;
};

// A keyboard layout: what each key types with no modifier, as a key cap shows it.
struct UCKeyboardLayout {
  std::map<int64_t, char16_t> typed;
  std::set<int64_t> dead = {};  // dead keys: an accent that waits for the next key
};

struct __CFBoolean : ModelObject {
  explicit __CFBoolean(bool truth) : ModelObject(booleanType), value(truth) {}
  bool value;
};

struct __CFArray : ModelObject {
  __CFArray() : ModelObject(arrayType) {}
  ~__CFArray() override {
    for (ModelObject* value : values) CFRelease(value);
  }
  std::vector<ModelObject*> values;
};

struct __CFData : ModelObject {
  explicit __CFData(const UCKeyboardLayout& keys) : ModelObject(otherType), layout(keys) {}
  const UCKeyboardLayout& layout;
};

struct __TISInputSource : ModelObject {
  // A layout with no 'uchr' data (an input method's, a 'KCHR' one) comes as null.
  explicit __TISInputSource(const UCKeyboardLayout* layout)
      : ModelObject(otherType), data(layout ? new __CFData(*layout) : nullptr) {}
  ~__TISInputSource() override {
    if (data) CFRelease(data);
  }
  __CFData* data;
};

struct __CFMachPort : ModelObject {
  __CFMachPort() : ModelObject(otherType) {}
  ~__CFMachPort() override;
  uint32_t id = 0;
  CGEventTapLocation location = kCGSessionEventTap;
  CGEventTapOptions options = kCGEventTapOptionListenOnly;
  CGEventMask mask = 0;
  CGEventTapCallBack callback = nullptr;
  void* userInfo = nullptr;
  bool enabled = true;
  bool valid = true;
};

struct __CFRunLoopSource : ModelObject {
  explicit __CFRunLoopSource(__CFMachPort* tap) : ModelObject(otherType), port(tap) {
    ++port->references;
  }
  ~__CFRunLoopSource() override { CFRelease(port); }
  __CFMachPort* port;
};

struct __CFRunLoopTimer : ModelObject {
  __CFRunLoopTimer() : ModelObject(otherType) {}
  CFAbsoluteTime fireDate = 0;
  CFTimeInterval interval = 0;
  CFRunLoopTimerCallBack callout = nullptr;
  bool valid = true;
};

struct __CGEvent {
  CGEventType type;
  CGEventFlags flags;
  std::map<CGEventField, int64_t> fields;
};

struct __CFRunLoop {
  std::vector<__CFRunLoopSource*> sources;
  std::vector<__CFRunLoopTimer*> timers;
};

namespace {

// The thread that ran the static initialisers: main()'s.
const std::thread::id mainThread = std::this_thread::get_id();

// Calls that belong on the main thread (macOS 26 traps TIS calls made off the main queue) stop
// the process when made from any other.
void onMainThread(const char* call) {
  if (std::this_thread::get_id() == mainThread) return;
  std::fprintf(stderr, "macOS model: %s called off the main thread\n", call);
  std::abort();
}

template <typename Object>
Object* retained(Object* object) {
  ++object->references;
  return object;
}

// The main queue: filled by any thread, served by the run loop on the main thread.
struct MainQueue {
  std::mutex lock;
  std::deque<std::pair<dispatch_function_t, void*>> blocks;
  int wake[2] = {-1, -1};
};

MainQueue& mainQueue() {
  static MainQueue* queue = [] {
    auto* made = new MainQueue;
    if (pipe(made->wake) != 0) std::abort();
    return made;
  }();
  return *queue;
}

// The two layouts the model carries: US, and German, whose letter row has Z where US has Y.
const UCKeyboardLayout usLayout{{
    {0, u'a'},
    {1, u's'},
    {2, u'd'},
    {3, u'f'},
    {4, u'h'},
    {5, u'g'},
    {6, u'z'},
    {7, u'x'},
    {8, u'c'},
    {9, u'v'},
    {10, u'\u00A7'},
    {11, u'b'},
    {12, u'q'},
    {13, u'w'},
    {14, u'e'},
    {15, u'r'},
    {16, u'y'},
    {17, u't'},
    {18, u'1'},
    {19, u'2'},
    {20, u'3'},
    {21, u'4'},
    {22, u'6'},
    {23, u'5'},
    {24, u'='},
    {25, u'9'},
    {26, u'7'},
    {27, u'-'},
    {28, u'8'},
    {29, u'0'},
    {30, u']'},
    {31, u'o'},
    {32, u'u'},
    {33, u'['},
    {34, u'i'},
    {35, u'p'},
    {36, u'\r'},
    {37, u'l'},
    {38, u'j'},
    {39, u'\''},
    {40, u'k'},
    {41, u';'},
    {42, u'\\'},
    {43, u','},
    {44, u'/'},
    {45, u'n'},
    {46, u'm'},
    {47, u'.'},
    {48, u'\t'},
    {49, u' '},
    {50, u'`'},
    {51, u'\b'},
    {53, u'\x1B'},
    // The keypad: . * + / - = and the digits 0 to 9.
    {65, u'.'},
    {67, u'*'},
    {69, u'+'},
    {75, u'/'},
    {78, u'-'},
    {81, u'='},
    {82, u'0'},
    {83, u'1'},
    {84, u'2'},
    {85, u'3'},
    {86, u'4'},
    {87, u'5'},
    {88, u'6'},
    {89, u'7'},
    {91, u'8'},
    {92, u'9'},
}};
const UCKeyboardLayout germanLayout = [] {
  UCKeyboardLayout german = usLayout;
  for (const auto& [keyCode, typed] : std::map<int64_t, char16_t>{{6, u'y'},
                                                                  {16, u'z'},
                                                                  {10, u'^'},
                                                                  {50, u'<'},
                                                                  {27, u'\u00DF'},
                                                                  {33, u'\u00FC'},
                                                                  {41, u'\u00F6'},
                                                                  {39, u'\u00E4'},
                                                                  {30, u'+'},
                                                                  {42, u'#'},
                                                                  {44, u'-'},
                                                                  {65, u','},
                                                                  {24, u'\u00B4'}}) {
    german.typed[keyCode] = typed;
  }
  german.dead = {10, 24};  // ^ and ´
  return german;
}();
// What a Mac's layouts type on keys with no character (function keys, arrows):
// kFunctionKeyCharCode.
constexpr char16_t functionKeyCharacter = 0x10;

// What the window server knows: the permissions, the keys and buttons down, the keyboards, and
// what reached the app in front.
struct System {
  bool permission = true;
  bool accessibility = true;  // keytap is a trusted accessibility client
  // The preflight answering no while the permission is there, as real Macs were seen to after a
  // grant until the process restarted: taps open with their key bits all the same.
  bool preflightStale = false;
  int requests = 0;
  uint32_t tapsMade = 0;  // the last eventTapID given
  // Without the permission, a tap asked for key events: "the appropriate bits in the mask are
  // cleared. If that results in an empty mask, then NULL is returned" (CGEventTapCreate), or, as
  // Apple's WWDC 2019 session 701 measured it, "CGEventTapCreate will fail and return nil".
  bool deniedKeyTapIsNull = false;
  bool tapsFail = false;  // no tap can be created at all, as when the window server has too many
  std::optional<std::pair<int, std::string>> secureInput;  // the holder's pid and name
  std::bitset<128> keysDown;
  std::bitset<32> buttonsDown;
  CGEventFlags flags = 0;
  // 40: what a MacBook's built-in ANSI keyboard reports in kCGKeyboardEventKeyboardType.
  int64_t keyboardType = 40;
  std::map<int64_t, PhysicalKeyboardLayoutType> layouts;
  // The current keyboard layout: null for an input method whose layout has no 'uchr' data, as
  // Chinese Zhuyin's; and the ASCII-capable layout used last.
  const UCKeyboardLayout* keyboardLayout = &usLayout;
  const UCKeyboardLayout* asciiLayout = &usLayout;
  std::vector<__CFMachPort*> taps;  // every tap created and not freed, in order
  // The key and button events that every tap handed on to the app in front ("key 101 down"),
  // since the test last asked.
  std::vector<std::string> appReceived;
  int channel = -1;     // the test's control connection
  std::string pending;  // read from it, not a whole line yet
};

System& windowServer() {
  static System* state = new System;
  return *state;
}

__CFRunLoop mainLoop;

// The modifier keys' codes and the flags each holds down: its generic and its device bit.
struct ModifierBits {
  int64_t keyCode;
  CGEventFlags flags;
};
constexpr ModifierBits modifierBits[] = {
    {kVK_Shift, kCGEventFlagMaskShift | NX_DEVICELSHIFTKEYMASK},
    {kVK_RightShift, kCGEventFlagMaskShift | NX_DEVICERSHIFTKEYMASK},
    {kVK_Control, kCGEventFlagMaskControl | NX_DEVICELCTLKEYMASK},
    {kVK_RightControl, kCGEventFlagMaskControl | NX_DEVICERCTLKEYMASK},
    {kVK_Option, kCGEventFlagMaskAlternate | NX_DEVICELALTKEYMASK},
    {kVK_RightOption, kCGEventFlagMaskAlternate | NX_DEVICERALTKEYMASK},
    {kVK_Command, kCGEventFlagMaskCommand | NX_DEVICELCMDKEYMASK},
    {kVK_RightCommand, kCGEventFlagMaskCommand | NX_DEVICERCMDKEYMASK},
    {kVK_Function, kCGEventFlagMaskSecondaryFn},
};
// The arrows, the keys above them and the function keys: macOS sets the Fn bit on their events.
constexpr int64_t fnBitKeys[] = {kVK_Help,      kVK_Home,     kVK_PageUp,    kVK_ForwardDelete,
                                 kVK_End,       kVK_PageDown, kVK_LeftArrow, kVK_RightArrow,
                                 kVK_DownArrow, kVK_UpArrow,  kVK_F1,        kVK_F2,
                                 kVK_F3,        kVK_F4,       kVK_F5,        kVK_F6,
                                 kVK_F7,        kVK_F8,       kVK_F9,        kVK_F10,
                                 kVK_F11,       kVK_F12,      kVK_F13,       kVK_F14,
                                 kVK_F15,       kVK_F16,      kVK_F17,       kVK_F18,
                                 kVK_F19,       kVK_F20};

const ModifierBits* modifierAt(int64_t keyCode) {
  for (const ModifierBits& modifier : modifierBits) {
    if (modifier.keyCode == keyCode) return &modifier;
  }
  return nullptr;
}

CGEventFlags heldFlags() {
  const System& state = windowServer();
  CGEventFlags flags = state.flags & kCGEventFlagMaskAlphaShift;
  for (const ModifierBits& modifier : modifierBits) {
    if (state.keysDown[modifier.keyCode]) flags |= modifier.flags;
  }
  return flags;
}

bool listensFor(const __CFMachPort* port, CGEventType type) {
  return type < 64 && (port->mask & CGEventMaskBit(type));
}

bool inMainLoop(const __CFMachPort* port) {
  return std::any_of(mainLoop.sources.begin(), mainLoop.sources.end(),
                     [port](const __CFRunLoopSource* source) { return source->port == port; });
}

// Hands the event to every tap that listens for it, in the order they were created, one at a
// time on the main thread, as the run loop would; whether it goes on to the app. "If the event
// tap is an active filter, your callback function should return [...] NULL if the event passed
// in is to be deleted"; a listen-only tap's answer is ignored. keytap hands on the event it was
// given, or none.
bool deliver(__CGEvent event) {
  std::vector<__CFMachPort*> taps;
  for (__CFMachPort* port : windowServer().taps) {
    if (port->valid && port->enabled && listensFor(port, event.type) && inMainLoop(port)) {
      taps.push_back(retained(port));
    }
  }
  bool passes = true;
  for (__CFMachPort* port : taps) {
    // "An invalidated port delivers nothing more": a callback may have closed a later tap. An
    // event deleted goes to no tap after it.
    if (passes && port->valid && port->enabled) {
      const CGEventRef handedOn = port->callback(nullptr, event.type, &event, port->userInfo);
      if (port->options == kCGEventTapOptionDefault && !handedOn) passes = false;
    }
    CFRelease(port);
  }
  return passes;
}

// "If a tap becomes unresponsive or a user requests taps be disabled, an appropriate
// kCGEventTapDisabled... event is passed to the registered CGEventTapCallBack function."
void disableTaps(bool keyTaps, CGEventType reason) {
  std::vector<__CFMachPort*> taps;
  for (__CFMachPort* port : windowServer().taps) {
    const bool isKeyTap = listensFor(port, kCGEventKeyDown) || listensFor(port, kCGEventKeyUp) ||
                          listensFor(port, kCGEventFlagsChanged);
    const bool isButtonTap =
        listensFor(port, kCGEventOtherMouseDown) || listensFor(port, kCGEventOtherMouseUp);
    if (port->valid && port->enabled && (keyTaps ? isKeyTap : isButtonTap)) {
      port->enabled = false;
      taps.push_back(retained(port));
    }
  }
  for (__CFMachPort* port : taps) {
    __CGEvent notice{reason, 0, {}};
    if (port->valid) port->callback(nullptr, reason, &notice, port->userInfo);
    CFRelease(port);
  }
}

void pressKey(int64_t keyCode, bool down, std::istringstream& options) {
  System& state = windowServer();
  const bool repeat = down && state.keysDown[keyCode];
  state.keysDown[keyCode] = down;
  if (keyCode == kVK_CapsLock && down) state.flags ^= kCGEventFlagMaskAlphaShift;
  const bool modifier = modifierAt(keyCode) || keyCode == kVK_CapsLock;
  __CGEvent event{
      modifier ? kCGEventFlagsChanged
      : down   ? kCGEventKeyDown
               : kCGEventKeyUp,
      heldFlags(),
      {{kCGKeyboardEventKeycode, keyCode}, {kCGKeyboardEventKeyboardType, state.keyboardType}}};
  if (std::find(std::begin(fnBitKeys), std::end(fnBitKeys), keyCode) != std::end(fnBitKeys)) {
    event.flags |= kCGEventFlagMaskSecondaryFn;
  }
  if (!modifier) event.fields[kCGKeyboardEventAutorepeat] = repeat;
  // What software posts may say otherwise: flags=, type= and repeat= set the event's own.
  bool heard = true;
  for (std::string option; options >> option;) {
    if (option == "unheard") {
      heard = false;
      continue;
    }
    const size_t equals = option.find('=');
    const int64_t value = std::strtoll(option.c_str() + equals + 1, nullptr, 0);
    if (option.starts_with("flags=")) event.flags = static_cast<CGEventFlags>(value);
    if (option.starts_with("type=")) event.fields[kCGKeyboardEventKeyboardType] = value;
    if (option.starts_with("repeat=")) event.fields[kCGKeyboardEventAutorepeat] = value;
  }
  // Secure Input keeps key presses from every listener (not from the app: the password field
  // gets them); modifier changes still reach them.
  const bool hidden = !heard || (state.secureInput && !modifier);
  if (hidden || deliver(std::move(event))) {
    state.appReceived.push_back("key " + std::to_string(keyCode) + (down ? " down" : " up"));
  }
}

// Carries out one command of the control channel; the reply.
std::string carryOut(const std::string& line) {
  System& state = windowServer();
  std::istringstream words(line);
  std::string verb, what, how;
  words >> verb;
  if (verb == "key" || verb == "button") {
    int64_t code = -1;
    words >> code >> how;
    const bool down = how == "down";
    if (!down && how != "up") return "error: down or up";
    if (verb == "key") {
      if (code < 0 || code >= static_cast<int64_t>(state.keysDown.size()))
        return "error: no such key";
      pressKey(code, down, words);
      return "ok";
    }
    if (code < 2 || code >= static_cast<int64_t>(state.buttonsDown.size()))
      return "error: no such button";
    state.buttonsDown[code] = down;
    if (deliver({down ? kCGEventOtherMouseDown : kCGEventOtherMouseUp,
                 heldFlags(),
                 {{kCGMouseEventButtonNumber, code}}})) {
      state.appReceived.push_back("button " + std::to_string(code) + (down ? " down" : " up"));
    }
    return "ok";
  }
  if (verb == "move" || verb == "scroll") {
    // A move with a button beyond left and right held is a drag of the lowest of them.
    int64_t button = 2;
    while (button < static_cast<int64_t>(state.buttonsDown.size()) && !state.buttonsDown[button])
      ++button;
    if (verb == "move" && button < static_cast<int64_t>(state.buttonsDown.size())) {
      if (deliver({kCGEventOtherMouseDragged, heldFlags(), {{kCGMouseEventButtonNumber, button}}}))
        state.appReceived.push_back("drag " + std::to_string(button));
      return "ok";
    }
    deliver({verb == "move" ? kCGEventMouseMoved : kCGEventScrollWheel, heldFlags(), {}});
    return "ok";
  }
  if (verb == "app") {
    std::string received = "ok";
    for (size_t i = 0; i < state.appReceived.size(); ++i) {
      received += (i == 0 ? " " : ", ") + state.appReceived[i];
    }
    state.appReceived.clear();
    return received;
  }
  words >> what;
  if (verb == "disable" && (what == "keys" || what == "buttons")) {
    words >> how;
    if (how != "timeout" && how != "user-input") return "error: timeout or user-input";
    disableTaps(what == "keys",
                how == "timeout" ? kCGEventTapDisabledByTimeout : kCGEventTapDisabledByUserInput);
    return "ok";
  }
  if (verb == "permission" && (what == "granted" || what == "denied")) {
    state.permission = what == "granted";
    return "ok";
  }
  if (verb == "accessibility" && (what == "granted" || what == "denied")) {
    state.accessibility = what == "granted";
    return "ok";
  }
  if (verb == "preflight" && (what == "stale" || what == "current")) {
    state.preflightStale = what == "stale";
    return "ok";
  }
  if (verb == "requests") return "ok " + std::to_string(state.requests);
  if (verb == "denied-key-tap" && (what == "cleared" || what == "null")) {
    state.deniedKeyTapIsNull = what == "null";
    return "ok";
  }
  if (verb == "taps" && (what == "installed" || what == "active")) {
    uint32_t count = 0;
    CGGetEventTapList(0, nullptr, &count);
    std::vector<CGEventTapInformation> taps(count);
    CGGetEventTapList(count, taps.data(), &count);
    const bool activeOnly = what == "active";
    const auto own = std::count_if(taps.begin(), taps.begin() + count, [&](const auto& tap) {
      return tap.tappingProcess == getpid() &&
             (!activeOnly || tap.options == kCGEventTapOptionDefault);
    });
    return "ok " + std::to_string(own);
  }
  if (verb == "taps" && what == "held") return "ok " + std::to_string(state.taps.size());
  if (verb == "taps" && (what == "open" || what == "fail")) {
    state.tapsFail = what == "fail";
    return "ok";
  }
  if (verb == "secure-input") {
    if (what == "off") {
      state.secureInput.reset();
      return "ok";
    }
    std::string name;
    std::getline(words >> std::ws, name);
    state.secureInput.emplace(std::atoi(what.c_str()), name);
    return "ok";
  }
  if (verb == "layout" && (what == "us" || what == "de")) {
    state.keyboardLayout = state.asciiLayout = what == "us" ? &usLayout : &germanLayout;
    return "ok";
  }
  if (verb == "layout" && what == "zhuyin") {
    state.keyboardLayout = nullptr;
    return "ok";
  }
  if (verb == "keyboard") {
    const int64_t type = std::atoll(what.c_str());
    words >> how;
    if (how == "current") {
      state.keyboardType = type;
    } else if (how == "iso" || how == "ansi" || how == "jis") {
      state.layouts[type] = how == "iso"   ? kKeyboardISO
                            : how == "jis" ? kKeyboardJIS
                                           : kKeyboardANSI;
    } else {
      return "error: current, ansi, iso or jis";
    }
    return "ok";
  }
  return "error: unknown command: " + line;
}

void reply(const std::string& text) {
  const std::string line = text + "\n";
  if (write(windowServer().channel, line.data(), line.size()) < 0) std::abort();
}

// Serves whole lines waiting on the channel until "start", or else one command, as a run loop
// serves one event at a time; false once the test has gone.
bool serveChannel(bool untilStart) {
  System& state = windowServer();
  for (;;) {
    const size_t end = state.pending.find('\n');
    if (end != std::string::npos) {
      const std::string line = state.pending.substr(0, end);
      state.pending.erase(0, end + 1);
      if (line == "start") {
        reply("ok");
        if (untilStart) return true;
        continue;
      }
      reply(carryOut(line));
      if (!untilStart) return true;
      continue;
    }
    if (!untilStart) {
      pollfd ready{state.channel, POLLIN, 0};
      if (poll(&ready, 1, 0) <= 0) return true;
    }
    char buffer[4096];
    const ssize_t got = read(state.channel, buffer, sizeof buffer);
    if (got <= 0) return false;
    state.pending.append(buffer, static_cast<size_t>(got));
  }
}

// At keytap's first call: the test's channel, when KEYTAP_MACOS_MODEL names one, and the state
// the system starts in, which the test sends before "start".
void connectOnce() {
  static const bool connected = [] {
    const char* path = std::getenv("KEYTAP_MACOS_MODEL");
    if (!path) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    const int channel = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(channel, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::abort();
    windowServer().channel = channel;
    if (!serveChannel(true)) std::abort();
    return true;
  }();
  (void)connected;
}

void runDueTimers() {
  const CFAbsoluteTime now = CFAbsoluteTimeGetCurrent();
  const std::vector<__CFRunLoopTimer*> timers = mainLoop.timers;
  for (__CFRunLoopTimer* timer : timers) retained(timer);
  for (__CFRunLoopTimer* timer : timers) {
    if (timer->valid && timer->fireDate <= now) {
      timer->fireDate +=
          timer->interval * std::max(1.0, std::ceil((now - timer->fireDate) / timer->interval));
      timer->callout(timer, nullptr);
    }
    CFRelease(timer);
  }
}

int millisecondsToNextTimer() {
  if (mainLoop.timers.empty()) return -1;
  CFAbsoluteTime next = mainLoop.timers.front()->fireDate;
  for (const __CFRunLoopTimer* timer : mainLoop.timers) next = std::min(next, timer->fireDate);
  return std::max(0, static_cast<int>(std::ceil((next - CFAbsoluteTimeGetCurrent()) * 1000)));
}

void serveMainQueue() {
  MainQueue& queue = mainQueue();
  char drained[64];
  if (read(queue.wake[0], drained, sizeof drained) < 0) std::abort();
  for (;;) {
    std::pair<dispatch_function_t, void*> block;
    {
      const std::lock_guard<std::mutex> hold(queue.lock);
      if (queue.blocks.empty()) return;
      block = queue.blocks.front();
      queue.blocks.pop_front();
    }
    block.first(block.second);
  }
}

}  // namespace

const CFAllocatorRef kCFAllocatorDefault = nullptr;
const CFStringRef kCFRunLoopCommonModes = __CFStringMakeConstantString("kCFRunLoopCommonModes");

// One object per text, which lives as long as the process, as the compiler's constant strings.
CFStringRef __CFStringMakeConstantString(const char* text) {
  static auto* constants = new std::map<std::string, __CFString*, std::less<>>;
  auto found = constants->find(text);
  if (found == constants->end()) found = constants->emplace(text, new __CFString(text)).first;
  return found->second;
}

// "Releasing the CFMachPortRef will release the tap."
__CFMachPort::~__CFMachPort() {
  auto& taps = windowServer().taps;
  taps.erase(std::find(taps.begin(), taps.end(), this));
}

// "Releases a Core Foundation object": freed when no one holds it any more.
void CFRelease(CFTypeRef object) {
  auto* counted = static_cast<ModelObject*>(const_cast<void*>(object));
  if (--counted->references == 0) delete counted;
}

// "Returns the unique identifier of an opaque type to which a Core Foundation object belongs."
CFTypeID CFGetTypeID(CFTypeRef object) {
  return static_cast<const ModelObject*>(object)->typeID;
}

CFTypeID CFNumberGetTypeID() {
  return numberType;
}

// "If the conversion is lossy, or the value is out of range, false is returned": the model's
// numbers are ints, asked for as ints.
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType type, void* value) {
  if (type != kCFNumberIntType) return false;
  std::memcpy(value, &number->value, sizeof number->value);
  return true;
}

// "Retrieves the value associated with the given key"; NULL when there is none. Keys compare as
// text, as CFEqual compares strings.
const void* CFDictionaryGetValue(CFDictionaryRef dictionary, const void* key) {
  const std::string& name = static_cast<CFStringRef>(key)->text;
  for (const auto& [entryKey, value] : dictionary->entries) {
    if (entryKey == name) return value;
  }
  return nullptr;
}

CFTypeID CFDictionaryGetTypeID() {
  return dictionaryType;
}

CFTypeID CFBooleanGetTypeID() {
  return booleanType;
}

Boolean CFBooleanGetValue(CFBooleanRef boolean) {
  return boolean->value;
}

CFIndex CFArrayGetCount(CFArrayRef array) {
  return static_cast<CFIndex>(array->values.size());
}

// "The value at the given index"; owned by the array.
const void* CFArrayGetValueAtIndex(CFArrayRef array, CFIndex index) {
  return array->values.at(static_cast<size_t>(index));
}

// A source that delivers the port's messages, here its tap's events, once added to a run loop.
CFRunLoopSourceRef CFMachPortCreateRunLoopSource(CFAllocatorRef, CFMachPortRef port, CFIndex) {
  return new __CFRunLoopSource(port);
}

// "Invalidates a CFMachPort object, stopping it from receiving any more messages"; its run loop
// sources are removed from their run loops.
void CFMachPortInvalidate(CFMachPortRef port) {
  port->valid = false;
  auto& sources = mainLoop.sources;
  for (auto source = sources.begin(); source != sources.end();) {
    if ((*source)->port != port) {
      ++source;
      continue;
    }
    CFRelease(*source);
    source = sources.erase(source);
  }
}

// The main thread's run loop: in the model the one run loop there is.
CFRunLoopRef CFRunLoopGetMain() {
  return &mainLoop;
}

// "Adds a CFRunLoopSource object to a run loop mode"; the run loop retains it.
void CFRunLoopAddSource(CFRunLoopRef loop, CFRunLoopSourceRef source, CFStringRef) {
  onMainThread("CFRunLoopAddSource");
  loop->sources.push_back(retained(source));
}

// "Adds a CFRunLoopTimer object to a run loop mode"; the run loop retains it.
void CFRunLoopAddTimer(CFRunLoopRef loop, CFRunLoopTimerRef timer, CFStringRef) {
  loop->timers.push_back(retained(timer));
}

// "Runs the current thread's CFRunLoop object in its default mode indefinitely": posted blocks
// of the main queue, tap callbacks and timers, one at a time on this thread.
void CFRunLoopRun() {
  connectOnce();
  const int wake = mainQueue().wake[0];
  for (;;) {
    pollfd ready[2] = {{wake, POLLIN, 0}, {windowServer().channel, POLLIN, 0}};
    const nfds_t count = windowServer().channel >= 0 ? 2 : 1;
    // Blocks posted while one command was carried out run before the next command.
    const bool commandWaiting = windowServer().pending.find('\n') != std::string::npos;
    if (poll(ready, count, commandWaiting ? 0 : millisecondsToNextTimer()) < 0) continue;
    if (ready[0].revents) serveMainQueue();
    if (count == 2 && (ready[1].revents || commandWaiting) && !serveChannel(false)) {
      close(windowServer().channel);
      windowServer().channel = -1;
    }
    runDueTimers();
  }
}

// "Returns the current system absolute time": seconds since 1 January 2001.
CFAbsoluteTime CFAbsoluteTimeGetCurrent() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count() - 978307200.0;
}

// "Creates a new CFRunLoopTimer object" that fires at fireDate, then every interval seconds.
CFRunLoopTimerRef CFRunLoopTimerCreate(CFAllocatorRef, CFAbsoluteTime fireDate,
                                       CFTimeInterval interval, CFOptionFlags, CFIndex,
                                       CFRunLoopTimerCallBack callout, CFRunLoopTimerContext*) {
  auto* timer = new __CFRunLoopTimer;
  timer->fireDate = fireDate;
  timer->interval = interval;
  timer->callout = callout;
  return timer;
}

// "Invalidates a CFRunLoopTimer object, stopping it from ever firing again"; its run loops
// release it.
void CFRunLoopTimerInvalidate(CFRunLoopTimerRef timer) {
  timer->valid = false;
  auto& timers = mainLoop.timers;
  const auto found = std::find(timers.begin(), timers.end(), timer);
  if (found == timers.end()) return;
  timers.erase(found);
  CFRelease(timer);
}

struct dispatch_queue_s {};

// "Returns the serial dispatch queue associated with the application's main thread."
dispatch_queue_t dispatch_get_main_queue() {
  static dispatch_queue_s main;
  return &main;
}

// "Submits an application-defined function for asynchronous execution on a dispatch queue";
// the main queue runs them one at a time, in the order submitted, on the main thread.
void dispatch_async_f(dispatch_queue_t, void* context, dispatch_function_t work) {
  MainQueue& queue = mainQueue();
  {
    const std::lock_guard<std::mutex> hold(queue.lock);
    queue.blocks.emplace_back(work, context);
  }
  if (write(queue.wake[1], "", 1) < 0) std::abort();
}

// "Checks whether the current process already has event listening access."
bool CGPreflightListenEventAccess() {
  connectOnce();
  return windowServer().permission && !windowServer().preflightStale;
}

// "Requests event listening access if absent, potentially prompting": the model records the
// request and never waits for a person.
bool CGRequestListenEventAccess() {
  connectOnce();
  ++windowServer().requests;
  return windowServer().permission && !windowServer().preflightStale;
}

// "If the tap is not permitted to monitor these events when the tap is created, then the
// appropriate bits in the mask are cleared. If that results in an empty mask, then NULL is
// returned." Listen-only taps of mouse events need no permission. An active tap
// (kCGEventTapOptionDefault) may hold back any app's events, which macOS allows a trusted
// accessibility client alone: for any other process it is NULL, whatever it asks for.
CFMachPortRef CGEventTapCreate(CGEventTapLocation location, CGEventTapPlacement placement,
                               CGEventTapOptions options, CGEventMask eventsOfInterest,
                               CGEventTapCallBack callback, void* userInfo) {
  onMainThread("CGEventTapCreate");
  connectOnce();
  System& state = windowServer();
  constexpr CGEventMask keyEvents = CGEventMaskBit(kCGEventKeyDown) | CGEventMaskBit(kCGEventKeyUp);
  if (options == kCGEventTapOptionDefault && !state.accessibility) return nullptr;
  CGEventMask mask = eventsOfInterest;
  if (!state.permission) {
    if (state.deniedKeyTapIsNull && (mask & keyEvents)) return nullptr;
    mask &= ~keyEvents;
  }
  if (mask == 0 || state.tapsFail) return nullptr;
  auto* port = new __CFMachPort;
  port->id = ++state.tapsMade;
  port->location = location;
  port->options = options;
  port->mask = mask;
  port->callback = callback;
  port->userInfo = userInfo;
  // "kCGHeadInsertEventTap: Specifies that a new event tap should be inserted before any
  // pre-existing event taps at the same location"; kCGTailAppendEventTap, after them.
  state.taps.insert(placement == kCGHeadInsertEventTap ? state.taps.begin() : state.taps.end(),
                    port);
  return port;
}

// "An event tap may be re-enabled by calling this function."
void CGEventTapEnable(CFMachPortRef tap, bool enable) {
  onMainThread("CGEventTapEnable");
  tap->enabled = enable;
}

// "Return true if `tap' is enabled; false otherwise."
bool CGEventTapIsEnabled(CFMachPortRef tap) {
  onMainThread("CGEventTapIsEnabled");
  return tap->enabled;
}

// "On return, your array contains a list of currently installed event taps. On return, the
// number of event taps that are currently installed is stored in `eventTapCount'. If you pass
// NULL in this parameter, the `maxNumberOfTaps' parameter is ignored". The list is the whole
// session's: first another app's key tap, as a Mac with a keyboard utility has, then this
// process's; an invalidated one is installed no more. Latencies read 0.
CGError CGGetEventTapList(uint32_t maxNumberOfTaps, CGEventTapInformation* tapList,
                          uint32_t* eventTapCount) {
  constexpr CGEventMask otherAppsMask = CGEventMaskBit(kCGEventKeyDown) |
                                        CGEventMaskBit(kCGEventKeyUp) |
                                        CGEventMaskBit(kCGEventFlagsChanged);
  const pid_t otherApp = getpid() + 1;
  uint32_t count = 0;
  if (tapList && count < maxNumberOfTaps) {
    tapList[count] = {
        0, kCGSessionEventTap, kCGEventTapOptionListenOnly, otherAppsMask, otherApp, 0, true, 0, 0,
        0};
  }
  ++count;
  for (const __CFMachPort* port : windowServer().taps) {
    if (!port->valid) continue;
    if (tapList && count < maxNumberOfTaps) {
      tapList[count] = {
          port->id, port->location, port->options, port->mask, getpid(), 0, port->enabled, 0, 0, 0};
    }
    ++count;
  }
  if (eventTapCount) *eventTapCount = tapList ? std::min(count, maxNumberOfTaps) : count;
  return kCGErrorSuccess;
}

// "Returns whether the current process is a trusted accessibility client."
Boolean AXIsProcessTrusted() {
  connectOnce();
  return windowServer().accessibility;
}

// "Return the event type of an event (left mouse down, for example)."
CGEventType CGEventGetType(CGEventRef event) {
  return event->type;
}

// "Return the event flags of an event."
CGEventFlags CGEventGetFlags(CGEventRef event) {
  return event->flags;
}

// "Returns the integer value of a field in a Quartz event"; a field the event lacks reads 0.
int64_t CGEventGetIntegerValueField(CGEventRef event, CGEventField field) {
  const auto found = event->fields.find(field);
  return found == event->fields.end() ? 0 : found->second;
}

// "Return a Boolean value indicating the current keyboard state of a Quartz event source."
// Real Macs answer "up" for the Function key (63) whatever it is doing; so does the model.
bool CGEventSourceKeyState(CGEventSourceStateID, CGKeyCode key) {
  return key != kVK_Function && key < windowServer().keysDown.size() &&
         windowServer().keysDown[key];
}

// "Return a Boolean value indicating the current button state of a Quartz event source."
bool CGEventSourceButtonState(CGEventSourceStateID, CGMouseButton button) {
  return button < windowServer().buttonsDown.size() && windowServer().buttonsDown[button];
}

// "Return a window server session dictionary, or NULL if the caller is not running within a
// Quartz GUI session": the pid that holds Secure Input on, under kCGSSessionSecureInputPID.
CFDictionaryRef CGSessionCopyCurrentDictionary() {
  connectOnce();
  auto* session = new __CFDictionary;
  if (windowServer().secureInput) {
    session->entries.emplace_back("kCGSSessionSecureInputPID",
                                  new __CFNumber(windowServer().secureInput->first));
  }
  return session;
}

// "Returns an array of CFDictionaryRefs containing information about the system-wide symbolic
// hotkeys", each with kHISymbolicHotKeyCode, kHISymbolicHotKeyModifiers (Carbon's bits) and
// kHISymbolicHotKeyEnabled; "the array must be released by the caller". The model's: Spotlight's
// Command+Space, enabled, and Finder's search window, Option+Command+Space, switched off.
OSStatus CopySymbolicHotKeys(CFArrayRef* outHotKeyArray) {
  constexpr struct {
    int code;
    int modifiers;
    bool enabled;
  } hotKeys[] = {{kVK_Space, cmdKey, true}, {kVK_Space, cmdKey | optionKey, false}};
  auto* array = new __CFArray;
  for (const auto& hotKey : hotKeys) {
    auto* entry = new __CFDictionary;
    entry->entries.emplace_back("kHISymbolicHotKeyCode", new __CFNumber(hotKey.code));
    entry->entries.emplace_back("kHISymbolicHotKeyModifiers", new __CFNumber(hotKey.modifiers));
    entry->entries.emplace_back("kHISymbolicHotKeyEnabled", new __CFBoolean(hotKey.enabled));
    array->values.push_back(entry);
  }
  *outHotKeyArray = array;
  return noErr;
}

// "Copies a TISInputSourceRef for the keyboard layout currently being used."
TISInputSourceRef TISCopyCurrentKeyboardLayoutInputSource() {
  onMainThread("TISCopyCurrentKeyboardLayoutInputSource");
  connectOnce();
  return new __TISInputSource(windowServer().keyboardLayout);
}

// "Copies a TISInputSourceRef for the most-recently-used ASCII-capable keyboard layout. If no
// ASCII-capable keyboard input source has been used yet, returns the default ASCII-capable
// keyboard layout (chosen by Setup Assistant)": US at first here.
TISInputSourceRef TISCopyCurrentASCIICapableKeyboardLayoutInputSource() {
  onMainThread("TISCopyCurrentASCIICapableKeyboardLayoutInputSource");
  connectOnce();
  return new __TISInputSource(windowServer().asciiLayout);
}

const CFStringRef kTISPropertyUnicodeKeyLayoutData =
    __CFStringMakeConstantString("TISPropertyUnicodeKeyLayoutData");

// "The property key constant for a value which is a CFDataRef that refers to the 'uchr' keyboard
// layout data for a keyboard layout input source"; owned by the source. "If the input source is
// not a keyboard layout, or is a keyboard layout for which only 'KCHR data' is available, the
// value is NULL."
void* TISGetInputSourceProperty(TISInputSourceRef inputSource, CFStringRef propertyKey) {
  onMainThread("TISGetInputSourceProperty");
  return propertyKey == kTISPropertyUnicodeKeyLayoutData ? inputSource->data : nullptr;
}

const UInt8* CFDataGetBytePtr(CFDataRef data) {
  return reinterpret_cast<const UInt8*>(&data->layout);
}

// The keyboard type of the keyboard that typed last.
UInt8 LMGetKbdType() {
  onMainThread("LMGetKbdType");
  return static_cast<UInt8>(windowServer().keyboardType);
}

// "On return, the buffer contains a string of Unicode characters resulting from the virtual key
// code being handled": here one character, with no modifier, for display. A dead key gives none
// and a dead-key state, unless kUCKeyTranslateNoDeadKeysMask: "Prevents dead-key processing".
OSStatus UCKeyTranslate(const UCKeyboardLayout* keyLayoutPtr, UInt16 virtualKeyCode, UInt16, UInt32,
                        UInt32, OptionBits keyTranslateOptions, UInt32* deadKeyState,
                        UniCharCount maxStringLength, UniCharCount* actualStringLength,
                        UniChar unicodeString[]) {
  onMainThread("UCKeyTranslate");
  constexpr OSStatus paramErr = -50;
  if (!keyLayoutPtr || !deadKeyState || !actualStringLength || maxStringLength < 1) {
    return paramErr;
  }
  if (!(keyTranslateOptions & kUCKeyTranslateNoDeadKeysMask) &&
      keyLayoutPtr->dead.contains(virtualKeyCode)) {
    *actualStringLength = 0;
    *deadKeyState = 1;
    return noErr;
  }
  const auto found = keyLayoutPtr->typed.find(virtualKeyCode);
  unicodeString[0] = found == keyLayoutPtr->typed.end() ? functionKeyCharacter : found->second;
  *actualStringLength = 1;
  *deadKeyState = 0;
  return noErr;
}

// "Returns the physical keyboard layout type"; a type the test named none is ANSI.
PhysicalKeyboardLayoutType KBGetLayoutType(SInt16 iKeyboardType) {
  const auto found = windowServer().layouts.find(iKeyboardType);
  return found == windowServer().layouts.end() ? kKeyboardANSI : found->second;
}

// "Returns the name of the process": here only the one the test said holds Secure Input; 0 (no
// name) for any other pid, as for a process that has gone.
int proc_name(int pid, void* buffer, uint32_t buffersize) {
  const auto& holder = windowServer().secureInput;
  if (!holder || holder->first != pid || buffersize == 0) return 0;
  const std::string& name = holder->second;
  const size_t length = std::min<size_t>(name.size(), buffersize - 1);
  std::memcpy(buffer, name.data(), length);
  static_cast<char*>(buffer)[length] = '\0';
  return static_cast<int>(length);
}
