// Linux evdev backend: every keyboard under /dev/input, read as the kernel reports it, so keys
// are heard in any session (Wayland, X11, a console). Reading the devices needs read access to
// them (the input group, or a udev rule): that is this platform's listen permission. Devices are
// only read, never grabbed, and keyboards that come and go are followed through inotify.
#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/state.h"
#include "platform/key_positions.h"
#include "platform/linux_backends.h"

namespace evdev {
namespace {

struct Keyboard {
  int descriptor;
  std::string name;  // "event3"
  KeysDown down;
};

struct EvdevTap : Tap {
  int watch;  // inotify on /dev/input
  std::vector<Keyboard> keyboards;
};

// The open tap; only this backend opens one in a process that chose it.
EvdevTap* opened() {
  return static_cast<EvdevTap*>(tap);
}

constexpr const char* inputDirectory = "/dev/input/";
constexpr size_t bitsPerLong = CHAR_BIT * sizeof(long);

bool hasBit(const unsigned long* bits, unsigned bit) {
  return (bits[bit / bitsPerLong] >> (bit % bitsPerLong)) & 1;
}

// The kernel's own record of the device's keys, so that keys held when it was opened count.
void readKeysDown(Keyboard& keyboard) {
  unsigned long state[KEY_MAX / bitsPerLong + 1] = {};
  if (ioctl(keyboard.descriptor, EVIOCGKEY(sizeof state), state) < 0) return;
  for (unsigned code = 0; code < keyboard.down.size(); ++code) {
    keyboard.down[code] = hasBit(state, code);
  }
}

// A device with letter keys and a space bar is a keyboard; mice, power buttons and lid switches
// have none.
std::optional<Keyboard> openKeyboard(const std::string& name) {
  if (!name.starts_with("event")) return std::nullopt;
  const int descriptor = open((inputDirectory + name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) return std::nullopt;
  unsigned long keys[KEY_MAX / bitsPerLong + 1] = {};
  if (ioctl(descriptor, EVIOCGBIT(EV_KEY, sizeof keys), keys) < 0 || !hasBit(keys, KEY_A) ||
      !hasBit(keys, KEY_Z) || !hasBit(keys, KEY_SPACE)) {
    close(descriptor);
    return std::nullopt;
  }
  Keyboard keyboard{descriptor, name, {}};
  readKeysDown(keyboard);
  return keyboard;
}

// Adds every keyboard under /dev/input that is not open yet and can be read.
void openKeyboards(std::vector<Keyboard>& keyboards) {
  DIR* directory = opendir(inputDirectory);
  if (!directory) return;
  while (const dirent* entry = readdir(directory)) {
    const auto open = [&](const Keyboard& keyboard) { return keyboard.name == entry->d_name; };
    if (std::any_of(keyboards.begin(), keyboards.end(), open)) continue;
    if (std::optional<Keyboard> keyboard = openKeyboard(entry->d_name)) {
      keyboards.push_back(std::move(*keyboard));
    }
  }
  closedir(directory);
}

// The keys down on all keyboards together: a modifier on one counts for a key on another.
KeysDown allKeysDown(const EvdevTap& listener) {
  KeysDown down;
  for (const Keyboard& keyboard : listener.keyboards) down |= keyboard.down;
  return down;
}

// The keyboards that answered the permission check, kept for the tap.
std::vector<Keyboard> checkedKeyboards;

// A keyboard that went away is forgotten, and with the last one the tap: the next register (or
// the retry of --status) looks for keyboards again.
void removeKeyboard(const std::string& name) {
  const auto gone = std::find_if(opened()->keyboards.begin(), opened()->keyboards.end(),
                                 [&](const Keyboard& keyboard) { return keyboard.name == name; });
  if (gone == opened()->keyboards.end()) return;
  close(gone->descriptor);
  opened()->keyboards.erase(gone);
  const TapCallback notify = opened()->callback;
  if (!opened()->keyboards.empty()) {
    notify(keyboardRemoved, nullptr);
    return;
  }
  if (opened()->watch >= 0) close(opened()->watch);
  delete opened();
  tap = nullptr;
  notify(keyboardsGone, nullptr);
}

void readKeyboard(Keyboard& keyboard) {
  input_event events[64];
  const ssize_t got = read(keyboard.descriptor, events, sizeof events);
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
  // ENODEV, or no more to read at all: the keyboard is gone.
  if (got <= 0) return removeKeyboard(keyboard.name);
  const TapCallback deliver = opened()->callback;
  for (const input_event& event : std::span(events, static_cast<size_t>(got) / sizeof *events)) {
    if (event.type == EV_SYN && event.code == SYN_DROPPED) {
      // The kernel's buffer overflowed and events were lost: ask it what is down now.
      readKeysDown(keyboard);
    } else if (event.type == EV_KEY) {
      // Value 2 is the kernel's autorepeat: a press of a key already down, as trackKey sees it.
      const bool press = event.value != 0;
      std::optional<Event> key = trackKey(keyboard.down, event.code, press, options.extendedKeys);
      if (!key) continue;
      key->flags = modifierFlags(allKeysDown(*opened()));
      deliver(press ? keyDownEvent : keyUpEvent, &*key);
    }
  }
}

// A device node appears before udev gives it to the input group: every change of its
// attributes is another chance to open it.
void readDirectoryChanges() {
  alignas(inotify_event) char buffer[4096];
  const ssize_t got = read(opened()->watch, buffer, sizeof buffer);
  for (ssize_t at = 0; at < got && tap;) {
    const auto* change = reinterpret_cast<const inotify_event*>(buffer + at);
    at += static_cast<ssize_t>(sizeof *change + change->len);
    const std::string name = change->len ? change->name : "";
    if (change->mask & IN_DELETE) {
      removeKeyboard(name);
    } else if (std::none_of(opened()->keyboards.begin(), opened()->keyboards.end(),
                            [&](const Keyboard& keyboard) { return keyboard.name == name; })) {
      if (std::optional<Keyboard> keyboard = openKeyboard(name)) {
        opened()->keyboards.push_back(std::move(*keyboard));
      }
    }
  }
}

}  // namespace

bool preflightListenAccess() {
  if (checkedKeyboards.empty()) openKeyboards(checkedKeyboards);
  return !checkedKeyboards.empty();
}

Tap* openTap(TapCallback onEvent) {
  // Watching starts before the scan, so that no keyboard can arrive unseen in between.
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch >= 0) inotify_add_watch(watch, inputDirectory, IN_CREATE | IN_ATTRIB | IN_DELETE);
  std::vector<Keyboard> keyboards = std::move(checkedKeyboards);
  checkedKeyboards.clear();
  openKeyboards(keyboards);
  if (keyboards.empty()) {
    if (watch >= 0) close(watch);
    return nullptr;
  }
  return new EvdevTap{{onEvent}, watch, std::move(keyboards)};
}

bool keyIsDown(uint16_t keyCode) {
  return tap && isDownAt(allKeysDown(*opened()), keyCode);
}

void addTapSources(std::vector<pollfd>& sources) {
  if (!tap) return;
  for (const Keyboard& keyboard : opened()->keyboards)
    sources.push_back({keyboard.descriptor, POLLIN, 0});
  if (opened()->watch >= 0) sources.push_back({opened()->watch, POLLIN, 0});
}

// Keyboards first, the directory last: a keyboard opened now may take the number of one closed
// in this round.
void serveTap(std::span<const pollfd> ready) {
  for (const pollfd& source : ready) {
    if (!tap) return;
    if (source.fd == opened()->watch || !source.revents) continue;
    const auto keyboard =
        std::find_if(opened()->keyboards.begin(), opened()->keyboards.end(),
                     [&](const Keyboard& open) { return open.descriptor == source.fd; });
    if (keyboard == opened()->keyboards.end()) continue;
    // A reader that waited only for POLLIN would spin on an unplugged keyboard.
    if (source.revents & POLLIN) {
      readKeyboard(*keyboard);
    } else {
      removeKeyboard(keyboard->name);
    }
  }
  const bool directoryChanged = std::any_of(ready.begin(), ready.end(), [](const pollfd& source) {
    return tap && source.fd == opened()->watch && (source.revents & POLLIN);
  });
  if (directoryChanged) readDirectoryChanges();
}

}  // namespace evdev
