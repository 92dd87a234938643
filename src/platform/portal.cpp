// Linux backend through the desktop's GlobalShortcuts portal (opt-in, --portal): the desktop
// binds every registered accelerator as a shortcut and says when one is pressed and released,
// which reaches the matcher as that accelerator's own key events. Unlike the other sources it is
// not listen-only: the desktop takes the bound keys from the windows.
//
// A session is asked to bind once (GNOME refuses a second bind; the portal documents one), so
// a changed set of registrations is bound whole in a new session, which replaces the old one.
// Only opening a session blocks; binds are asked and answered in the poll loop, and what became
// of each accelerator reaches the host as a "binding" message.
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/state.h"
#include "host/emit.h"
#include "host/messages.h"
#include "platform/key_positions.h"
#include "platform/linux_backends.h"
#include "platform/portal_bus.h"
#include "platform/portal_shortcuts.h"

namespace portal {
namespace {

constexpr const char* requestInterface = "org.freedesktop.portal.Request";
constexpr const char* sessionInterface = "org.freedesktop.portal.Session";
constexpr const char* kdeBackend = "org.freedesktop.impl.portal.desktop.kde";
// Opening a session asks nobody, but a portal that is being started may take a while.
constexpr int sessionTimeoutMs = 5000;
// Registrations that come together (a host's start) are bound together, in one request.
constexpr long debounceMs = 50;
// Always the same: KDE files the shortcuts of an app that names no app id under its session's
// token, so that the next session, and the next keytap, find them again.
constexpr const char* sessionToken = "keytap";

using Ids = std::set<std::string, std::less<>>;

struct Told {
  BindingState state;
  std::string trigger;
  friend bool operator==(const Told&, const Told&) = default;
};

// The request in flight: one at a time, so that answers cannot overtake each other.
struct Pending {
  std::string path;
  dbus_uint32_t serial = 0;
  bool bind = false;  // else ListShortcuts
};

std::string appId;
DBusConnection* bus = nullptr;
// KDE's backend before Plasma 6.5 (its version 1) makes a session's shortcuts live as soon as
// it lists them, and before 6.4 opens System Settings at every bind: there a session whose
// listing holds every registration is not asked to bind. Everywhere else, as documented, a
// listing before the bind only says what earlier sessions had.
bool listingIsLive = false;

std::string session;        // the session's handle; empty while there is none
bool sessionBound = false;  // the session had its bind, or took the live listing instead
Ids sessionIds;             // what it was asked to bind
std::map<std::string, std::string> listed;  // what the desktop lists as bound: id to trigger

Tap portalTap;
bool tapOpened = false;
int debounce = -1;  // timerfd
unsigned tokens = 0;
std::optional<Pending> pending;
// The desktop's last word on each accelerator, and what the host was told of it.
std::map<std::string, Told, std::less<>> outcome;
std::map<std::string, Told, std::less<>> told;
// The shortcuts the desktop says are down.
Ids active;
// Messages read while waiting for one reply, handled afterwards in their order.
std::deque<Message> deferred;

std::string nextToken() {
  return "keytap" + std::to_string(++tokens);
}

// Where the portal answers a request made with this token (documented since version 0.9).
std::string requestPath(const std::string& token) {
  std::string sender = dbus_bus_get_unique_name(bus) + 1;
  std::replace(sender.begin(), sender.end(), '.', '_');
  return std::string(portalPath) + "/request/" + sender + "/" + token;
}

void tell(const std::string& id) {
  const auto known = outcome.find(id);
  if (known == outcome.end()) return;
  const auto [entry, added] = told.try_emplace(id, known->second);
  if (!added && entry->second == known->second) return;
  entry->second = known->second;
  emit(bindingMessage(id, bindingStateName(known->second.state), known->second.trigger));
}

void send(Message call, Pending request) {
  dbus_connection_send(bus, call.get(), &request.serial);
  dbus_connection_flush(bus);
  pending = std::move(request);
}

void listShortcuts() {
  const std::string token = nextToken();
  Message call = portalCall(portalPath, shortcutsInterface, "ListShortcuts");
  appendObjectPath(call.get(), session);
  appendOptions(call.get(), {{"handle_token", token}});
  send(std::move(call), {requestPath(token), 0, false});
}

void bindShortcuts(const Ids& ids) {
  std::vector<ShortcutRequest> shortcuts;
  for (const std::string& id : ids) {
    shortcuts.push_back({id, id, preferredTrigger(registered.find(id)->second)});
  }
  const std::string token = nextToken();
  Message call = portalCall(portalPath, shortcutsInterface, "BindShortcuts");
  appendObjectPath(call.get(), session);
  appendShortcuts(call.get(), shortcuts);
  appendString(call.get(), "");
  appendOptions(call.get(), {{"handle_token", token}});
  send(std::move(call), {requestPath(token), 0, true});
  sessionBound = true;
  sessionIds = ids;
}

void takeListed(const std::vector<ListedShortcut>& shortcuts) {
  listed.clear();
  for (const ListedShortcut& shortcut : shortcuts) listed[shortcut.id] = shortcut.trigger;
}

// The shortcut's accelerator, pressed or released, as a key event of its key with exactly its
// modifiers; a press of a shortcut already down is an autorepeat (KDE and GNOME repeat).
void deliver(const std::string& id, bool press) {
  const auto entry = registered.find(id);
  if (entry == registered.end() || !tapOpened) return;
  const bool wasDown = active.contains(id);
  if (press) active.insert(id);
  if (!press && !active.erase(id)) return;
  Event event{entry->second.keyCode, press && wasDown ? 1 : 0, entry->second.flags};
  portalTap.callback(press ? keyDownEvent : keyUpEvent, &event);
}

void forgetSession() {
  session.clear();
  sessionBound = false;
  sessionIds.clear();
  listed.clear();
  pending.reset();
}

void reconsider();

// Opens a session, and binds the registrations in it (or takes the live listing of KDE's
// backend).
bool openSession() {
  if (!session.empty()) return true;
  if (!bus) return false;
  const std::string token = nextToken();
  Message call = portalCall(portalPath, shortcutsInterface, "CreateSession");
  appendOptions(call.get(), {{"handle_token", token}, {"session_handle_token", sessionToken}});
  if (!callAndWait(bus, call.get(), sessionTimeoutMs, nullptr)) return false;
  Message answer;
  const std::string path = requestPath(token);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(sessionTimeoutMs);
  // Every other message is set aside, in order, for the poll loop.
  while (!answer) {
    while (Message message{dbus_connection_pop_message(bus)}) {
      const char* at = dbus_message_get_path(message.get());
      if (dbus_message_is_signal(message.get(), requestInterface, "Response") && at && path == at) {
        answer = std::move(message);
        break;
      }
      deferred.push_back(std::move(message));
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (answer) break;
    if (left.count() <= 0 || !dbus_connection_read_write(bus, static_cast<int>(left.count()))) {
      return false;
    }
  }
  const Response response = readResponse(answer.get());
  if (response.code != 0 || response.sessionHandle.empty()) return false;
  session = response.sessionHandle;
  if (listingIsLive) {
    listShortcuts();
  } else {
    reconsider();
  }
  return true;
}

// Ends the session, whose holds end with it, and binds the registrations in a new one.
void replaceSession() {
  for (const std::string& id : Ids(active)) deliver(id, false);
  // Closed before the next is opened, which takes its handle.
  Message close =
      Message(dbus_message_new_method_call(portalName, session.c_str(), sessionInterface, "Close"));
  callAndWait(bus, close.get(), sessionTimeoutMs, nullptr);
  forgetSession();
  if (!openSession() && tapOpened) portalTap.callback(shortcutSessionClosed, nullptr);
}

// Binds the registrations where the session has not had its bind, and in a new session where
// they changed since; otherwise tells the host what the desktop said of each.
void reconsider() {
  if (session.empty() || pending) return;
  Ids wanted;
  for (const auto& entry : registered) wanted.insert(entry.first);
  if (!sessionBound) {
    if (wanted.empty()) return;
    const bool allListed = std::all_of(wanted.begin(), wanted.end(),
                                       [](const std::string& id) { return listed.contains(id); });
    if (!listingIsLive || !allListed) return bindShortcuts(wanted);
    sessionBound = true;
    sessionIds = wanted;
    for (const std::string& id : wanted) outcome[id] = {BindingState::bound, listed[id]};
  } else if (wanted != sessionIds) {
    return replaceSession();
  }
  for (const std::string& id : wanted) tell(id);
}

void finishRequest(const Response& response) {
  const bool bind = pending->bind;
  pending.reset();
  if (response.shortcuts) takeListed(*response.shortcuts);
  if (bind) {
    for (const std::string& id : sessionIds) {
      const auto bound = listed.find(id);
      const BindingState state = bindingState(bound != listed.end(), response.code);
      outcome[id] = {state, state == BindingState::bound ? bound->second : ""};
    }
  }
  reconsider();
}

// The user rebound or removed shortcuts in the desktop's settings.
void shortcutsChanged(const std::vector<ListedShortcut>& shortcuts) {
  takeListed(shortcuts);
  for (const std::string& id : sessionIds) {
    const auto bound = listed.find(id);
    if (bound != listed.end()) {
      outcome[id] = {BindingState::bound, bound->second};
    } else if (outcome[id].state == BindingState::bound) {
      outcome[id] = {BindingState::unbound, ""};
    }
    if (registered.contains(id)) tell(id);
  }
}

// The session ended (closed by the desktop, or the portal or the bus went away): every hold
// ends, and the tap callback has another session opened, whose bind follows.
void sessionEnded() {
  if (session.empty()) return;
  forgetSession();
  active.clear();
  if (tapOpened) portalTap.callback(shortcutSessionClosed, nullptr);
}

void dropBus() {
  deferred.clear();
  dbus_connection_close(bus);
  dbus_connection_unref(bus);
  bus = nullptr;
  sessionEnded();
}

void handleSignal(DBusMessage* message) {
  const char* path = dbus_message_get_path(message);
  if (dbus_message_is_signal(message, DBUS_INTERFACE_LOCAL, "Disconnected")) return dropBus();
  if (dbus_message_is_signal(message, requestInterface, "Response")) {
    if (pending && path && pending->path == path) finishRequest(readResponse(message));
    return;
  }
  if (dbus_message_is_signal(message, sessionInterface, "Closed")) {
    if (path && session == path) sessionEnded();
    return;
  }
  if (dbus_message_is_signal(message, DBUS_INTERFACE_DBUS, "NameOwnerChanged")) {
    const std::vector<std::string> names = leadingStrings(message, 3);
    if (names.size() < 3 || names[0] != portalName) return;
    // A portal that went away took the session along; one that came (back) gets it anew.
    if (names[2].empty()) return sessionEnded();
    if (session.empty() && tapOpened) portalTap.callback(shortcutSessionClosed, nullptr);
    return;
  }
  const std::vector<std::string> arguments = leadingStrings(message, 2);
  if (arguments.empty() || arguments[0] != session) return;
  if (dbus_message_is_signal(message, shortcutsInterface, "ShortcutsChanged")) {
    return shortcutsChanged(readChangedShortcuts(message));
  }
  if (arguments.size() < 2) return;
  if (dbus_message_is_signal(message, shortcutsInterface, "Activated")) deliver(arguments[1], true);
  if (dbus_message_is_signal(message, shortcutsInterface, "Deactivated")) {
    deliver(arguments[1], false);
  }
}

void handleMessage(DBusMessage* message) {
  const int type = dbus_message_get_type(message);
  if (type == DBUS_MESSAGE_TYPE_SIGNAL) return handleSignal(message);
  // A call that failed answers with code 2, as a bind that failed.
  if (pending && type == DBUS_MESSAGE_TYPE_ERROR &&
      dbus_message_get_reply_serial(message) == pending->serial) {
    finishRequest({});
  }
}

// Handles what was set aside and what has been read, in order, until none is left; a handler
// may drop the bus.
void handleQueued() {
  for (;;) {
    Message message;
    if (!deferred.empty()) {
      message = std::move(deferred.front());
      deferred.pop_front();
    } else if (bus) {
      message.reset(dbus_connection_pop_message(bus));
    }
    if (!message) return;
    handleMessage(message.get());
  }
}

// Names the app (--portal=APP_ID) to the portal, as the connection's first call to it:
// xdg-desktop-portal 1.21 and later want an unsandboxed caller to. Returns why the portal
// refused it; nothing where it took it, where no id is given, or where the portal has no
// registry (before 1.19.3), which finds the app itself.
std::string registerApp(DBusConnection* connection) {
  if (appId.empty()) return "";
  Message call = portalCall(portalPath, "org.freedesktop.host.portal.Registry", "Register");
  appendString(call.get(), appId);
  appendOptions(call.get(), {});
  DBusError failure;
  dbus_error_init(&failure);
  const Message reply(dbus_connection_send_with_reply_and_block(connection, call.get(),
                                                                sessionTimeoutMs, &failure));
  std::string refusal;
  if (!reply && !dbus_error_has_name(&failure, DBUS_ERROR_UNKNOWN_METHOD) &&
      !dbus_error_has_name(&failure, DBUS_ERROR_UNKNOWN_INTERFACE)) {
    refusal = failure.message ? failure.message : "";
  }
  dbus_error_free(&failure);
  return refusal;
}

// Whether KDE's backend runs, at version 1; asked without starting it.
bool kdeBackendListsLive() {
  Message owner = Message(dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                                       DBUS_INTERFACE_DBUS, "NameHasOwner"));
  appendString(owner.get(), kdeBackend);
  const Message owned = callAndWait(bus, owner.get(), sessionTimeoutMs, nullptr);
  dbus_bool_t has = false;
  if (!owned ||
      !dbus_message_get_args(owned.get(), nullptr, DBUS_TYPE_BOOLEAN, &has, DBUS_TYPE_INVALID) ||
      !has) {
    return false;
  }
  return interfaceVersion(bus, kdeBackend, "org.freedesktop.impl.portal.GlobalShortcuts", false,
                          sessionTimeoutMs, nullptr) == 1u;
}

bool connect() {
  if (bus) return true;
  bus = connectSessionBus();
  if (!bus) return false;
  for (const char* rule : {"type='signal',sender='org.freedesktop.portal.Desktop',"
                           "interface='org.freedesktop.portal.GlobalShortcuts'",
                           "type='signal',sender='org.freedesktop.portal.Desktop',"
                           "interface='org.freedesktop.portal.Request',member='Response'",
                           "type='signal',sender='org.freedesktop.portal.Desktop',"
                           "interface='org.freedesktop.portal.Session',member='Closed'",
                           "type='signal',sender='org.freedesktop.DBus',member='NameOwnerChanged',"
                           "arg0='org.freedesktop.portal.Desktop'"}) {
    dbus_bus_add_match(bus, rule, nullptr);
  }
  registerApp(bus);
  listingIsLive = kdeBackendListsLive();
  return true;
}

}  // namespace

void setAppId(std::string_view id) {
  appId = id;
}

bool preflightListenAccess() {
  return connect() && openSession();
}

Tap* openTap(TapCallback onEvent) {
  if (!preflightListenAccess()) return nullptr;
  portalTap.callback = onEvent;
  tapOpened = true;
  return &portalTap;
}

void enableTap() {
  preflightListenAccess();
}

bool tapIsEnabled() {
  return !session.empty();
}

bool keyIsDown(uint16_t keyCode) {
  return std::any_of(active.begin(), active.end(), [keyCode](const std::string& id) {
    const auto entry = registered.find(id);
    return entry != registered.end() && entry->second.keyCode == keyCode;
  });
}

void registrationsChanged() {
  std::erase_if(active, [](const std::string& id) { return !registered.contains(id); });
  std::erase_if(told, [](const auto& entry) { return !registered.contains(entry.first); });
  if (debounce < 0) debounce = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  const itimerspec in{{0, 0}, {0, debounceMs * 1000000}};
  timerfd_settime(debounce, 0, &in, nullptr);
}

void addTapSources(std::vector<pollfd>& sources) {
  int descriptor = -1;
  if (bus && dbus_connection_get_unix_fd(bus, &descriptor)) {
    sources.push_back({descriptor, POLLIN, 0});
  }
  if (debounce >= 0) sources.push_back({debounce, POLLIN, 0});
}

void serveTap(std::span<const pollfd> ready) {
  for (const pollfd& source : ready) {
    if (!source.revents) continue;
    if (source.fd == debounce) {
      uint64_t expirations;
      while (read(debounce, &expirations, sizeof expirations) < 0 && errno == EINTR) {
      }
      reconsider();
    } else if (bus && !dbus_connection_read_write(bus, 0)) {
      dropBus();
    }
  }
  handleQueued();
}

PortalFacts facts() {
  PortalFacts found;
  DBusConnection* probe = connectSessionBus();
  found.bus = probe != nullptr;
  if (!probe) return found;
  // First, as keytap's own connection does: the registry takes no app after another call.
  const std::string refusal = registerApp(probe);
  found.version =
      interfaceVersion(probe, portalName, shortcutsInterface, true, sessionTimeoutMs, &found.error);
  found.appId = appId;
  if (found.version) found.appIdRefused = refusal;
  dbus_connection_close(probe);
  dbus_connection_unref(probe);
  return found;
}

}  // namespace portal
