#include "platform/linux/diagnosis.h"

#include <algorithm>
#include <charconv>

namespace {

constexpr std::string_view inputGroup = "input";
constexpr std::string_view udevRule =
    "KERNEL==\"event*\", SUBSYSTEM==\"input\", TAG+=\"uaccess\" in "
    "/etc/udev/rules.d/70-keytap.rules";

// The colon-separated fields of one line of /etc/group or /etc/passwd.
std::vector<std::string_view> fields(std::string_view line) {
  std::vector<std::string_view> parts;
  for (size_t start = 0;;) {
    const size_t end = line.find(':', start);
    parts.push_back(line.substr(start, end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

// Calls `take` with the fields of every line that has at least `count` of them.
template <typename Take>
void eachRecord(std::string_view table, size_t count, Take take) {
  for (size_t start = 0; start < table.size();) {
    size_t end = table.find('\n', start);
    if (end == std::string_view::npos) end = table.size();
    const std::vector<std::string_view> parts = fields(table.substr(start, end - start));
    if (parts.size() >= count) take(parts);
    start = end + 1;
  }
}

std::optional<unsigned> number(std::string_view text) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

}  // namespace

Finding sessionFinding(const BackendChoice& choice, std::optional<Backend> forced) {
  if (!forced) return {"session", std::string(choice.why), ""};
  const std::string name(backendName(*forced));
  return {"session",
          "--backend=" + name + " chooses " + name + "; without it: " + std::string(choice.why),
          ""};
}

std::vector<Finding> x11Findings(const X11Facts& facts) {
  constexpr std::string_view evdevInstead =
      "or use --backend=evdev to read the keyboards under /dev/input.";
  if (facts.display.empty()) {
    return {{"display", "DISPLAY is not set: there is no X display to listen to.",
             "Start keytap from within the X session, " + std::string(evdevInstead)}};
  }
  const std::string display = "The display " + facts.display;
  if (!facts.opens) {
    return {{"display", display + " does not open.",
             "Check that its X server runs and lets this user connect (XAUTHORITY, xhost), " +
                 std::string(evdevInstead)}};
  }
  const std::string version =
      std::to_string(facts.xinputMajor) + "." + std::to_string(facts.xinputMinor);
  if (facts.xinputMajor == 0) {
    return {{"display", display + " opens, but its server has no XInput extension.",
             "keytap needs XInput 2.1 or later; " + std::string(evdevInstead)}};
  }
  if (facts.xinputMajor < 2 || (facts.xinputMajor == 2 && facts.xinputMinor < 1)) {
    return {{"display", display + " opens, but its server speaks XInput " + version + ".",
             "keytap needs XInput 2.1 or later; " + std::string(evdevInstead)}};
  }
  return {{"display", display + " opens, with XInput " + version + ".", ""}};
}

std::vector<Finding> evdevFindings(const EvdevFacts& facts) {
  std::vector<Finding> findings;
  if (facts.keyboards.empty()) {
    findings.push_back({"/dev/input", "No keyboard is there.",
                        "Plug a keyboard in; in a container or a virtual machine, pass the "
                        "host's /dev/input through."});
  }
  for (const InputDevice& keyboard : facts.keyboards) {
    findings.push_back({keyboard.path,
                        "\"" + keyboard.name + "\", with keys keytap knows (" +
                            joined(keyboard.keys) + "), " +
                            (keyboard.readable ? "readable." : "which this user cannot read."),
                        ""});
  }
  for (const InputDevice& pointer : facts.pointers) {
    findings.push_back({pointer.path,
                        "\"" + pointer.name + "\", a mouse with a middle or side button, " +
                            (pointer.readable ? "readable." : "which this user cannot read."),
                        ""});
  }
  Finding user{"user", facts.user + " is in the groups " + joined(facts.groups) + ".", ""};
  const auto readable = [](const InputDevice& device) { return device.readable; };
  const bool allReadable = std::all_of(facts.keyboards.begin(), facts.keyboards.end(), readable) &&
                           std::all_of(facts.pointers.begin(), facts.pointers.end(), readable);
  const bool inInputGroup =
      std::find(facts.groups.begin(), facts.groups.end(), inputGroup) != facts.groups.end();
  if (!allReadable && facts.inputGroupListsUser && !inInputGroup) {
    user.fix = facts.user +
               " was added to the input group after this session began: log out and in again.";
  } else if (!allReadable) {
    user.fix = "Add the user to the input group (sudo usermod -aG input " + facts.user +
               "), then log out and in again; or give the user of the session access with the "
               "udev rule " +
               std::string(udevRule) + ".";
  }
  findings.push_back(std::move(user));
  return findings;
}

Finding portalFinding(const PortalFacts& facts, bool suggest) {
  if (!facts.bus) {
    return {"portal", "No D-Bus session bus answers, so there is no desktop portal to ask.",
            suggest ? "Start keytap from within the desktop session." : ""};
  }
  if (!facts.version) {
    return {"portal",
            "The desktop's portal does not offer global shortcuts (" +
                (facts.error.empty() ? std::string("no GlobalShortcuts version") : facts.error) +
                ").",
            ""};
  }
  Finding finding{"portal",
                  "The desktop's portal offers global shortcuts (GlobalShortcuts version " +
                      std::to_string(*facts.version) + ").",
                  suggest ? "Start keytap with --portal to have the desktop bind the shortcuts; it "
                            "takes their keys from the windows."
                          : ""};
  if (!facts.appIdRefused.empty()) {
    finding.seen += " It refused the app id " + facts.appId + " (" + facts.appIdRefused + ").";
    finding.fix = "Install " + facts.appId +
                  ".desktop in ~/.local/share/applications or /usr/share/applications.";
  }
  return finding;
}

std::vector<std::string> groupNames(const std::vector<unsigned>& ids, std::string_view etcGroup) {
  std::vector<std::string> names;
  for (const unsigned id : ids) {
    std::string name = std::to_string(id);
    eachRecord(etcGroup, 3, [&](const std::vector<std::string_view>& group) {
      if (number(group[2]) == id) name = group[0];
    });
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  }
  return names;
}

bool groupListsUser(std::string_view etcGroup, std::string_view group, std::string_view user) {
  bool listed = false;
  eachRecord(etcGroup, 4, [&](const std::vector<std::string_view>& entry) {
    if (entry[0] != group) return;
    for (size_t start = 0; start <= entry[3].size();) {
      size_t end = entry[3].find(',', start);
      if (end == std::string_view::npos) end = entry[3].size();
      if (entry[3].substr(start, end - start) == user) listed = true;
      start = end + 1;
    }
  });
  return listed;
}

std::string userName(unsigned id, std::string_view etcPasswd) {
  std::string name = std::to_string(id);
  eachRecord(etcPasswd, 3, [&](const std::vector<std::string_view>& entry) {
    if (number(entry[2]) == id) name = entry[0];
  });
  return name;
}
