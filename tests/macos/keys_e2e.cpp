// keytap_macos_e2e KEYTAP: the real keytap on this Mac's login session, hearing events that this
// program posts with CGEventPost: keys with and without modifiers, an autorepeat, in the default
// mode and with --release-stale-holds; a modifier held alone and by side (--extended-keys), mouse
// buttons (--mouse-buttons); then --doctor. Prints one line per case and "N passed, M failed".
// Exits 77 (skipped) with one line naming the setting when this session may not post events or
// keytap may not listen, unless KEYTAP_REQUIRE_PERMISSIONS is set (CI): then that is a failure,
// and what macOS logged of the permission check, which names the process it held responsible.
#include <CoreGraphics/CoreGraphics.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/process.h"

namespace {

using nlohmann::json;
using Said = std::vector<std::string>;

constexpr int timeoutMs = 5000;
constexpr CGKeyCode keyJ = 38, keyF5 = 96, keyF6 = 97, rightOption = 61;
constexpr CGEventFlags ctrl = kCGEventFlagMaskControl, alt = kCGEventFlagMaskAlternate,
                       shift = kCGEventFlagMaskShift;
// The accelerator every case ends with: its "up" is the last message the case's events make.
constexpr const char* endMark = "F6";

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
  // Said outright: the button field is what keytap reads.
  CGEventSetIntegerValueField(event, kCGMouseEventButtonNumber, number);
  CGEventSetFlags(event, flags);
  post(event);
}

json next(Child& keytap) {
  const std::optional<std::string> line = readLine(keytap, timeoutMs);
  return line ? json::parse(*line, nullptr, false) : json();
}

// "down:"TEXT"" for a key message, with " alone" or " chord" where it says; any other line as
// it came.
std::string describe(const json& message) {
  if (!message.is_object() || !message.contains("t") || !message.contains("d") ||
      !message["d"].is_object() || !message["d"].contains("accelerator")) {
    return message.dump();
  }
  const json& payload = message["d"];
  std::string text = message["t"].dump() + ":" + payload["accelerator"].dump();
  if (payload.contains("alone")) text += payload["alone"] == true ? " alone" : " chord";
  return text;
}

// What keytap says about the events posted by `act`. Posted events reach the tap through the
// window server, after any line, so the case ends with a tap of F6, and everything keytap says
// before F6's "up" is the case's.
Said said(Child& keytap, const std::function<void()>& act) {
  act();
  key(keyF6, true, 0);
  key(keyF6, false, 0);
  const std::string last = describe(json{{"t", "up"}, {"d", {{"accelerator", endMark}}}});
  const std::string first = describe(json{{"t", "down"}, {"d", {{"accelerator", endMark}}}});
  Said messages;
  for (json message = next(keytap); !message.is_null(); message = next(keytap)) {
    const std::string text = describe(message);
    if (text == last) return messages;
    if (text != first) messages.push_back(text);
  }
  messages.push_back("(no end mark)");
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

// What macOS logged of its permission checks lately, which names the responsible process.
void printPermissionLog() {
  FILE* log = popen(
      "/usr/bin/log show --last 10m --style compact --predicate "
      "'subsystem == \"com.apple.TCC\" AND (eventMessage CONTAINS[c] \"responsible\" OR "
      "eventMessage CONTAINS[c] \"AttributionChain\")' 2>&1 | tail -n 40",
      "r");
  if (!log) return;
  std::printf("What macOS logged of its permission checks (TCC):\n");
  char line[1024];
  while (std::fgets(line, sizeof line, log)) std::fputs(line, stdout);
  pclose(log);
}

// One line that says what to grant, then skipped, or failed where permissions are required.
int withoutPermission(const char* what) {
  std::printf("%s\n", what);
  if (std::getenv("KEYTAP_REQUIRE_PERMISSIONS")) {
    printPermissionLog();
    std::printf("0 passed, 1 failed\n");
    return 1;
  }
  std::printf("skipped: 0 passed, 0 failed\n");
  return 77;
}

// keytap with the arguments, its accelerators registered; nothing when it may not listen.
std::optional<Child> startKeytap(const char* binary, const std::vector<std::string>& args,
                                 std::vector<std::string> accelerators, const std::string& mode) {
  std::optional<Child> keytap = spawnChild(binary, args, "");
  const json ready = keytap ? next(*keytap) : json();
  const bool granted = ready.is_object() && ready.contains("d") && ready["d"].is_object() &&
                       ready["d"].value("permission", "") == "granted";
  if (!granted) return std::nullopt;
  accelerators.push_back(endMark);
  for (const std::string& text : accelerators) {
    sendText(*keytap, json{{"t", "register"}, {"d", {{"accelerator", text}}}}.dump() + "\n");
    check(mode + ": register " + text, {describe(next(*keytap))},
          {describe(json{{"t", "registered"}, {"d", {{"accelerator", text}}}})});
  }
  return keytap;
}

// The cases of keys with modifiers, in any mode.
void checkHotkeys(Child& keytap, const std::string& mode) {
  check(mode + ": a hotkey with modifiers, its autorepeat ignored",
        said(keytap,
             [] {
               key(keyJ, true, ctrl | alt | shift);
               key(keyJ, true, ctrl | alt | shift, true);
               key(keyJ, false, ctrl | alt | shift);
             }),
        {R"("down":"Ctrl+Alt+Shift+J")", R"("up":"Ctrl+Alt+Shift+J")"});
  check(mode + ": modifiers must be exactly the accelerator's",
        said(keytap,
             [] {
               key(keyJ, true, ctrl | alt);
               key(keyJ, false, ctrl | alt);
               key(keyF5, true, shift);
               key(keyF5, false, shift);
             }),
        {});
  check(mode + ": a key alone",
        said(keytap,
             [] {
               key(keyF5, true, 0);
               key(keyF5, false, 0);
             }),
        {R"("down":"F5")", R"("up":"F5")"});
}

void endInput(Child& keytap, const std::string& mode) {
  closeInput(keytap);
  check(mode + ": end of input ends it with 0",
        {std::to_string(waitForExit(keytap, timeoutMs).value_or(-1))}, {"0"});
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
  const char* binary = argv[1];

  for (const char* mode : {"default", "--release-stale-holds"}) {
    std::vector<std::string> args{"--no-prompt"};
    if (std::string(mode) != "default") args.push_back(mode);
    std::optional<Child> keytap = startKeytap(binary, args, {"Ctrl+Alt+Shift+J", "F5"}, mode);
    if (!keytap) {
      return withoutPermission(
          "keytap may not listen: grant Input Monitoring to the terminal app (System Settings > "
          "Privacy & Security > Input Monitoring).");
    }
    checkHotkeys(*keytap, mode);
    endInput(*keytap, mode);
  }

  const std::string mode = "--extended-keys --mouse-buttons";
  std::optional<Child> keytap =
      startKeytap(binary, {"--no-prompt", "--extended-keys", "--mouse-buttons"},
                  {"Ctrl+Alt+Shift+J", "F5", "RightAlt", "Mouse4", "Shift+Mouse5"}, mode);
  if (!keytap) return withoutPermission("keytap may not listen with --extended-keys.");
  checkHotkeys(*keytap, mode);
  check(mode + ": Right Option held alone, then as a chord",
        said(*keytap,
             [] {
               modifier(rightOption, alt | 0x40);
               modifier(rightOption, 0);
               modifier(rightOption, alt | 0x40);
               key(keyF5, true, alt | 0x40);
               key(keyF5, false, alt | 0x40);
               modifier(rightOption, 0);
             }),
        {R"("down":"RightAlt")", R"("up":"RightAlt" alone)", R"("down":"RightAlt")",
         R"("up":"RightAlt" chord)"});
  check(mode + ": the side buttons, alone and with Shift",
        said(*keytap,
             [] {
               button(static_cast<CGMouseButton>(3), true, 0);
               button(static_cast<CGMouseButton>(3), false, 0);
               button(static_cast<CGMouseButton>(4), true, 0);
               button(static_cast<CGMouseButton>(4), false, 0);
               button(static_cast<CGMouseButton>(4), true, shift);
               button(static_cast<CGMouseButton>(4), false, shift);
             }),
        {R"("down":"Mouse4")", R"("up":"Mouse4")", R"("down":"Shift+Mouse5")",
         R"("up":"Shift+Mouse5")"});
  endInput(*keytap, mode);

  std::optional<Child> doctor = spawnChild(binary, {"--doctor"}, "");
  const std::optional<std::string> first = doctor ? readLine(*doctor, timeoutMs) : std::nullopt;
  check("--doctor finds Input Monitoring granted",
        {first.value_or(""),
         std::to_string(doctor ? waitForExit(*doctor, timeoutMs).value_or(-1) : -1)},
        {"Input Monitoring: Granted to the app that started keytap.", "0"});

  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
