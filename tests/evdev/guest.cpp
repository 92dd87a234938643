// Runs inside the test virtual machine: drives keytap (/bin/keytap) through
// its pipes against keyboards made with uinput, one scenario after another, and writes one JSON
// line per scenario to the file named on the command line (the second serial port):
// {"scenario": name, "ok": true|false, "detail": what went wrong}.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "guest_support.h"

namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr gid_t inputGroup = 101;
constexpr int leftControl = KEY_LEFTCTRL, rightControl = KEY_RIGHTCTRL, leftShift = KEY_LEFTSHIFT;

std::string joined(const std::vector<std::string>& messages) {
  std::string text;
  for (const std::string& message : messages) text += message + " ";
  return text.empty() ? "nothing" : text;
}

void expectSaid(Keytap& keytap, const std::vector<std::string>& expected) {
  const std::vector<std::string> messages = keytap.said();
  expect(messages == expected, "said " + joined(messages) + "instead of " + joined(expected));
}

// Types the combination until keytap reports it, for keyboards keytap is still finding.
void typeUntilHeard(Keytap& keytap, const Keyboard& keyboard, int code, const std::string& text) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    keyboard.press({code});
    keyboard.release({code});
    const std::vector<std::string> messages = keytap.said();
    if (!messages.empty()) {
      expect(messages == std::vector<std::string>{"down:\"" + text + "\"", "up:\"" + text + "\""},
             "said " + joined(messages));
      return;
    }
    std::this_thread::sleep_for(100ms);
  }
  throw Failure{"keytap never heard the keyboard " + keyboard.node};
}

// What udev does on a desktop: the node goes to the input group a moment after it appears.
void giveToInputGroup(const std::string& node) {
  std::this_thread::sleep_for(200ms);
  chown(node.c_str(), 0, inputGroup);
  chmod(node.c_str(), 0660);
}

const std::pair<const char*, std::function<void()>> scenarios[] = {
    {"a hotkey gives one down and one up",
     [] {
       Keyboard keyboard;
       Keytap keytap;
       keytap.expectReady("granted");
       keytap.registerText("Ctrl+Shift+K");
       keyboard.press({leftControl, leftShift, KEY_K});
       keyboard.release({KEY_K, leftShift, leftControl});
       expectSaid(keytap, {"down:\"Ctrl+Shift+K\"", "up:\"Ctrl+Shift+K\""});
     }},
    {"modifiers must match exactly, on either side",
     [] {
       Keyboard keyboard;
       Keytap keytap;
       keytap.expectReady("granted");
       keytap.registerText("Ctrl+K");
       keyboard.press({leftControl, leftShift, KEY_K});
       keyboard.release({KEY_K, leftShift, leftControl});
       keyboard.press({KEY_K});
       keyboard.release({KEY_K});
       keyboard.press({rightControl, KEY_K});
       keyboard.release({rightControl, KEY_K});
       expectSaid(keytap, {"down:\"Ctrl+K\"", "up:\"Ctrl+K\""});
     }},
    {"a held key that repeats gives one down",
     [] {
       Keyboard keyboard;
       Keytap keytap;
       keytap.expectReady("granted");
       keytap.registerText("F5");
       const int watch = open(keyboard.node.c_str(), O_RDONLY | O_NONBLOCK);
       keyboard.press({KEY_F5});
       // Repeats as a keyboard driver reports them (uinput devices get no software repeat).
       for (int repeat = 0; repeat < 10; ++repeat) {
         std::this_thread::sleep_for(30ms);
         keyboard.send(EV_KEY, KEY_F5, 2);
         keyboard.send(EV_SYN, SYN_REPORT, 0);
       }
       keyboard.release({KEY_F5});
       int repeats = 0;
       input_event event;
       while (read(watch, &event, sizeof event) == sizeof event) repeats += event.value == 2;
       close(watch);
       expect(repeats >= 3, "the kernel passed on only " + std::to_string(repeats) + " repeats");
       expectSaid(keytap, {"down:\"F5\"", "up:\"F5\""});
     }},
    {"with --extended-keys: Right Alt held alone, Fn, the keypad",
     [] {
       Keyboard keyboard;
       Keytap keytap({"--extended-keys"});
       keytap.expectReady("granted");
       for (const char* text : {"RightAlt", "Fn", "Numpad7", "Home"}) keytap.registerText(text);
       keyboard.press({KEY_RIGHTALT, KEY_W});
       keyboard.release({KEY_W, KEY_RIGHTALT});
       keyboard.press({KEY_FN});
       keyboard.release({KEY_FN});
       keyboard.press({KEY_KP7, KEY_HOME});
       keyboard.release({KEY_HOME, KEY_KP7});
       expectSaid(keytap, {"down:\"RightAlt\"", "up:\"RightAlt\"", "down:\"Fn\"", "up:\"Fn\"",
                           "down:\"Numpad7\"", "down:\"Home\"", "up:\"Home\"", "up:\"Numpad7\""});
     }},
    {"with --capture: a chord recorded, labelled with the US names, Control told on the way",
     [] {
       Keyboard keyboard;
       Keytap keytap({"--capture"});
       keytap.expectReady("granted");
       keytap.send("capture", "");  // the accelerator, which capture takes no notice of
       expect(keytap.next()["t"] == "capturing", "no capturing");
       keyboard.press({KEY_LEFTCTRL, KEY_K});
       keyboard.release({KEY_K, KEY_LEFTCTRL});
       const json held = keytap.next();
       expect(held == json{{"t", "capture_held"},
                           {"d", {{"accelerator", "Control"}, {"label", "Ctrl"}}}},
              "capture_held " + held.dump());
       const json captured = keytap.next();
       expect(captured["d"] == json{{"accelerator", "Control+K"}, {"label", "Ctrl+K"}},
              "captured " + captured.dump());
     }},
    {"with --capture: a button ends it twice, in a batch with a key, then fires when registered",
     [] {
       Keyboard keyboard;
       Mouse mouse;
       Keytap keytap({"--capture", "--mouse-buttons", "--extended-keys"});
       keytap.expectReady("granted");
       for (int round = 0; round < 2; ++round) {
         keytap.send("capture", "");
         expect(keytap.next()["t"] == "capturing", "no capturing");
         // One batch: the capture ends, and the mice close, while the batch is delivered.
         keytap.stop();
         mouse.click(BTN_SIDE);
         keyboard.press({KEY_K});
         keyboard.release({KEY_K});
         kill(keytap.pid, SIGCONT);
         const json captured = keytap.next();
         expect(captured["d"]["accelerator"] == "MouseBack", "captured " + captured.dump());
       }
       keytap.registerText("MouseBack");
       mouse.click(BTN_SIDE);
       expectSaid(keytap, {"down:\"MouseBack\"", "up:\"MouseBack\""});
     }},
    {"devices with a few keys are read too: a macro pad, a pedal; a power button is not",
     [] {
       const Device pad("macro pad", {KEY_F13, KEY_KP1});
       const Device pedal("pedal", {KEY_B, KEY_LEFTCTRL});
       const Device power("power button", {KEY_POWER});
       Keytap keytap({"--extended-keys"});
       keytap.expectReady("granted");
       for (const char* text : {"F13", "Numpad1", "Ctrl+B"}) keytap.registerText(text);
       expect(!keytap.holdsOpen(power.node), "the power button was opened");
       pad.press({KEY_F13});
       pad.release({KEY_F13});
       pad.press({KEY_KP1});
       pad.release({KEY_KP1});
       pedal.press({KEY_LEFTCTRL, KEY_B});
       pedal.release({KEY_B, KEY_LEFTCTRL});
       expectSaid(keytap, {"down:\"F13\"", "up:\"F13\"", "down:\"Numpad1\"", "up:\"Numpad1\"",
                           "down:\"Ctrl+B\"", "up:\"Ctrl+B\""});
     }},
    {"with --mouse-buttons: a mouse is read while a button is registered, never for its motion",
     [] {
       Keyboard keyboard;
       Mouse mouse;
       Keytap keytap({"--mouse-buttons", "--extended-keys"});
       keytap.expectReady("granted");
       keytap.registerText("RightAlt");
       expect(!keytap.holdsOpen(mouse.node), "the mouse was opened before a button was registered");
       for (const char* text : {"Mouse4", "MouseMiddle", "Ctrl+Mouse5"}) keytap.registerText(text);
       expect(keytap.holdsOpen(mouse.node), "the mouse was not opened");
       mouse.click(BTN_SIDE);
       mouse.click(BTN_MIDDLE);
       mouse.click(BTN_EXTRA);  // without Control
       keyboard.press({leftControl});
       mouse.click(BTN_EXTRA);
       keyboard.release({leftControl});
       mouse.click(BTN_LEFT);
       keyboard.press({KEY_RIGHTALT});
       mouse.click(BTN_RIGHT);
       keyboard.release({KEY_RIGHTALT});
       expectSaid(keytap, {"down:\"Mouse4\"", "up:\"Mouse4\"", "down:\"MouseMiddle\"",
                           "up:\"MouseMiddle\"", "down:\"Ctrl+Mouse5\"", "up:\"Ctrl+Mouse5\"",
                           "down:\"RightAlt\"", "up:\"RightAlt\""});
       // What waits on two devices at once is matched in the order it happened.
       keytap.stop();
       keyboard.press({leftControl});
       mouse.click(BTN_EXTRA);
       keyboard.release({leftControl});
       kill(keytap.pid, SIGCONT);
       expectSaid(keytap, {"down:\"Ctrl+Mouse5\"", "up:\"Ctrl+Mouse5\""});
       std::this_thread::sleep_for(200ms);  // keytap back in its wait after the last reply
       const long before = keytap.wakeUps();
       for (int report = 0; report < 2000; ++report) mouse.move(report % 2 ? 4 : -4, 1);
       std::this_thread::sleep_for(200ms);
       const long woken = keytap.wakeUps() - before;
       expect(woken == 0, "2000 motion reports woke keytap " + std::to_string(woken) + " times");
       for (const char* text : {"Mouse4", "MouseMiddle", "Ctrl+Mouse5"}) {
         keytap.send("unregister", text);
         keytap.next();
       }
       expect(!keytap.holdsOpen(mouse.node), "the mouse stayed open without a button registered");
     }},
    {"a button that two nodes of one mouse report gives one down",
     [] {
       Keyboard keyboard;
       Mouse first, second;
       Keytap keytap({"--mouse-buttons", "--release-stale-holds"});
       keytap.expectReady("granted");
       keytap.registerText("Mouse4");
       first.key(BTN_SIDE, true);
       second.key(BTN_SIDE, true);
       std::this_thread::sleep_for(100ms);  // held, as a finger holds it
       first.key(BTN_SIDE, false);
       second.key(BTN_SIDE, false);
       expectSaid(keytap, {"down:\"Mouse4\"", "up:\"Mouse4\""});
     }},
    {"a keyboard plugged in later is followed",
     [] {
       Keyboard first;
       Keytap keytap;
       keytap.expectReady("granted");
       keytap.registerText("F6");
       Keyboard later;
       typeUntilHeard(keytap, later, KEY_F6, "F6");
     }},
    {"a user in the input group gets each keyboard once udev hands it over",
     [] {
       Keyboard first;
       giveToInputGroup(first.node);
       Keytap keytap({}, 1000, {inputGroup});
       keytap.expectReady("granted");
       keytap.registerText("F6");
       Keyboard later;
       giveToInputGroup(later.node);
       typeUntilHeard(keytap, later, KEY_F6, "F6");
     }},
    {"a user outside the input group is denied",
     [] {
       Keyboard keyboard;
       giveToInputGroup(keyboard.node);
       Keytap keytap({}, 1001, {});
       keytap.expectReady("denied");
       keytap.send("register", "F6");
       const json reply = keytap.next();
       expect(reply["t"] == "error" && reply["d"]["code"] == "forbidden", reply.dump());
     }},
    {"unplugging the last keyboard while a key is held: the hold ends, keytap answers, says it "
     "stopped listening and comes back by itself",
     [] {
       std::optional<Keyboard> keyboard(std::in_place);
       Keytap keytap({"--release-stale-holds", "--status"});
       keytap.expectReady("granted");
       keytap.registerText("F7");
       keyboard->press({KEY_F7});
       expectSaid(keytap, {"down:\"F7\""});
       // The kernel releases the keys held on a keyboard that goes away.
       keyboard.reset();
       expectSaid(keytap, {"up:\"F7\"", "status:{\"listening\":false,\"reason\":\"no keyboard\"}"});
       Keyboard next;
       const json back = keytap.next(5000);
       expect(back["t"] == "status" && back["d"]["listening"] == true, "then " + back.dump());
       typeUntilHeard(keytap, next, KEY_F7, "F7");
     }},
    {"typing without a registration says nothing; end of input ends it with 0",
     [] {
       Keyboard keyboard;
       Keytap keytap;
       keytap.expectReady("granted");
       keyboard.press({leftShift, KEY_K, KEY_SPACE});
       keyboard.release({KEY_SPACE, KEY_K, leftShift});
       expectSaid(keytap, {});
       close(keytap.input);
       keytap.input = -1;
       int status = -1;
       for (int waited = 0; waited < 200 && waitpid(keytap.pid, &status, WNOHANG) == 0; ++waited) {
         std::this_thread::sleep_for(10ms);
       }
       expect(WIFEXITED(status) && WEXITSTATUS(status) == 0, "did not exit with 0 within 2 s");
       keytap.pid = -1;
     }},
};

}  // namespace

int main(int argc, char** argv) {
  FILE* results = std::fopen(argc > 1 ? argv[1] : "/dev/stdout", "w");
  if (!results) return 1;
  for (const auto& [name, run] : scenarios) {
    json result{{"scenario", name}, {"ok", true}};
    const auto start = std::chrono::steady_clock::now();
    try {
      run();
    } catch (const Failure& failure) {
      result["ok"] = false;
      result["detail"] = failure.detail;
    }
    result["ms"] = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - start)
                       .count();
    std::fprintf(results, "%s\n", result.dump().c_str());
    std::fflush(results);
  }
  return 0;
}
