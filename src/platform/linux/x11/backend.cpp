// Linux X11 backend: XInput2 raw key events on the root window, read through XCB, which
// reports a lost display instead of ending the process.
#include <fcntl.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xinput.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

#include "core/state.h"
#include "platform/key_positions.h"
#include "platform/linux/backends.h"
#include "platform/linux/diagnosis.h"
#include "platform/linux/x11/connection.h"
#include "platform/linux/x11/grabs.h"

namespace x11 {
namespace {

struct X11Tap : Tap {
  xcb_connection_t* connection;
  uint8_t xinputOpcode;
  KeysDown down;
  // The times of the last raw press of each key and button: the press that starts one of keytap's
  // grabs comes again as the grab's own event, which must not count twice. A release never does:
  // the server keeps raw events from the client whose root window grab is active.
  std::array<xcb_timestamp_t, 256> keyTimes = {};
  std::array<xcb_timestamp_t, 16> buttonTimes = {};
  // An event taken from the queue ahead of its turn, to tell a grabbed release (--consume); it is
  // served next.
  xcb_generic_event_t* lookahead = nullptr;
};

// The open tap, or null.
X11Tap* opened = nullptr;

// X key codes are Linux evdev codes plus 8.
constexpr unsigned evdevOffset = 8;

// $DISPLAY, for a static program, which cannot load the system's name service modules: the
// "localhost" of SSH's X forwarding is taken as the loopback address it stands for (xcb finds
// the same Xauthority entry for it), addresses need no resolving, and any other host name is
// resolved from /etc/hosts or DNS alone.
std::string displayName() {
  const char* display = std::getenv("DISPLAY");
  std::string name = display ? display : "";
  if (name.starts_with("localhost:"))
    name.replace(0, std::string_view("localhost").size(), "127.0.0.1");
  return name;
}

}  // namespace

// libxcb writes a server's refusal to standard error, where keytap never writes: while it
// connects, standard error points at /dev/null.
xcb_connection_t* connectQuietly() {
  const int savedErrors = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) {
    dup2(null, STDERR_FILENO);
    close(null);
  }
  xcb_connection_t* connection = xcb_connect(displayName().c_str(), nullptr);
  if (savedErrors >= 0) {
    dup2(savedErrors, STDERR_FILENO);
    close(savedErrors);
  }
  return connection;
}

// The XInput version that the server speaks with us, which is at most the 2.2 we announce; 0.0
// when it has no XInput. The server delivers raw events to a client that announced 2.0 only
// while no other client grabs the keyboard (an open menu, a game, a screen locker); from 2.1 on
// they reach every client that selected them, grabs or not.
std::pair<int, int> xinputVersion(xcb_connection_t* connection) {
  const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection, &xcb_input_id);
  if (!extension || !extension->present) return {0, 0};
  xcb_input_xi_query_version_reply_t* reply = xcb_input_xi_query_version_reply(
      connection, xcb_input_xi_query_version(connection, 2, 2), nullptr);
  if (!reply) return {0, 0};
  const std::pair<int, int> version{reply->major_version, reply->minor_version};
  std::free(reply);
  return version;
}

namespace {

// A connection to $DISPLAY whose server speaks XInput 2.1 or later, or null.
xcb_connection_t* connectWithXInput2(uint8_t* xinputOpcode) {
  xcb_connection_t* connection = connectQuietly();
  if (xcb_connection_has_error(connection) || xinputVersion(connection) < std::pair(2, 1)) {
    xcb_disconnect(connection);
    return nullptr;
  }
  *xinputOpcode = xcb_get_extension_data(connection, &xcb_input_id)->major_opcode;
  return connection;
}

// Whether the mouse buttons are wanted (--mouse-buttons, with a button registered).
bool buttonsWanted = false;

// Raw key events, and raw button events while buttons are wanted; never motion, so that a
// moving pointer never wakes keytap. A new selection replaces the old one.
bool selectRawEvents(xcb_connection_t* connection) {
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
  struct {
    xcb_input_event_mask_t head;
    uint32_t bits;
  } mask{{XCB_INPUT_DEVICE_ALL_MASTER, 1},
         XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_KEY_RELEASE |
             (buttonsWanted ? XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS |
                                  XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_RELEASE
                            : 0u)};
  xcb_generic_error_t* error = xcb_request_check(
      connection, xcb_input_xi_select_events_checked(connection, root, 1, &mask.head));
  std::free(error);
  return error == nullptr;
}

// Keys already down when the tap opens, so that held modifiers count from the first event.
KeysDown keysDown(xcb_connection_t* connection) {
  KeysDown down;
  xcb_query_keymap_reply_t* keymap =
      xcb_query_keymap_reply(connection, xcb_query_keymap(connection), nullptr);
  if (!keymap) return down;
  for (unsigned keycode = evdevOffset; keycode < 256; ++keycode) {
    down[keycode - evdevOffset] = (keymap->keys[keycode / 8] >> (keycode % 8)) & 1;
  }
  std::free(keymap);
  return down;
}

void deliver(X11Tap& listener, unsigned evdev, bool press) {
  std::optional<Event> event = trackKey(listener.down, evdev, press, modifierKeysHeard());
  if (event) listener.callback(press ? keyDownEvent : keyUpEvent, &*event);
}

void handleRawKey(X11Tap& listener, const xcb_input_raw_key_press_event_t& raw) {
  if (raw.detail < evdevOffset) return;
  const bool press = raw.event_type == XCB_INPUT_RAW_KEY_PRESS;
  if (press) listener.keyTimes[raw.detail] = raw.time;
  deliver(listener, raw.detail - evdevOffset, press);
}

// X buttons 2, 8 and 9 are the middle and the two side buttons; 4 to 7 are the wheel.
std::optional<unsigned> evdevOfButton(uint32_t button) {
  switch (button) {
    case 2:
      return buttonMiddle;
    case 8:
      return buttonSide;
    case 9:
      return buttonExtra;
    default:
      return std::nullopt;
  }
}

// Presses emulated from smooth scrolling are no presses at all.
void handleRawButton(X11Tap& listener, const xcb_input_raw_button_press_event_t& raw) {
  if (raw.flags & XCB_INPUT_POINTER_EVENT_FLAGS_POINTER_EMULATED) return;
  const std::optional<unsigned> evdev = evdevOfButton(raw.detail);
  if (!evdev) return;
  const bool press = raw.event_type == XCB_INPUT_RAW_BUTTON_PRESS;
  if (press) listener.buttonTimes[raw.detail] = raw.time;
  deliver(listener, *evdev, press);
}

// Whether the server has the key down now; once the reply has come, every event the server sent
// before it is in the queue.
bool serverHasKeyDown(xcb_connection_t* connection, uint8_t keycode) {
  xcb_query_keymap_reply_t* keymap =
      xcb_query_keymap_reply(connection, xcb_query_keymap(connection), nullptr);
  if (!keymap) return false;
  const bool down = (keymap->keys[keycode / 8] >> (keycode % 8)) & 1;
  std::free(keymap);
  return down;
}

// Whether a grabbed release is the server's autorepeat, which comes through a grab as a release
// and a press of one time, sent together, of a key that stays down. A true release leaves the key
// up, unless it was pressed again meanwhile: then its next event is not that press. The event
// looked at is served next.
bool isAutorepeatRelease(X11Tap& listener, const xcb_key_release_event_t& release) {
  if (!serverHasKeyDown(listener.connection, release.detail)) return false;
  listener.lookahead = xcb_poll_for_queued_event(listener.connection);
  const auto* next = reinterpret_cast<const xcb_key_press_event_t*>(listener.lookahead);
  return next && (next->response_type & 0x7F) == XCB_KEY_PRESS && next->detail == release.detail &&
         next->time == release.time;
}

// While one of keytap's grabs is active (--consume), the server sends keytap the keyboard's or
// the pointer's events through the grab alone, raw events to it included: they come as core
// events, the press that started the grab after its raw event, with the server's autorepeat.
void handleGrabbedEvent(X11Tap& listener, const xcb_generic_event_t& event) {
  const uint8_t type = event.response_type & 0x7F;
  // Key and button events share their layout.
  const auto& input = reinterpret_cast<const xcb_key_press_event_t&>(event);
  const bool press = type == XCB_KEY_PRESS || type == XCB_BUTTON_PRESS;
  if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE) {
    if (input.detail < evdevOffset || (press && listener.keyTimes[input.detail] == input.time)) {
      return;
    }
    // The repeat's press that follows is a press of a key down, which trackKey calls a repeat.
    if (!press && isAutorepeatRelease(listener, input)) return;
    deliver(listener, input.detail - evdevOffset, press);
  } else if (type == XCB_BUTTON_PRESS || type == XCB_BUTTON_RELEASE) {
    const std::optional<unsigned> evdev = evdevOfButton(input.detail);
    if (!evdev || (press && listener.buttonTimes[input.detail] == input.time)) return;
    deliver(listener, *evdev, press);
  }
}

// The chords kept from the other clients (--consume), grabbed again on each new connection: grabs
// end with the connection that took them. Each names the modifier states grabbed on the open
// connection, which are the ones to give back whatever the modifier mapping says by then.
struct KeptChord {
  Accel accel;
  std::vector<uint16_t> states;
};
std::vector<KeptChord> keptChords;

// A grab names X modifiers, which a new modifier mapping may give other keys (Num Lock moved, Alt
// added): the kept chords are grabbed again in the states it names.
void grabKeptChordsAgain(xcb_connection_t* connection) {
  for (KeptChord& kept : keptChords) grabChordAgain(connection, kept.accel, kept.states);
}

// A lost display is not fatal: the tap becomes absent, so the next register opens a new one.
void dropTap() {
  const TapCallback notify = opened->callback;
  std::free(opened->lookahead);
  xcb_disconnect(opened->connection);
  delete opened;
  opened = nullptr;
  notify(displayLost, nullptr);
}

void serveTapEvents() {
  while (opened) {
    xcb_generic_event_t* event = opened->lookahead ? std::exchange(opened->lookahead, nullptr)
                                                   : xcb_poll_for_event(opened->connection);
    if (!event) {
      if (xcb_connection_has_error(opened->connection)) dropTap();
      return;
    }
    const auto* generic = reinterpret_cast<const xcb_ge_generic_event_t*>(event);
    const bool fromXInput = (event->response_type & 0x7F) == XCB_GE_GENERIC &&
                            generic->extension == opened->xinputOpcode;
    if (fromXInput && (generic->event_type == XCB_INPUT_RAW_KEY_PRESS ||
                       generic->event_type == XCB_INPUT_RAW_KEY_RELEASE)) {
      handleRawKey(*opened, *reinterpret_cast<const xcb_input_raw_key_press_event_t*>(event));
    } else if (fromXInput && (generic->event_type == XCB_INPUT_RAW_BUTTON_PRESS ||
                              generic->event_type == XCB_INPUT_RAW_BUTTON_RELEASE)) {
      handleRawButton(*opened, *reinterpret_cast<const xcb_input_raw_button_press_event_t*>(event));
    } else if ((event->response_type & 0x7F) == XCB_MAPPING_NOTIFY) {
      const auto& mapping = *reinterpret_cast<const xcb_mapping_notify_event_t*>(event);
      if (mapping.request != XCB_MAPPING_POINTER) grabKeptChordsAgain(opened->connection);
    } else {
      handleGrabbedEvent(*opened, *event);
    }
    std::free(event);
  }
}

// The connection that answered the permission check, kept for the tap: were it closed, the
// server could reset for want of clients just as the tap connects.
xcb_connection_t* checkedConnection = nullptr;
uint8_t checkedOpcode = 0;

}  // namespace

bool preflightListenAccess() {
  if (!checkedConnection) checkedConnection = connectWithXInput2(&checkedOpcode);
  return checkedConnection != nullptr;
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
  if (!selectRawEvents(connection)) {
    xcb_disconnect(connection);
    return nullptr;
  }
  opened = new X11Tap{{onEvent}, connection, opcode, keysDown(connection)};
  for (KeptChord& kept : keptChords) grabChord(connection, kept.accel, kept.states);
  return opened;
}

void watchMouseButtons(bool watch) {
  if (watch == buttonsWanted) return;
  buttonsWanted = watch;
  if (!opened) return;
  // A failure shows as a lost connection, which the poll loop notices.
  selectRawEvents(opened->connection);
  // Unwatched, a button's release is never heard, and X has no query for buttons: forget what
  // was down, or its next press would pass for an autorepeat.
  if (!watch) {
    for (const unsigned button : watchedButtons) opened->down.reset(button);
  }
}

// Without a display nothing is grabbed; a chord given back then is not grabbed again either.
KeepAnswer keepFromOthers(const Accel& accel, bool keep) {
  if (!keep) {
    const auto kept = std::find_if(keptChords.begin(), keptChords.end(),
                                   [&](const KeptChord& chord) { return chord.accel == accel; });
    if (kept == keptChords.end()) return {};
    std::vector<uint16_t> states = std::move(kept->states);
    keptChords.erase(kept);
    // Two chords whose modifiers the server maps to one X modifier (Alt and Super on Mod1) share
    // a grab: it stays while the other is kept.
    for (const KeptChord& other : keptChords) {
      if (other.accel.keyCode != accel.keyCode) continue;
      std::erase_if(states, [&](uint16_t state) {
        return std::ranges::find(other.states, state) != other.states.end();
      });
    }
    if (opened) ungrabChord(opened->connection, accel, states);
    return {};
  }
  if (!opened) return {Keeping::unavailable, "no display"};
  std::vector<uint16_t> states;
  KeepAnswer answer = grabChord(opened->connection, accel, states);
  if (answer.outcome == Keeping::kept) keptChords.push_back({accel, std::move(states)});
  return answer;
}

// Where no tap is open keytap grabs nothing, and a connection of its own serves for the probe.
ChordHolder chordHolder(const Accel& accel) {
  xcb_connection_t* connection = opened ? opened->connection : connectQuietly();
  std::vector<uint16_t> ownStates;
  for (const KeptChord& kept : keptChords) {
    if (kept.accel.keyCode == accel.keyCode) {
      ownStates.insert(ownStates.end(), kept.states.begin(), kept.states.end());
    }
  }
  const bool taken =
      !xcb_connection_has_error(connection) && grabbedByAnother(connection, accel, ownStates);
  if (!opened) xcb_disconnect(connection);
  return taken ? ChordHolder::anotherProgram : ChordHolder::unknown;
}

// The tap's own record of the keys, seeded from the server's key map when it opened; X has no
// query for the side buttons, so for buttons it is the record alone.
bool keyIsDown(uint16_t keyCode) {
  return opened && isDownAt(opened->down, keyCode);
}

void addTapSources(std::vector<pollfd>& sources) {
  if (opened) sources.push_back({xcb_get_file_descriptor(opened->connection), POLLIN, 0});
}

// xcb reads from its descriptor itself and may hold events already read.
void serveTap(std::span<const pollfd>) {
  serveTapEvents();
}

X11Facts displayFacts() {
  X11Facts facts;
  const char* display = std::getenv("DISPLAY");
  facts.display = display ? display : "";
  if (facts.display.empty()) return facts;
  xcb_connection_t* connection = connectQuietly();
  facts.opens = !xcb_connection_has_error(connection);
  if (facts.opens) std::tie(facts.xinputMajor, facts.xinputMinor) = xinputVersion(connection);
  xcb_disconnect(connection);
  return facts;
}

}  // namespace x11
