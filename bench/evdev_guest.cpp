// Runs inside the evdev test virtual machine for make bench: the time from a key written to a
// uinput keyboard, and from a side button written to a uinput mouse, to keytap's "down" or "up",
// beside the same for a bare evdev reader, the floor, in the same boot; and how often keytap
// wakes while the mouse moves. Writes one JSON line to the file named on the command line:
// {"keys": {"keytap": {"down": [ms...], "up": [...]}, "floor": {...}}, "buttons": {...},
// "motionWakeUps": n}, or {"error": why}.
#include <linux/input.h>

#include <cstdio>
#include <optional>

#include "evdev/guest_support.h"
#include "wall_clock.h"

namespace {

using nlohmann::json;

constexpr int rounds = 4, samples = 75, warmUp = 10;

// The floor: a process that reads the device and writes "down|up <ms>" for each key at once.
struct BareReader {
  explicit BareReader(const std::string& node) {
    int lines[2];
    expect(pipe2(lines, O_CLOEXEC) == 0, "pipe failed");
    pid = fork();
    if (pid == 0) {
      const int device = open(node.c_str(), O_RDONLY | O_CLOEXEC);
      if (device < 0 || write(lines[1], "ready 0\n", 8) != 8) _exit(1);
      input_event event;
      while (read(device, &event, sizeof event) == sizeof event) {
        if (event.type != EV_KEY || event.value == 2) continue;
        char line[64];
        const int length = std::snprintf(line, sizeof line, "%s %.3f\n",
                                         event.value ? "down" : "up", wallClockMs());
        if (write(lines[1], line, static_cast<size_t>(length)) != length) break;
      }
      _exit(0);
    }
    close(lines[1]);
    output = lines[0];
    next();  // "ready": the device is open
  }
  ~BareReader() {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    close(output);
  }
  // The stamp of the next line.
  double next() {
    std::string line;
    char byte;
    pollfd ready{output, POLLIN, 0};
    while (poll(&ready, 1, 5000) > 0 && read(output, &byte, 1) == 1 && byte != '\n') {
      line += byte;
    }
    expect(!line.empty(), "the bare reader said nothing");
    return std::strtod(line.c_str() + line.rfind(' ') + 1, nullptr);
  }
  pid_t pid;
  int output;
};

// keytap and the floor in turns, each alone on the keyboard: with one processor, the one the
// kernel wakes first is the other's head start.
json measure(const Device& device, int code, const std::string& text,
             const std::vector<std::string>& args) {
  json result{{"keytap", {{"down", json::array()}, {"up", json::array()}}},
              {"floor", {{"down", json::array()}, {"up", json::array()}}}};
  for (int round = 0; round < rounds; ++round) {
    for (const bool isKeytap : {true, false}) {
      std::optional<Keytap> keytap;
      std::optional<BareReader> floor;
      if (isKeytap) {
        keytap.emplace(args);
        keytap->expectReady("granted");
        keytap->registerText(text);
      } else {
        floor.emplace(device.node);
      }
      for (int i = 0; i < samples + warmUp; ++i) {
        for (const bool down : {true, false}) {
          const double start = wallClockMs();
          device.key(code, down);
          double stamp = 0;
          if (isKeytap) {
            const json message = keytap->next();
            expect(message["t"] == (down ? "down" : "up"), "keytap said " + message.dump());
            stamp = message["d"]["at"].get<double>();
          } else {
            stamp = floor->next();
          }
          if (i >= warmUp) {
            result[isKeytap ? "keytap" : "floor"][down ? "down" : "up"].push_back(stamp - start);
          }
        }
      }
    }
  }
  return result;
}

// keytap's wake-ups while the mouse moves, with a button registered: the kernel's filter should
// keep every one of these reports from it.
long motionWakeUps(const Mouse& mouse) {
  Keytap keytap({"--mouse-buttons"});
  keytap.expectReady("granted");
  keytap.registerText("Mouse4");
  // keytap back in its wait after the reply.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const long before = keytap.wakeUps();
  for (int report = 0; report < 10000; ++report) mouse.move(report % 2 ? 2 : -2, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  return keytap.wakeUps() - before;
}

}  // namespace

int main(int argc, char** argv) {
  FILE* results = std::fopen(argc > 1 ? argv[1] : "/dev/stdout", "w");
  if (!results) return 1;
  json result;
  try {
    const Keyboard keyboard;
    const Mouse mouse;
    result = {{"keys", measure(keyboard, KEY_F5, "F5", {})},
              {"buttons", measure(mouse, BTN_SIDE, "Mouse4", {"--mouse-buttons"})},
              {"motionWakeUps", motionWakeUps(mouse)}};
  } catch (const Failure& failure) {
    result = {{"error", failure.detail}};
  }
  std::fprintf(results, "%s\n", result.dump().c_str());
  std::fclose(results);
  return 0;
}
