// What a desktop said of the shortcuts keytap asked its portal to bind, and what the host has
// been told of each: pure, so that every answer, change and listing is tested.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/portal/shortcuts.h"

using ShortcutIds = std::set<std::string, std::less<>>;

/// A shortcut as the desktop lists it: its id and its trigger, described for people.
struct ListedShortcut {
  std::string id;
  std::string trigger;
};

/// The desktop's word on one shortcut: its state, and its trigger where bound.
struct Binding {
  BindingState state;
  std::string trigger;
  friend bool operator==(const Binding&, const Binding&) = default;
};

struct DesktopAnswers {
  std::map<std::string, std::string, std::less<>> listed;  // listed with keys: id to trigger
  std::map<std::string, Binding, std::less<>> outcome;     // the desktop's last word
  std::map<std::string, Binding, std::less<>> told;        // what the host was told
};

/// Takes the desktop's list of shortcuts in place of the last. KDE and GNOME list shortcuts that
/// have no keys (refused in a dialog, cleared in the settings): those are not bound.
void takeListing(DesktopAnswers& answers, const std::vector<ListedShortcut>& shortcuts);

/// The answer to a bind of `ids`, with this response code, once its listing is taken.
void takeBindAnswer(DesktopAnswers& answers, const ShortcutIds& ids, uint32_t response);

/// The listing taken as a bind of `ids` (KDE's live listing): each is bound with its trigger.
void takeListingAsBound(DesktopAnswers& answers, const ShortcutIds& ids);

/// A change made in the desktop's settings, once its listing is taken: a shortcut of `ids` the
/// desktop has answered for is bound as listed, or unbound where it was bound and is no longer.
void takeChange(DesktopAnswers& answers, const ShortcutIds& ids);

/// Whether the desktop lists exactly these shortcuts, with keys.
bool listsExactly(const DesktopAnswers& answers, const ShortcutIds& ids);

/// What the host has not yet been told of the shortcut, now taken as told; none where the
/// desktop has not answered for it or nothing changed.
std::optional<Binding> news(DesktopAnswers& answers, const std::string& id);
