// The macOS injector of the end-to-end driver: the control channel of the model that keytap's
// macOS sources run against on Linux (tests/macos/model). Any test tool may speak it.
//
// The tool listens on a Unix stream socket and starts keytap-macos-model with KEYTAP_MACOS_MODEL
// naming it; at keytap's first call into the system, the model connects. Lines of text go to the
// model, and it answers each with one line, "ok" (with a value for a question) or "error: why",
// once it has carried the command out: events are delivered to every tap that takes them before
// the answer, so a line keytap writes because of one comes before the reply to the next command.
// Until "start", the model answers on keytap's behalf while keytap waits: the state the system
// starts in. After "start", keytap's main run loop serves the commands.
//
//   key CODE down|up [flags=N] [type=N] [repeat=N] [unheard]
//                            a key of the keyboard by its macOS virtual key code; a modifier key
//                            (54-63) makes a flags-changed event, any other a key-down or key-up
//                            with the modifiers held and, pressed while down, autorepeat 1.
//                            flags=, type= and repeat= set the event's own fields instead;
//                            unheard: no tap hears it, as while a slow tap was switched off
//   button N down|up         the mouse button with kCGMouseEventButtonNumber N (2 middle, 3, 4)
//   move | scroll            a mouse move or a wheel turn
//   disable keys|buttons timeout|user-input
//                            switches off the taps of keys or of mouse buttons, and tells them
//   permission granted|denied  Input Monitoring for keytap, from now on (granted at first)
//   requests                 how many times keytap asked for it: "ok N"
//   accessibility granted|denied  whether keytap is a trusted accessibility client, which an
//                            active tap needs (granted at first)
//   app                      the key and button events that reached the app in front, past
//                            every active tap, since the last ask: "ok key 59 down, button 3 up"
//   preflight stale|current  whether CGPreflightListenEventAccess answers no while the permission
//                            is there and taps open with their key bits (current at first)
//   denied-key-tap cleared|null  a key tap made without the permission: its key bits cleared,
//                            as documented (at first), or no tap, as measured on real Macs
//   taps open|fail           whether any tap can be made (open at first)
//   taps installed           how many of keytap's taps are installed: "ok N"
//   taps active              how many of them are active, which may hold back events: "ok N"
//   taps held                how many of keytap's taps are not freed yet, installed or not
//   secure-input PID NAME | secure-input off
//                            who holds Secure Input on; key presses reach no tap meanwhile
//   keyboard TYPE iso|ansi|jis|current
//                            the layout of a keyboard type (ANSI unless told), or the type of
//                            the keyboard that types from now on (40 at first)
//   layout us|de|zhuyin      the current keyboard layout: US (at first) or German, whose Z is
//                            where US has Y; or Chinese Zhuyin, an input method whose layout
//                            has no 'uchr' data (the ASCII-capable layout used last stands in)
//   start                    ends the starting state
#pragma once

#include <memory>
#include <string>
#include <vector>

struct ModelChannel {
  ModelChannel() = default;
  ModelChannel(const ModelChannel&) = delete;
  ModelChannel& operator=(const ModelChannel&) = delete;
  ~ModelChannel();  // closes the sockets and removes the folder

  std::string folder;  // a fresh folder of its own
  int listener = -1;
  int connection = -1;  // the model's, once accepted
};

/// A new channel, listening; null when no socket can be made.
std::unique_ptr<ModelChannel> listenForModel();
/// What keytap's environment needs to reach the channel: "KEYTAP_MACOS_MODEL=PATH".
std::string modelEnvironment(const ModelChannel& channel);
/// Waits for the model to connect, then sets its starting state with `commands` and lets keytap
/// go on. False when it does not connect in time or refuses a command.
bool startModel(ModelChannel& channel, const std::vector<std::string>& commands);
/// Sends one command and returns the model's answer; empty when none comes.
std::string tellModel(ModelChannel& channel, const std::string& command);
