// What the scenarios of the test virtual machine work with: keyboards and mice made with uinput,
// and the keytap under test driven through its pipes.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <linux/uinput.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

// A scenario that fails throws its reason.
struct Failure {
  std::string detail;
};

void expect(bool condition, const std::string& detail) {
  if (!condition) throw Failure{detail};
}

// A keyboard or a mouse made with uinput; it goes away with the object.
struct Device {
  enum class Kind { keyboard, mouse };

  explicit Device(Kind kind) {
    start();
    if (kind == Kind::keyboard) {
      for (int code = 1; code < 256; ++code) ioctl(descriptor, UI_SET_KEYBIT, code);
      ioctl(descriptor, UI_SET_KEYBIT, KEY_FN);
    } else {
      for (int code = BTN_LEFT; code <= BTN_EXTRA; ++code) ioctl(descriptor, UI_SET_KEYBIT, code);
      ioctl(descriptor, UI_SET_EVBIT, EV_REL);
      ioctl(descriptor, UI_SET_RELBIT, REL_X);
      ioctl(descriptor, UI_SET_RELBIT, REL_Y);
    }
    create(kind == Kind::keyboard ? "keyboard" : "mouse");
  }
  // A device that reports only these keys: a macro pad, a pedal, a power button.
  Device(const char* label, std::initializer_list<int> keys) {
    start();
    for (int code : keys) ioctl(descriptor, UI_SET_KEYBIT, code);
    create(label);
  }
  void start() {
    descriptor = open("/dev/uinput", O_WRONLY | O_CLOEXEC);
    expect(descriptor >= 0, "cannot open /dev/uinput");
    ioctl(descriptor, UI_SET_EVBIT, EV_KEY);
  }
  void create(const char* label) {
    uinput_setup setup{};
    setup.id.bustype = BUS_USB;
    std::snprintf(setup.name, sizeof setup.name, "keytap test %s", label);
    ioctl(descriptor, UI_DEV_SETUP, &setup);
    expect(ioctl(descriptor, UI_DEV_CREATE) == 0, "UI_DEV_CREATE failed");
    char sysname[64] = {};
    ioctl(descriptor, UI_GET_SYSNAME(sizeof sysname), sysname);
    node = findNode(sysname);
  }
  ~Device() {
    ioctl(descriptor, UI_DEV_DESTROY);
    close(descriptor);
  }

  // The /dev/input/eventN of the device, once devtmpfs has made it.
  static std::string findNode(const std::string& sysname) {
    for (int attempt = 0; attempt < 200; ++attempt) {
      for (int number = 0; number < 64; ++number) {
        const std::string name = "event" + std::to_string(number);
        struct stat info;
        if (stat(("/sys/devices/virtual/input/" + sysname + "/" + name).c_str(), &info) == 0 &&
            stat(("/dev/input/" + name).c_str(), &info) == 0) {
          return "/dev/input/" + name;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw Failure{"no device node for " + sysname};
  }

  void send(int type, int code, int value) const {
    input_event event{};
    event.type = static_cast<uint16_t>(type);
    event.code = static_cast<uint16_t>(code);
    event.value = value;
    expect(write(descriptor, &event, sizeof event) == sizeof event, "uinput write failed");
  }
  void key(int code, bool down) const {
    send(EV_KEY, code, down ? 1 : 0);
    send(EV_SYN, SYN_REPORT, 0);
  }
  void press(std::initializer_list<int> codes) const {
    for (int code : codes) key(code, true);
  }
  void release(std::initializer_list<int> codes) const {
    for (int code : codes) key(code, false);
  }
  void click(int button) const {
    key(button, true);
    key(button, false);
  }
  void move(int dx, int dy) const {
    send(EV_REL, REL_X, dx);
    send(EV_REL, REL_Y, dy);
    send(EV_SYN, SYN_REPORT, 0);
  }

  int descriptor;
  std::string node;
};

struct Keyboard : Device {
  Keyboard() : Device(Kind::keyboard) {}
};

struct Mouse : Device {
  Mouse() : Device(Kind::mouse) {}
};

// The keytap under test, started by root or as another user.
struct Keytap {
  explicit Keytap(std::vector<std::string> args = {}, uid_t uid = 0,
                  std::vector<gid_t> groups = {}) {
    int in[2], out[2];
    expect(pipe2(in, O_CLOEXEC) == 0 && pipe2(out, O_CLOEXEC) == 0, "pipe failed");
    pid = fork();
    if (pid == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      if (uid != 0) {
        setgroups(groups.size(), groups.data());
        if (setgid(uid) != 0 || setuid(uid) != 0) _exit(126);
      }
      std::vector<char*> argv{const_cast<char*>("/bin/keytap")};
      for (std::string& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    input = in[1];
    output = out[0];
  }
  ~Keytap() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (input >= 0) close(input);
    close(output);
  }

  nlohmann::json next(int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (const size_t end = buffered.find('\n'); end != std::string::npos) {
        const nlohmann::json message =
            nlohmann::json::parse(buffered.substr(0, end), nullptr, false);
        buffered.erase(0, end + 1);
        return message;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd ready{output, POLLIN, 0};
      if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0)
        return nlohmann::json();
      char chunk[4096];
      const ssize_t got = read(output, chunk, sizeof chunk);
      if (got <= 0) return nlohmann::json();
      buffered.append(chunk, static_cast<size_t>(got));
    }
  }

  void send(const std::string& word, const std::string& text) {
    const std::string line =
        nlohmann::json{{"t", word}, {"d", {{"accelerator", text}}}}.dump() + "\n";
    expect(write(input, line.data(), line.size()) == static_cast<ssize_t>(line.size()),
           "write to keytap failed");
  }

  void expectReady(const std::string& permission) {
    const nlohmann::json ready = next();
    expect(ready["t"] == "ready" && ready["d"]["permission"] == permission,
           "ready was " + ready.dump() + ", not " + permission);
  }

  void registerText(const std::string& text) {
    send("register", text);
    const nlohmann::json reply = next();
    expect(reply["t"] == "registered", "register " + text + ": " + reply.dump());
  }

  // Everything said until the reply to a marker, as "down:text", "up:text", "status:...".
  std::vector<std::string> said() {
    send("unregister", "marker");
    std::vector<std::string> messages;
    for (nlohmann::json message = next(); message["t"] != "unregistered"; message = next()) {
      expect(!message.is_null(), "no reply to the marker");
      const nlohmann::json& d = message["d"];
      messages.push_back(message["t"].get<std::string>() + ":" +
                         (d.contains("accelerator") ? d["accelerator"].dump() : d.dump()));
    }
    return messages;
  }

  // Stops keytap and waits until it is stopped: what comes meanwhile waits for it all at once.
  void stop() const {
    kill(pid, SIGSTOP);
    const std::string stat = "/proc/" + std::to_string(pid) + "/stat";
    for (int attempt = 0; attempt < 500; ++attempt) {
      char text[512] = {};
      FILE* file = std::fopen(stat.c_str(), "r");
      if (file) {
        std::fread(text, 1, sizeof text - 1, file);
        std::fclose(file);
      }
      const char* state = std::strrchr(text, ')');
      if (state && state[1] == ' ' && state[2] == 'T') return;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    throw Failure{"keytap did not stop"};
  }

  // Whether keytap has the device node open now.
  bool holdsOpen(const std::string& node) const {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd/";
    for (int fd = 0; fd < 256; ++fd) {
      char target[256] = {};
      if (readlink((fds + std::to_string(fd)).c_str(), target, sizeof target - 1) > 0 &&
          node == target) {
        return true;
      }
    }
    return false;
  }

  // The context switches of all of keytap's threads so far: each one is a wake-up.
  long wakeUps() const {
    long total = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task/";
    for (int tid = pid; tid < pid + 16; ++tid) {
      FILE* status = std::fopen((tasks + std::to_string(tid) + "/status").c_str(), "r");
      if (!status) continue;
      char line[256];
      long count = 0;
      while (std::fgets(line, sizeof line, status)) {
        if (std::sscanf(line, "voluntary_ctxt_switches: %ld", &count) == 1) total += count;
        if (std::sscanf(line, "nonvoluntary_ctxt_switches: %ld", &count) == 1) total += count;
      }
      std::fclose(status);
    }
    return total;
  }

  pid_t pid = -1;
  int input = -1;
  int output = -1;
  std::string buffered;
};
