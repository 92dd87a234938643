// keytap --doctor on Linux, from facts to sentences: pure, so that every explanation is tested.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/diagnosis.h"
#include "platform/linux/backend_choice.h"

struct X11Facts {
  std::string display;  // DISPLAY; empty when unset
  bool opens = false;
  int xinputMajor = 0;  // 0 when the server has no XInput
  int xinputMinor = 0;
};

struct InputDevice {
  std::string path;  // /dev/input/event3
  std::string name;  // as the kernel names it
  bool readable = false;
  std::vector<std::string> keys;  // some of the keys it reports that keytap names
};

struct EvdevFacts {
  std::vector<InputDevice> keyboards;
  std::string user;
  std::vector<std::string> groups;    // this process's groups, by name
  bool inputGroupListsUser = false;   // /etc/group lists the user in "input"
  std::vector<InputDevice> pointers;  // mice with a watched button, looked for with --mouse-buttons
};

struct PortalFacts {
  bool bus = false;                 // a session bus answers
  std::optional<uint32_t> version;  // of its GlobalShortcuts portal; none when it has none
  std::string error;                // the D-Bus error of asking for it
  std::string appId;                // --portal=APP_ID; empty without one
  std::string appIdRefused;         // why the portal's registry refused it; empty if it did not
};

/// Which backend keytap took and why (`choice`, the session's), or that --backend chose it.
Finding sessionFinding(const BackendChoice& choice, std::optional<Backend> forced);
std::vector<Finding> x11Findings(const X11Facts& facts);
std::vector<Finding> evdevFindings(const EvdevFacts& facts);
/// Whether the desktop offers the GlobalShortcuts portal; where keytap reads no keyboard and
/// does not use it yet (`suggest`), what --portal would do.
Finding portalFinding(const PortalFacts& facts, bool suggest);

/// The names of the groups with these ids, from the text of /etc/group (the number where it
/// names none): a static program cannot ask the system's name services.
std::vector<std::string> groupNames(const std::vector<unsigned>& ids, std::string_view etcGroup);
/// Whether /etc/group lists the user as a member of the group.
bool groupListsUser(std::string_view etcGroup, std::string_view group, std::string_view user);
/// The name of the user with this id, from the text of /etc/passwd; the number when none.
std::string userName(unsigned id, std::string_view etcPasswd);
