// keytap_macos_e2e KEYTAP: the real keytap on this Mac's login session, hearing events that this
// program posts with CGEventPost: keys with and without modifiers, an autorepeat, a modifier held
// alone and by side (--extended-keys), mouse buttons (--mouse-buttons), then --doctor. Prints one
// line per case and "N passed, M failed". Exits 77 (skipped) with one line naming the setting
// when this session may not post events or keytap may not listen, unless
// KEYTAP_REQUIRE_PERMISSIONS is set (CI): then that is a failure.
#include <CoreGraphics/CoreGraphics.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"

namespace {

using nlohmann::json;
using Said = std::vector<std::string>;

constexpr int timeoutMs = 5000;
constexpr CGKeyCode keyJ = 38, keyF5 = 96, rightOption = 61;
constexpr CGEventFlags ctrl = kCGEventFlagMaskControl, alt = kCGEventFlagMaskAlternate,
                       shift = kCGEventFlagMaskShift;

CGEventSourceRef source = nullptr;

void post(CGEventRef event) {
  CGEventPost(kCGHIDEventTap, event);
  CFRelease(event);
}

void key(CGKeyCode code, bool down, CGEventFlags flags, bool autorepeat = false) {
  CGEventRef event = CGEventCreateKeyboardEvent(source, code, down);
  CGEventSetFlags(event, flags);
  if (autorepeat) CGEventSetIntegerValueField(event, kCGKeyboardEventAutorepeat, 1);
  post(event);
}

// A modifier key's press or release, as macOS reports it: a flags-changed event with its code.
void modifier(CGKeyCode code, CGEventFlags flags) {
  CGEventRef event = CGEventCreate(source);
  CGEventSetType(event, kCGEventFlagsChanged);
  CGEventSetIntegerValueField(event, kCGKeyboardEventKeycode, code);
  CGEventSetFlags(event, flags);
  post(event);
}

void button(CGMouseButton number, bool down, CGEventFlags flags) {
  CGEventRef here = CGEventCreate(nullptr);
  const CGPoint location = CGEventGetLocation(here);
  CFRelease(here);
  CGEventRef event = CGEventCreateMouseEvent(
      source, down ? kCGEventOtherMouseDown : kCGEventOtherMouseUp, location, number);
  CGEventSetFlags(event, flags);
  post(event);
}

json next(Child& keytap, int waitMs = timeoutMs) {
  const std::optional<std::string> line = readLine(keytap, waitMs);
  return line ? json::parse(*line, nullptr, false) : json();
}

std::string describe(const json& message) {
  std::string text = message["t"].get<std::string>() + ":" + message["d"]["accelerator"].dump();
  if (message["d"].contains("alone")) text += message["d"]["alone"] ? " alone" : " chord";
  return text;
}

// What keytap says about the events posted by `act`: posted events reach the tap through the
// window server, after any line, so this waits for as many messages as expected, then for a
// marker's reply, which also catches any message too many.
Said said(Child& keytap, const std::function<void()>& act, size_t expected) {
  act();
  Said messages;
  while (messages.size() < expected) {
    const json message = next(keytap);
    if (message.is_null()) break;
    messages.push_back(describe(message));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  sendText(keytap, R"({"t":"unregister","d":{"accelerator":"marker"}})"
                   "\n");
  for (json message = next(keytap); !message.is_null() && message["t"] != "unregistered";
       message = next(keytap)) {
    messages.push_back(describe(message));
  }
  return messages;
}

int passed = 0, failed = 0;

void check(const std::string& name, const Said& got, const Said& expected) {
  const bool ok = got == expected;
  (ok ? passed : failed)++;
  std::string text;
  for (const std::string& message : got) text += " " + message;
  std::printf("%s  %s:%s\n", ok ? "ok    " : "FAILED", name.c_str(),
              text.empty() ? " nothing" : text.c_str());
}

// One line that says what to grant, then skipped, or failed where permissions are required.
int withoutPermission(const char* what) {
  std::printf("%s\n", what);
  if (std::getenv("KEYTAP_REQUIRE_PERMISSIONS")) {
    std::printf("0 passed, 1 failed\n");
    return 1;
  }
  std::printf("skipped: 0 passed, 0 failed\n");
  return 77;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s KEYTAP\n", argv[0]);
    return 2;
  }
  if (!CGPreflightPostEventAccess()) {
    return withoutPermission(
        "This session may not post events: grant Accessibility to the terminal app (System "
        "Settings > Privacy & Security > Accessibility).");
  }
  source = CGEventSourceCreate(kCGEventSourceStatePrivate);
  std::optional<Child> keytap =
      spawnChild(argv[1], {"--no-prompt", "--extended-keys", "--mouse-buttons"}, "");
  const json ready = keytap ? next(*keytap) : json();
  if (ready["d"]["permission"] != "granted") {
    return withoutPermission(
        "keytap may not listen: grant Input Monitoring to the terminal app (System Settings > "
        "Privacy & Security > Input Monitoring).");
  }
  check("ready", {ready.dump()}, {R"({"d":{"available":true,"permission":"granted"},"t":"ready"})"});
  for (const char* text : {"Ctrl+Alt+Shift+J", "F5", "RightAlt", "Mouse4", "Shift+Mouse5"}) {
    sendText(*keytap, json{{"t", "register"}, {"d", {{"accelerator", text}}}}.dump() + "\n");
    check(std::string("register ") + text, {next(*keytap)["t"].get<std::string>()},
          {"registered"});
  }

  check("a hotkey with modifiers, its autorepeat ignored",
        said(
            *keytap,
            [] {
              key(keyJ, true, ctrl | alt | shift);
              key(keyJ, true, ctrl | alt | shift, true);
              key(keyJ, false, ctrl | alt | shift);
            },
            2),
        {R"(down:"Ctrl+Alt+Shift+J")", R"(up:"Ctrl+Alt+Shift+J")"});
  check("modifiers must be exactly the accelerator's",
        said(
            *keytap,
            [] {
              key(keyJ, true, ctrl | alt);
              key(keyJ, false, ctrl | alt);
              key(keyF5, true, shift);
              key(keyF5, false, shift);
            },
            0),
        {});
  check("a key alone",
        said(
            *keytap,
            [] {
              key(keyF5, true, 0);
              key(keyF5, false, 0);
            },
            2),
        {R"(down:"F5")", R"(up:"F5")"});
  check("Right Option held alone, then as a chord",
        said(
            *keytap,
            [] {
              modifier(rightOption, alt | 0x40);
              modifier(rightOption, 0);
              modifier(rightOption, alt | 0x40);
              key(keyF5, true, alt | 0x40);
              key(keyF5, false, alt | 0x40);
              modifier(rightOption, 0);
            },
            4),
        {R"(down:"RightAlt")", R"(up:"RightAlt" alone)", R"(down:"RightAlt")",
         R"(up:"RightAlt" chord)"});
  check("the side buttons, alone and with Shift",
        said(
            *keytap,
            [] {
              button(static_cast<CGMouseButton>(3), true, 0);
              button(static_cast<CGMouseButton>(3), false, 0);
              button(static_cast<CGMouseButton>(4), true, 0);
              button(static_cast<CGMouseButton>(4), false, 0);
              button(static_cast<CGMouseButton>(4), true, shift);
              button(static_cast<CGMouseButton>(4), false, shift);
            },
            4),
        {R"(down:"Mouse4")", R"(up:"Mouse4")", R"(down:"Shift+Mouse5")", R"(up:"Shift+Mouse5")"});
  closeInput(*keytap);
  check("end of input ends it with 0", {std::to_string(waitForExit(*keytap, timeoutMs).value_or(-1))},
        {"0"});

  std::optional<Child> doctor = spawnChild(argv[1], {"--doctor"}, "");
  const std::optional<std::string> first = doctor ? readLine(*doctor, timeoutMs) : std::nullopt;
  check("--doctor finds Input Monitoring granted",
        {first.value_or(""), std::to_string(doctor ? waitForExit(*doctor, timeoutMs).value_or(-1)
                                                   : -1)},
        {"Input Monitoring: Granted to the app that started keytap.", "0"});

  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
