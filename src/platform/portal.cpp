// Linux backend through the desktop's GlobalShortcuts portal (opt-in, --portal): the desktop
// binds every registered accelerator as a shortcut and says when one is pressed and released,
// which reaches the matcher as that accelerator's own key events. Unlike the other sources it is
// not listen-only: the desktop takes the bound keys from the windows. Nothing here blocks once
// the session is open but the opening of another; every bind is asked and answered in the poll
// loop, and reported to the host as "binding" messages.
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
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
// Opening a session asks nobody, but a portal that is being started may take a while.
constexpr int sessionTimeoutMs = 5000;
// Registrations that come together (a host's start) are bound together, in one request.
constexpr long debounceMs = 50;

struct Told {
  BindingState state;
  std::string trigger;
  friend bool operator==(const Told&, const Told&) = default;
};

// The request in flight: one at a time, so that answers cannot overtake each other.
struct Pending {
  std::string path;
  dbus_uint32_t serial = 0;
  bool bind = false;               // else ListShortcuts
  std::vector<std::string> asked;  // the ids of a bind
};

std::string appId;
DBusConnection* bus = nullptr;
std::string session;  // the session's handle; empty while there is none
Tap portalTap;
bool tapOpened = false;
int debounce = -1;  // timerfd
unsigned tokens = 0;
std::optional<Pending> pending;
// What the desktop has bound, id to trigger description; and its last word on the ids of ours
// it has not bound (refused, failed, unbound), so that they are not asked again at once.
std::map<std::string, std::string> desktopHas;
std::map<std::string, BindingState> answered;
// What the host was told of each registered accelerator.
std::map<std::string, Told, std::less<>> told;
// The shortcuts the desktop says are down.
std::set<std::string, std::less<>> active;
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

void tell(const std::string& id, BindingState state, const std::string& trigger) {
  const Told now{state, state == BindingState::bound ? trigger : ""};
  const auto [entry, added] = told.try_emplace(id, now);
  if (!added && entry->second == now) return;
  entry->second = now;
  emit(bindingMessage(id, bindingStateName(now.state), now.trigger));
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
  send(std::move(call), {requestPath(token), 0, false, {}});
}

void bindShortcuts(std::vector<std::string> ids) {
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
  send(std::move(call), {requestPath(token), 0, true, std::move(ids)});
}

// Binds the registered accelerators when the desktop has not answered for one of them yet
// (asking again for what it has bound would open System Settings on Plasma 6.0 to 6.3), and
// otherwise tells the host what it has.
void reconsider() {
  if (session.empty() || pending) return;
  std::erase_if(answered, [](const auto& entry) { return !registered.contains(entry.first); });
  std::vector<std::string> ids;
  bool unanswered = false;
  for (const auto& [text, accel] : registered) {
    ids.push_back(text);
    unanswered = unanswered || (!desktopHas.contains(text) && !answered.contains(text));
  }
  if (unanswered) return bindShortcuts(std::move(ids));
  for (const std::string& id : ids) {
    const auto bound = desktopHas.find(id);
    if (bound != desktopHas.end()) {
      tell(id, BindingState::bound, bound->second);
    } else {
      tell(id, answered.at(id), "");
    }
  }
}

void takeListed(const std::vector<ListedShortcut>& shortcuts) {
  desktopHas.clear();
  for (const ListedShortcut& shortcut : shortcuts) desktopHas[shortcut.id] = shortcut.trigger;
}

void finishRequest(const Response& response) {
  const Pending request = std::move(*pending);
  pending.reset();
  if (response.shortcuts) takeListed(*response.shortcuts);
  for (const std::string& id : request.asked) {
    if (!registered.contains(id)) continue;
    const auto bound = desktopHas.find(id);
    const BindingState state = bindingState(bound != desktopHas.end(), response.code);
    if (state == BindingState::bound) {
      answered.erase(id);
      tell(id, state, bound->second);
    } else {
      answered[id] = state;
      tell(id, state, "");
    }
  }
  reconsider();
}

// The user rebound or removed shortcuts in the desktop's settings.
void shortcutsChanged(const std::vector<ListedShortcut>& shortcuts) {
  takeListed(shortcuts);
  for (const auto& [text, accel] : registered) {
    const auto bound = desktopHas.find(text);
    if (bound != desktopHas.end()) {
      answered.erase(text);
      tell(text, BindingState::bound, bound->second);
    } else if (const auto said = told.find(text);
               said != told.end() && said->second.state == BindingState::bound) {
      answered[text] = BindingState::unbound;
      tell(text, BindingState::unbound, "");
    }
  }
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

// The session ended (closed by the desktop, or the portal or the bus went away): every hold
// ends, and the tap callback has another session opened, whose binds follow.
void sessionEnded() {
  if (session.empty()) return;
  session.clear();
  pending.reset();
  desktopHas.clear();
  answered.clear();
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

void handleMessage(DBusMessage* message) {
  const int type = dbus_message_get_type(message);
  if (pending && (type == DBUS_MESSAGE_TYPE_ERROR) &&
      dbus_message_get_reply_serial(message) == pending->serial) {
    return finishRequest({});  // the call itself failed: code 2
  }
  if (type != DBUS_MESSAGE_TYPE_SIGNAL) return;
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

// Waits for the Response at `path`, setting aside every other message; null when none came in
// time or the bus went away.
Message awaitResponse(const std::string& path, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    while (Message message{dbus_connection_pop_message(bus)}) {
      const char* at = dbus_message_get_path(message.get());
      if (dbus_message_is_signal(message.get(), requestInterface, "Response") && at && path == at) {
        return message;
      }
      deferred.push_back(std::move(message));
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return nullptr;
    if (!dbus_connection_read_write(bus, static_cast<int>(left.count()))) return nullptr;
  }
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
  // xdg-desktop-portal 1.21 and later want an unsandboxed caller to name its app first, where
  // the interface is there; a portal without it names the app itself.
  if (!appId.empty()) {
    Message call = portalCall(portalPath, "org.freedesktop.host.portal.Registry", "Register");
    appendString(call.get(), appId);
    appendOptions(call.get(), {});
    callAndWait(bus, call.get(), sessionTimeoutMs, nullptr);
  }
  return true;
}

bool openSession() {
  if (!session.empty()) return true;
  if (!connect()) return false;
  const std::string token = nextToken();
  Message call = portalCall(portalPath, shortcutsInterface, "CreateSession");
  appendOptions(call.get(), {{"handle_token", token}, {"session_handle_token", nextToken()}});
  if (!callAndWait(bus, call.get(), sessionTimeoutMs, nullptr)) return false;
  const Message answer = awaitResponse(requestPath(token), sessionTimeoutMs);
  if (!answer) return false;
  const Response response = readResponse(answer.get());
  if (response.code != 0 || response.sessionHandle.empty()) return false;
  session = response.sessionHandle;
  // What the desktop kept from earlier sessions of this app is not asked for again.
  listShortcuts();
  return true;
}

}  // namespace

void setAppId(std::string_view id) {
  appId = id;
}

bool preflightListenAccess() {
  return openSession();
}

Tap* openTap(TapCallback onEvent) {
  if (!openSession()) return nullptr;
  portalTap.callback = onEvent;
  tapOpened = true;
  return &portalTap;
}

void enableTap() {
  openSession();
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
  Message call = Message(
      dbus_message_new_method_call(portalName, portalPath, DBUS_INTERFACE_PROPERTIES, "Get"));
  appendString(call.get(), shortcutsInterface);
  appendString(call.get(), "version");
  const Message reply = callAndWait(probe, call.get(), sessionTimeoutMs, &found.error);
  if (reply) found.version = readUintVariant(reply.get());
  dbus_connection_close(probe);
  dbus_connection_unref(probe);
  return found;
}

}  // namespace portal
