// Which devices under /dev/input keytap reads for keys, and who may read them, for --doctor.
// Devices are found through sysfs, which anyone may read, so that those this user cannot open are
// listed too. Names of users and groups are read from /etc: a static program cannot ask the
// system's name services.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "core/key_table.h"
#include "core/state.h"
#include "platform/key_positions.h"
#include "platform/linux/backends.h"

namespace evdev {
namespace {

// The mouse buttons, joysticks' and gamepads' (BTN_MISC to BTN_GEAR_UP): no keys.
constexpr unsigned firstButton = 0x100, lastButton = 0x151;

std::string readFile(const std::string& path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// sysfs prints a device's key bitmap as hexadecimal words of 64 bits, the lowest last.
bool hasKey(const std::string& bitmap, unsigned key) {
  std::vector<uint64_t> words;
  std::istringstream hex(bitmap);
  for (std::string word; hex >> word;) words.push_back(std::strtoull(word.c_str(), nullptr, 16));
  const size_t index = key / 64;
  return index < words.size() && (words[words.size() - 1 - index] >> (key % 64)) & 1;
}

bool canRead(const std::string& path) {
  const int descriptor = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) return false;
  close(descriptor);
  return true;
}

// The devices under /dev/input with keys keytap names, or the pointers: devices without any, but
// with a watched mouse button.
std::vector<InputDevice> devices(bool pointers) {
  std::vector<InputDevice> found;
  DIR* directory = opendir("/dev/input");
  if (!directory) return found;
  while (const dirent* entry = readdir(directory)) {
    const std::string name = entry->d_name;
    if (!name.starts_with("event")) continue;
    const std::string bitmap = readFile("/sys/class/input/" + name + "/device/capabilities/key");
    const auto has = [&](unsigned key) { return hasKey(bitmap, key); };
    KeysDown keys;
    for (unsigned code = 0; code < keys.size(); ++code) keys[code] = has(code);
    const std::vector<std::string_view> named = namedKeys(keys, 3);
    const bool pointer =
        named.empty() && std::any_of(std::begin(watchedButtons), std::end(watchedButtons), has);
    if (pointers ? !pointer : named.empty()) continue;
    std::string label = readFile("/sys/class/input/" + name + "/device/name");
    if (label.ends_with('\n')) label.pop_back();
    const std::string path = "/dev/input/" + name;
    found.push_back({path, label, canRead(path), {named.begin(), named.end()}});
  }
  closedir(directory);
  std::sort(found.begin(), found.end(),
            [](const InputDevice& a, const InputDevice& b) { return a.path < b.path; });
  return found;
}

}  // namespace

std::vector<std::string_view> namedKeys(const KeysDown& keys, size_t limit) {
  std::vector<std::string_view> names;
  for (unsigned code = 1; code < keys.size() && names.size() < limit; ++code) {
    if (!keys[code] || (code >= firstButton && code <= lastButton)) continue;
    const std::string_view name = keyName(macKeyCodeOf(code));
    if (!name.empty()) names.push_back(name);
  }
  return names;
}

EvdevFacts accessFacts() {
  EvdevFacts facts{devices(false),
                   userName(getuid(), readFile("/etc/passwd")),
                   {},
                   false,
                   options.mouseButtons ? devices(true) : std::vector<InputDevice>{}};
  // The effective group first, then the supplementary ones.
  std::vector<gid_t> ids(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
  ids.resize(static_cast<size_t>(std::max(getgroups(static_cast<int>(ids.size()), ids.data()), 0)));
  ids.insert(ids.begin(), getegid());
  const std::string etcGroup = readFile("/etc/group");
  facts.groups = groupNames(std::vector<unsigned>(ids.begin(), ids.end()), etcGroup);
  facts.inputGroupListsUser = groupListsUser(etcGroup, "input", facts.user);
  return facts;
}

}  // namespace evdev
