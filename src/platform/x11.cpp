// Linux X11 backend: XInput2 raw key events on the root window, read through XCB, which
// reports a lost display instead of ending the process.
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xinput.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "core/state.h"
#include "platform/platform.h"

struct Event {
  int64_t keyCode;
  int64_t autorepeat;
  uint64_t flags;
};

struct Tap {
  xcb_connection_t* connection;
  uint8_t xinputOpcode;
  TapCallback callback;
  std::bitset<256> down;  // X key codes that are down, modifiers included
};

namespace {

// X key codes are Linux evdev codes plus 8.
constexpr unsigned evdevOffset = 8;
// Keys without a macOS counterpart get codes from here on, which no key name uses.
constexpr uint16_t unmappedBase = 0x1000;

struct KeyMapping {
  uint8_t evdev;
  uint16_t mac;  // the macOS virtual key code of the key in the same ANSI position
};

constexpr KeyMapping keyMappings[] = {
    {1, 53},    {2, 18},    {3, 19},    {4, 20},    {5, 21},    {6, 23},    {7, 22},    {8, 26},
    {9, 28},    {10, 25},   {11, 29},   {12, 27},   {13, 24},   {14, 51},   {15, 48},   {16, 12},
    {17, 13},   {18, 14},   {19, 15},   {20, 17},   {21, 16},   {22, 32},   {23, 34},   {24, 31},
    {25, 35},   {26, 33},   {27, 30},   {28, 36},   {30, 0},    {31, 1},    {32, 2},    {33, 3},
    {34, 5},    {35, 4},    {36, 38},   {37, 40},   {38, 37},   {39, 41},   {40, 39},   {41, 50},
    {43, 42},   {44, 6},    {45, 7},    {46, 8},    {47, 9},    {48, 11},   {49, 45},   {50, 46},
    {51, 43},   {52, 47},   {53, 44},   {55, 67},   {57, 49},   {59, 122},  {60, 120},  {61, 99},
    {62, 118},  {63, 96},   {64, 97},   {65, 98},   {66, 100},  {67, 101},  {68, 109},  {69, 71},
    {71, 89},   {72, 91},   {73, 92},   {74, 78},   {75, 86},   {76, 87},   {77, 88},   {78, 69},
    {79, 83},   {80, 84},   {81, 85},   {82, 82},   {83, 65},   {86, 10},   {87, 103},  {88, 111},
    {89, 94},   {96, 76},   {98, 75},   {102, 115}, {103, 126}, {104, 116}, {105, 123}, {106, 124},
    {107, 119}, {108, 125}, {109, 121}, {110, 114}, {111, 117}, {113, 74},  {114, 73},  {115, 72},
    {117, 81},  {121, 95},  {124, 93},  {127, 110}, {183, 105}, {184, 107}, {185, 113}, {186, 106},
    {187, 64},  {188, 79},  {189, 80},  {190, 90},
};

// Indexed by X key code.
constexpr std::array<uint16_t, 256> macKeyCodes = [] {
  std::array<uint16_t, 256> codes{};
  for (unsigned keycode = 0; keycode < codes.size(); ++keycode) {
    codes[keycode] = static_cast<uint16_t>(unmappedBase + keycode);
  }
  for (const KeyMapping& mapping : keyMappings) codes[mapping.evdev + evdevOffset] = mapping.mac;
  return codes;
}();

struct ModifierKey {
  uint8_t evdev;
  uint64_t flag;
};

// As on macOS, these keys only change flags and never reach the matcher. Caps Lock sets none.
constexpr ModifierKey modifierKeys[] = {
    {42, shiftFlag},   {54, shiftFlag},    {29, controlFlag},  {97, controlFlag}, {56, optionFlag},
    {100, optionFlag}, {125, commandFlag}, {126, commandFlag}, {58, 0},
};

bool isModifierKey(unsigned keycode) {
  for (const ModifierKey& modifier : modifierKeys) {
    if (modifier.evdev + evdevOffset == keycode) return true;
  }
  return false;
}

uint64_t modifierFlags(const std::bitset<256>& down) {
  uint64_t flags = 0;
  for (const ModifierKey& modifier : modifierKeys) {
    if (down[modifier.evdev + evdevOffset]) flags |= modifier.flag;
  }
  return flags;
}

// libxcb writes a server's refusal to standard error, where keytap never writes: while it
// connects, standard error points at /dev/null.
xcb_connection_t* connectQuietly() {
  const int savedErrors = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) {
    dup2(null, STDERR_FILENO);
    close(null);
  }
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  if (savedErrors >= 0) {
    dup2(savedErrors, STDERR_FILENO);
    close(savedErrors);
  }
  return connection;
}

// A connection to $DISPLAY whose server speaks XInput 2.1 or later, or null.
xcb_connection_t* connectWithXInput2(uint8_t* xinputOpcode) {
  xcb_connection_t* connection = connectQuietly();
  if (xcb_connection_has_error(connection)) {
    xcb_disconnect(connection);
    return nullptr;
  }
  const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection, &xcb_input_id);
  xcb_input_xi_query_version_reply_t* version = nullptr;
  // The server delivers raw events to a client that announced 2.0 only while no other client
  // grabs the keyboard (an open menu, a game, a screen locker); from 2.1 on they reach every
  // client that selected them, grabs or not.
  if (extension && extension->present) {
    version = xcb_input_xi_query_version_reply(
        connection, xcb_input_xi_query_version(connection, 2, 2), nullptr);
  }
  const bool speaksXInput2 =
      version &&
      (version->major_version > 2 || (version->major_version == 2 && version->minor_version >= 1));
  std::free(version);
  if (!speaksXInput2) {
    xcb_disconnect(connection);
    return nullptr;
  }
  *xinputOpcode = extension->major_opcode;
  return connection;
}

bool selectRawKeyEvents(xcb_connection_t* connection) {
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
  struct {
    xcb_input_event_mask_t head;
    uint32_t bits;
  } mask{{XCB_INPUT_DEVICE_ALL_MASTER, 1},
         XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_KEY_RELEASE};
  xcb_generic_error_t* error = xcb_request_check(
      connection, xcb_input_xi_select_events_checked(connection, root, 1, &mask.head));
  std::free(error);
  return error == nullptr;
}

// Keys already down when the tap opens, so that held modifiers count from the first event.
std::bitset<256> keysDown(xcb_connection_t* connection) {
  std::bitset<256> down;
  xcb_query_keymap_reply_t* keymap =
      xcb_query_keymap_reply(connection, xcb_query_keymap(connection), nullptr);
  if (!keymap) return down;
  for (unsigned keycode = 0; keycode < down.size(); ++keycode) {
    down[keycode] = (keymap->keys[keycode / 8] >> (keycode % 8)) & 1;
  }
  std::free(keymap);
  return down;
}

void handleRawKey(Tap& opened, const xcb_input_raw_key_press_event_t& raw) {
  const uint32_t keycode = raw.detail;
  if (keycode >= opened.down.size()) return;
  const bool press = raw.event_type == XCB_INPUT_RAW_KEY_PRESS;
  const bool wasDown = opened.down[keycode];
  opened.down[keycode] = press;
  if (isModifierKey(keycode)) return;

  // The server repeats a held key by sending presses without releases.
  Event event{macKeyCodes[keycode], press && wasDown, modifierFlags(opened.down)};
  opened.callback(press ? keyDownEvent : keyUpEvent, &event);
}

// A lost display is not fatal: the tap becomes absent, so the next register opens a new one.
void dropTap() {
  const TapCallback notify = tap->callback;
  xcb_disconnect(tap->connection);
  delete tap;
  tap = nullptr;
  notify(displayLost, nullptr);
}

void serveTapEvents() {
  while (tap) {
    xcb_generic_event_t* event = xcb_poll_for_event(tap->connection);
    if (!event) {
      if (xcb_connection_has_error(tap->connection)) dropTap();
      return;
    }
    const auto* generic = reinterpret_cast<const xcb_ge_generic_event_t*>(event);
    if ((event->response_type & 0x7F) == XCB_GE_GENERIC &&
        generic->extension == tap->xinputOpcode &&
        (generic->event_type == XCB_INPUT_RAW_KEY_PRESS ||
         generic->event_type == XCB_INPUT_RAW_KEY_RELEASE)) {
      handleRawKey(*tap, *reinterpret_cast<const xcb_input_raw_key_press_event_t*>(event));
    }
    std::free(event);
  }
}

// The connection that answered the permission check, kept for the tap: were it closed, the
// server could reset for want of clients just as the tap connects.
xcb_connection_t* checkedConnection = nullptr;
uint8_t checkedOpcode = 0;

// Input handled in one wake-up beyond this was a burst worth returning to the system.
constexpr size_t trimAfterBytes = 1 << 20;

Tick ticker = nullptr;
std::chrono::steady_clock::time_point nextTick;

// How long the main loop may sleep: until the next tick, or for ever without a ticker.
int pollTimeoutMs() {
  if (!ticker) return -1;
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(nextTick - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<int64_t>(0, left.count()));
}

// The hand-off from the reader thread: batches of lines queue here and the eventfd wakes the
// main loop.
std::mutex postedMutex;
std::vector<std::string> posted;

int wakeDescriptor() {
  static const int descriptor = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  return descriptor;
}

}  // namespace

bool preflightListenAccess() {
  if (!checkedConnection) checkedConnection = connectWithXInput2(&checkedOpcode);
  return checkedConnection != nullptr;
}

// X11 has no permission prompt: the answer is the same as the preflight's.
bool requestListenAccess() {
  return preflightListenAccess();
}

Tap* openTap(TapCallback onEvent) {
  uint8_t opcode = checkedOpcode;
  xcb_connection_t* connection = checkedConnection;
  checkedConnection = nullptr;
  if (connection && xcb_connection_has_error(connection)) {
    xcb_disconnect(connection);
    connection = nullptr;
  }
  if (!connection) connection = connectWithXInput2(&opcode);
  if (!connection) return nullptr;
  if (!selectRawKeyEvents(connection)) {
    xcb_disconnect(connection);
    return nullptr;
  }
  return new Tap{connection, opcode, onEvent, keysDown(connection)};
}

// XInput2 never switches a selection off, so there is nothing to switch on again.
bool enableTap(Tap*) {
  return true;
}

// The tap's own record of the keys, seeded from the server's key map when it opened.
bool keyIsDown(uint16_t keyCode) {
  if (!tap) return false;
  for (unsigned keycode = 0; keycode < macKeyCodes.size(); ++keycode) {
    if (macKeyCodes[keycode] == keyCode && tap->down[keycode]) return true;
  }
  return false;
}

int64_t eventKeyCode(const Event* event) {
  return event->keyCode;
}
int64_t eventAutorepeat(const Event* event) {
  return event->autorepeat;
}
uint64_t eventFlags(const Event* event) {
  return event->flags;
}

// Control is the shortcut key of Linux desktops.
uint64_t commandOrControlFlag() {
  return controlFlag;
}

void postLines(std::string lines) {
  bool wasEmpty;
  {
    const std::lock_guard lock(postedMutex);
    wasEmpty = posted.empty();
    posted.push_back(std::move(lines));
  }
  // The main loop takes the whole queue each time it wakes: one wake-up per batch is enough.
  if (wasEmpty) {
    const uint64_t one = 1;
    while (write(wakeDescriptor(), &one, sizeof one) < 0 && errno == EINTR) {
    }
  }
}

void tickEverySecond(Tick tick) {
  if (tick && !ticker) nextTick = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  ticker = tick;
}

void runMainLoop(LinesHandler handleLines) {
  std::vector<std::string> batches;
  for (;;) {
    // Handling a line may have opened a tap whose first events xcb has already buffered.
    serveTapEvents();
    pollfd sources[2] = {{wakeDescriptor(), POLLIN, 0},
                         {tap ? xcb_get_file_descriptor(tap->connection) : -1, POLLIN, 0}};
    if (poll(sources, 2, pollTimeoutMs()) < 0) continue;
    // Key events first: a key that reached us before a line was handled before it.
    serveTapEvents();
    if (sources[0].revents & POLLIN) {
      // Drain the counter before taking the queue, so a line posted in between wakes us again.
      uint64_t count;
      while (read(wakeDescriptor(), &count, sizeof count) < 0 && errno == EINTR) {
      }
      {
        const std::lock_guard lock(postedMutex);
        batches.swap(posted);
      }
      size_t handled = 0;
      for (const std::string& lines : batches) {
        handleLines(lines);
        handled += lines.size();
      }
      batches.clear();
      // glibc keeps what a burst of queued input used for good; give it back to the system.
      if (handled > trimAfterBytes) malloc_trim(0);
    }
    const auto now = std::chrono::steady_clock::now();
    if (ticker && now >= nextTick) {
      nextTick = now + std::chrono::seconds(1);
      ticker();
    }
  }
}
