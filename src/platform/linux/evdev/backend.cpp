// Linux evdev backend: every device under /dev/input with keys keytap names (keyboards, numeric
// keypads, macro pads, pedals, a keyboard's second node), read as the kernel reports it, so keys
// are heard in any session (Wayland, X11, a console). Reading the devices needs read access to
// them (the input group, or a udev rule): that is this platform's listen permission. Devices are
// only read, never grabbed, and devices that come and go are followed through inotify. While a
// mouse button is registered (--mouse-buttons), the pointer devices with such buttons are read
// too, each through a kernel filter that lets only those buttons through.
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
#include "platform/linux/backends.h"

namespace evdev {
namespace {

struct Device {
  int descriptor;
  std::string name;  // "event3"
  KeysDown down;
};

struct EvdevTap : Tap {
  int watch;  // inotify on /dev/input
  std::vector<Device> keyboards;
  std::vector<Device> pointers;  // only while buttonsWanted
  bool pointersOpen = false;     // as buttonsWanted was when the mice were last opened or closed
};

// The open tap, or null.
EvdevTap* opened = nullptr;

constexpr const char* inputDirectory = "/dev/input/";
constexpr size_t bitsPerLong = CHAR_BIT * sizeof(long);

// Whether the mouse buttons are wanted (--mouse-buttons, with a button registered).
bool buttonsWanted = false;
// While a batch of events is delivered, the devices stay as they are (the batch points into
// them): a change of the buttons wanted waits for its end.
bool delivering = false;

bool hasBit(const unsigned long* bits, unsigned bit) {
  return (bits[bit / bitsPerLong] >> (bit % bitsPerLong)) & 1;
}

void setBit(unsigned long* bits, unsigned bit) {
  bits[bit / bitsPerLong] |= 1UL << (bit % bitsPerLong);
}

// The kernel's own record of the device's keys, so that keys held when it was opened count.
void readKeysDown(Device& device) {
  unsigned long state[KEY_MAX / bitsPerLong + 1] = {};
  if (ioctl(device.descriptor, EVIOCGKEY(sizeof state), state) < 0) return;
  for (unsigned code = 0; code < device.down.size(); ++code) {
    device.down[code] = hasBit(state, code);
  }
}

// A device with keys keytap names is read for them: a keyboard, and just as well a numeric keypad,
// a macro pad or pedal, a keyboard's second node; a mouse, a power button or a lid switch has
// none. A pointer has none but a button keytap watches: a mouse, a trackball.
enum class Kind { keyboard, pointer };

bool isOfKind(const KeysDown& keys, Kind kind) {
  const bool named = !namedKeys(keys, 1).empty();
  if (kind == Kind::keyboard) return named;
  return !named && std::any_of(std::begin(watchedButtons), std::end(watchedButtons),
                               [&](unsigned button) { return keys[button]; });
}

// A mouse reports motion up to thousands of times a second, a keyboard its scan codes and LEDs
// beside each key: the kernel passes this reader key events only (of a pointer, only the watched
// buttons), and drops the reports that are left empty, so nothing else ever wakes it.
void passOnlyKeys(int descriptor, Kind kind) {
  unsigned long types[EV_MAX / bitsPerLong + 1] = {};
  setBit(types, EV_KEY);
  input_mask typeMask{0, sizeof types, reinterpret_cast<uintptr_t>(types)};
  // A kernel without per-reader masks (before 4.4) passes everything: slower, still right.
  ioctl(descriptor, EVIOCSMASK, &typeMask);
  if (kind != Kind::pointer) return;
  unsigned long buttons[KEY_MAX / bitsPerLong + 1] = {};
  for (const unsigned button : watchedButtons) setBit(buttons, button);
  input_mask buttonMask{EV_KEY, sizeof buttons, reinterpret_cast<uintptr_t>(buttons)};
  ioctl(descriptor, EVIOCSMASK, &buttonMask);
}

// The device, when it is of the kind.
std::optional<Device> openDevice(const std::string& name, Kind kind) {
  if (!name.starts_with("event")) return std::nullopt;
  const int descriptor = open((inputDirectory + name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) return std::nullopt;
  unsigned long bits[KEY_MAX / bitsPerLong + 1] = {};
  KeysDown keys;
  if (ioctl(descriptor, EVIOCGBIT(EV_KEY, sizeof bits), bits) >= 0) {
    for (unsigned code = 0; code < keys.size(); ++code) keys[code] = hasBit(bits, code);
  }
  if (!isOfKind(keys, kind)) {
    close(descriptor);
    return std::nullopt;
  }
  passOnlyKeys(descriptor, kind);
  Device device{descriptor, name, {}};
  readKeysDown(device);
  return device;
}

bool holds(const std::vector<Device>& devices, std::string_view name) {
  return std::any_of(devices.begin(), devices.end(),
                     [&](const Device& device) { return device.name == name; });
}

// Adds every device of the kind under /dev/input that is not open yet and can be read.
void openDevices(std::vector<Device>& devices, Kind kind) {
  DIR* directory = opendir(inputDirectory);
  if (!directory) return;
  while (const dirent* entry = readdir(directory)) {
    if (holds(devices, entry->d_name)) continue;
    if (std::optional<Device> device = openDevice(entry->d_name, kind)) {
      devices.push_back(std::move(*device));
    }
  }
  closedir(directory);
}

// The keys down on all devices together: a modifier on one counts for a key on another.
KeysDown allKeysDown(const EvdevTap& listener) {
  KeysDown down;
  for (const Device& device : listener.keyboards) down |= device.down;
  for (const Device& device : listener.pointers) down |= device.down;
  return down;
}

// The open device that reads from the descriptor; null for none.
Device* readingFrom(int descriptor) {
  for (std::vector<Device>* devices : {&opened->keyboards, &opened->pointers}) {
    for (Device& device : *devices) {
      if (device.descriptor == descriptor) return &device;
    }
  }
  return nullptr;
}

// Whether the key is down on an open device other than this one.
bool downOnAnother(const Device& device, unsigned code) {
  for (const std::vector<Device>* devices : {&opened->keyboards, &opened->pointers}) {
    for (const Device& other : *devices) {
      if (&other != &device && other.down[code]) return true;
    }
  }
  return false;
}

// The keyboards that answered the permission check, kept for the tap.
std::vector<Device> checkedKeyboards;

void closeAll(std::vector<Device>& devices) {
  for (const Device& device : devices) close(device.descriptor);
  devices.clear();
}

// The mice open while buttons are wanted, and closed otherwise.
void openPointersAsWanted() {
  if (opened->pointersOpen == buttonsWanted) return;
  opened->pointersOpen = buttonsWanted;
  if (buttonsWanted) {
    openDevices(opened->pointers, Kind::pointer);
  } else {
    closeAll(opened->pointers);
  }
}

// A device that went away is forgotten, and with the last keyboard the tap: the next register
// (or the retry of --status) looks for keyboards again.
void removeDevice(const std::string& name) {
  const auto named = [&](const Device& device) { return device.name == name; };
  std::vector<Device>& keyboards = opened->keyboards;
  std::vector<Device>& pointers = opened->pointers;
  const auto keyboard = std::find_if(keyboards.begin(), keyboards.end(), named);
  const auto pointer = std::find_if(pointers.begin(), pointers.end(), named);
  if (keyboard != keyboards.end()) {
    close(keyboard->descriptor);
    keyboards.erase(keyboard);
  } else if (pointer != pointers.end()) {
    close(pointer->descriptor);
    pointers.erase(pointer);
  } else {
    return;
  }
  const TapCallback notify = opened->callback;
  if (!keyboards.empty()) {
    notify(keyboardRemoved, nullptr);
    return;
  }
  closeAll(pointers);
  if (opened->watch >= 0) close(opened->watch);
  delete opened;
  opened = nullptr;
  notify(keyboardsGone, nullptr);
}

// One event as read, with the device it came from.
struct Pending {
  Device* device;
  input_event event;
};

// The events read in one wake-up; kept between wake-ups for its room.
std::vector<Pending> pending;

// Adds what the device holds to `pending`; false when the device is gone (ENODEV, or nothing
// more to read at all).
bool readDevice(Device& device) {
  input_event events[64];
  const ssize_t got = read(device.descriptor, events, sizeof events);
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return true;
  if (got <= 0) return false;
  for (const input_event& event : std::span(events, static_cast<size_t>(got) / sizeof *events)) {
    pending.push_back({&device, event});
  }
  return true;
}

bool happenedBefore(const Pending& a, const Pending& b) {
  const auto time = [](const input_event& event) {
    return std::pair(event.input_event_sec, event.input_event_usec);
  };
  return time(a.event) < time(b.event);
}

void deliverEvent(Device& device, const input_event& event) {
  if (event.type == EV_SYN && event.code == SYN_DROPPED) {
    // The kernel's buffer overflowed and events were lost: ask it what is down now.
    readKeysDown(device);
  } else if (event.type == EV_KEY) {
    // Value 2 is the kernel's autorepeat: a press of a key already down, as trackKey sees it.
    const bool press = event.value != 0;
    std::optional<Event> key = trackKey(device.down, event.code, press, modifierKeysHeard());
    if (!key) return;
    // One mouse often has several nodes: a button already down on another is no new press.
    if (press && isMouseButton(key->keyCode) && downOnAnother(device, event.code)) {
      key->autorepeat = 1;
    }
    key->flags = modifierFlags(allKeysDown(*opened));
    opened->callback(press ? keyDownEvent : keyUpEvent, &*key);
  }
}

// A device node appears before udev gives it to the input group: every change of its
// attributes is another chance to open it.
void readDirectoryChanges() {
  alignas(inotify_event) char buffer[4096];
  const ssize_t got = read(opened->watch, buffer, sizeof buffer);
  for (ssize_t at = 0; at < got && opened;) {
    const auto* change = reinterpret_cast<const inotify_event*>(buffer + at);
    at += static_cast<ssize_t>(sizeof *change + change->len);
    const std::string name = change->len ? change->name : "";
    if (change->mask & IN_DELETE) {
      removeDevice(name);
    } else if (!holds(opened->keyboards, name) && !holds(opened->pointers, name)) {
      if (std::optional<Device> keyboard = openDevice(name, Kind::keyboard)) {
        opened->keyboards.push_back(std::move(*keyboard));
      } else if (buttonsWanted) {
        if (std::optional<Device> pointer = openDevice(name, Kind::pointer)) {
          opened->pointers.push_back(std::move(*pointer));
        }
      }
    }
  }
}

}  // namespace

bool preflightListenAccess() {
  if (checkedKeyboards.empty()) openDevices(checkedKeyboards, Kind::keyboard);
  return !checkedKeyboards.empty();
}

Tap* openTap(TapCallback onEvent) {
  // Watching starts before the scan, so that no device can arrive unseen in between.
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch >= 0) inotify_add_watch(watch, inputDirectory, IN_CREATE | IN_ATTRIB | IN_DELETE);
  std::vector<Device> keyboards = std::move(checkedKeyboards);
  checkedKeyboards.clear();
  openDevices(keyboards, Kind::keyboard);
  if (keyboards.empty()) {
    if (watch >= 0) close(watch);
    return nullptr;
  }
  std::vector<Device> pointers;
  if (buttonsWanted) openDevices(pointers, Kind::pointer);
  opened = new EvdevTap{{onEvent}, watch, std::move(keyboards), std::move(pointers), buttonsWanted};
  return opened;
}

void watchMouseButtons(bool watch) {
  if (watch == buttonsWanted) return;
  buttonsWanted = watch;
  if (opened && !delivering) openPointersAsWanted();
}

bool keyIsDown(uint16_t keyCode) {
  return opened && isDownAt(allKeysDown(*opened), keyCode);
}

void addTapSources(std::vector<pollfd>& sources) {
  if (!opened) return;
  for (const Device& device : opened->keyboards) sources.push_back({device.descriptor, POLLIN, 0});
  for (const Device& device : opened->pointers) sources.push_back({device.descriptor, POLLIN, 0});
  if (opened->watch >= 0) sources.push_back({opened->watch, POLLIN, 0});
}

// Devices first, the directory last: a device opened now may take the number of one closed in
// this round. What several devices hold at once goes to the matcher in the order it happened,
// so that a modifier on the keyboard and a button on the mouse meet as they were pressed.
void serveTap(std::span<const pollfd> ready) {
  if (!opened) return;
  pending.clear();
  std::vector<std::string> gone;
  for (const pollfd& source : ready) {
    if (source.fd == opened->watch || !source.revents) continue;
    Device* device = readingFrom(source.fd);
    if (!device) continue;
    // A reader that waited only for POLLIN would spin on an unplugged device.
    if (!(source.revents & POLLIN) || !readDevice(*device)) gone.push_back(device->name);
  }
  std::stable_sort(pending.begin(), pending.end(), happenedBefore);
  delivering = true;
  for (const Pending& next : pending) deliverEvent(*next.device, next.event);
  delivering = false;
  if (opened) openPointersAsWanted();
  for (const std::string& name : gone) {
    if (opened) removeDevice(name);
  }
  const bool directoryChanged = std::any_of(ready.begin(), ready.end(), [](const pollfd& source) {
    return opened && source.fd == opened->watch && (source.revents & POLLIN);
  });
  if (directoryChanged) readDirectoryChanges();
}

}  // namespace evdev
