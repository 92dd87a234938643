// The few D-Bus calls and message parts the portal backend needs, through libdbus: only the
// portal code calls it.
#pragma once

#include <dbus/dbus.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/portal/answers.h"

struct MessageUnref {
  void operator()(DBusMessage* message) const { dbus_message_unref(message); }
};
/// A message of ours: unreferenced when it goes.
using Message = std::unique_ptr<DBusMessage, MessageUnref>;

constexpr const char* portalName = "org.freedesktop.portal.Desktop";
constexpr const char* portalPath = "/org/freedesktop/portal/desktop";
constexpr const char* shortcutsInterface = "org.freedesktop.portal.GlobalShortcuts";

/// A private connection to the session bus that leaves the process alone when the bus goes:
/// at DBUS_SESSION_BUS_ADDRESS, else at $XDG_RUNTIME_DIR/bus; never a bus started for keytap.
/// Null when there is none, with the reason in `why`.
DBusConnection* connectSessionBus(std::string* why);

/// Whether the text may go into a message as an object path, or as a string: libdbus ends the
/// process on either that is not.
bool validPath(std::string_view text);
bool validUtf8(std::string_view text);

/// A call of a portal method, to be filled with `append*` and sent.
Message portalCall(const char* path, const char* interface, const char* method);

void appendString(DBusMessage* message, std::string_view text);
void appendObjectPath(DBusMessage* message, std::string_view path);
/// Appends an a{sv} of string values.
void appendOptions(DBusMessage* message,
                   const std::vector<std::pair<std::string_view, std::string>>& options);
/// Appends the a(sa{sv}) of BindShortcuts: each id with its description and preferred trigger.
struct ShortcutRequest {
  std::string id;
  std::string description;
  std::string preferredTrigger;
};
void appendShortcuts(DBusMessage* message, const std::vector<ShortcutRequest>& shortcuts);

/// Sends the call and waits up to `timeoutMs` for its reply; null when it failed or ran out
/// of time, with the error's message in `error`.
Message callAndWait(DBusConnection* bus, DBusMessage* call, int timeoutMs, std::string* error);

/// The unique name that owns the bus name; empty when nobody does or the bus did not answer in
/// time.
std::string nameOwner(DBusConnection* bus, const char* name, int timeoutMs);

/// Whether anybody owns the bus name; false when the bus did not answer in time.
bool nameHasOwner(DBusConnection* bus, const char* name, int timeoutMs);

/// The unique name that owns the bus name, which the bus starts where nobody does yet (as a
/// call to it would); empty when that fails or takes longer than `timeoutMs`.
std::string startedOwner(DBusConnection* bus, const char* name, int timeoutMs);

/// Names the app (--portal=APP_ID) to the portal, as the connection's first call to it:
/// xdg-desktop-portal 1.21 and later want an unsandboxed caller to. Returns why the portal
/// refused it; nothing where it took it, where no id is given, or where the portal has no
/// registry (before 1.19.3), which finds the app itself.
std::string registerApp(DBusConnection* bus, std::string_view appId, int timeoutMs);

/// The leading string or object path arguments of a message, as many as it has up to `count`.
std::vector<std::string> leadingStrings(DBusMessage* message, size_t count);

/// A Request's Response: its code and, from its results, "session_handle" and "shortcuts".
struct Response {
  uint32_t code = 2;
  std::string sessionHandle;
  std::optional<std::vector<ListedShortcut>> shortcuts;
};
Response readResponse(DBusMessage* message);

/// The a(sa{sv}) of ShortcutsChanged, after its session handle.
std::vector<ListedShortcut> readChangedShortcuts(DBusMessage* message);

/// The "version" property of the interface on the portal's object of `service`, waiting up to
/// `timeoutMs`; none where it has none, with the error's message in `error`. A service that does
/// not run is started only when `startIt`.
std::optional<uint32_t> interfaceVersion(DBusConnection* bus, const char* service,
                                         const char* interface, bool startIt, int timeoutMs,
                                         std::string* error);
