// Linux backend through the desktop's GlobalShortcuts portal (opt-in, --portal): the desktop
// binds every registered accelerator as a shortcut and says when one is pressed and released,
// which reaches the matcher as that accelerator's own key events. Unlike the other sources it is
// not listen-only: the desktop takes the bound keys from the windows.
//
// A session is asked to bind once (GNOME refuses a second bind; the portal documents one), so
// a changed set of registrations is bound whole in a new session, which replaces the old one.
// Only opening a session blocks, 5 s at most; binds are asked and answered in the poll loop, and
// what became of each accelerator reaches the tap's callback as a shortcutBindingChanged event.
//
// Anyone on the session bus can send keytap a signal: only those of the portal's current owner
// count, and only the bus itself says who that is.
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "core/state.h"
#include "platform/key_positions.h"
#include "platform/linux/backends.h"
#include "platform/linux/portal/answers.h"
#include "platform/linux/portal/bus.h"
#include "platform/linux/portal/shortcuts.h"

namespace portal {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* requestInterface = "org.freedesktop.portal.Request";
constexpr const char* sessionInterface = "org.freedesktop.portal.Session";
constexpr const char* kdeBackend = "org.freedesktop.impl.portal.desktop.kde";
// Opening a session asks nobody, but a portal that is being started may take a while; this is
// all that connecting and opening may take together.
constexpr std::chrono::milliseconds openBudget{5000};
// Registrations that come together (a host's start) are bound together, in one request.
constexpr long debounceMs = 50;
// A session that fails to open, or that the desktop closes this soon after it opened, is tried
// again only after a pause that doubles each time, up to a minute: a desktop that closes every
// session, or a portal that does not answer, must neither loop nor block the main loop often.
constexpr std::chrono::milliseconds firstPause{1000};
constexpr std::chrono::milliseconds longestPause{60000};
constexpr std::chrono::milliseconds closedAtOnce{2000};

using Ids = ShortcutIds;

// The request in flight: one at a time, so that answers cannot overtake each other.
struct Pending {
  std::string path;
  dbus_uint32_t serial = 0;
  bool bind = false;  // else ListShortcuts
};

std::string appId;
DBusConnection* bus = nullptr;
// The unique name of the portal's current owner; empty while nobody owns it.
std::string portalOwner;
// Why the last session did not open, for the host; and why the portal refused the app id, which
// is the reason where the portal then opens no session.
std::string whyClosed;
std::string appRefused;
// KWin hears Shift with a digit or punctuation key as the symbol it types, Shift spent.
ShiftMatch shiftMatch = ShiftMatch::keyAndShift;
// KDE's backend before Plasma 6.5 (its version 1) makes a session's shortcuts live as soon as
// it lists them, and before 6.4 opens System Settings at every bind: there a session whose
// listing is exactly the registrations is not asked to bind. Everywhere else, as documented, a
// listing before the bind only says what earlier sessions had.
bool listingIsLive = false;

std::string session;        // the session's handle; empty while there is none
bool sessionBound = false;  // the session had its bind, or took the live listing instead
Ids sessionIds;             // what it was asked to bind

Tap portalTap;
bool tapOpened = false;
Clock::time_point openedAt;
Clock::time_point notBefore;  // no session is opened before then
std::chrono::milliseconds pause = firstPause;
// Wakes for registrationsChanged after a short pause, and when a session may be tried again.
int timer = -1;
unsigned tokens = 0;
std::optional<Pending> pending;
DesktopAnswers answers;
// The shortcuts the desktop says are down.
Ids active;
// Messages read while waiting for one reply, handled afterwards in their order.
std::deque<Message> deferred;

int msLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<int64_t>(left.count(), 0));
}

std::string nextToken() {
  return "keytap" + std::to_string(++tokens);
}

// Where the portal answers a request made with this token (documented since version 0.9).
std::string requestPath(const std::string& token) {
  std::string sender = dbus_bus_get_unique_name(bus) + 1;
  std::replace(sender.begin(), sender.end(), '.', '_');
  return std::string(portalPath) + "/request/" + sender + "/" + token;
}

bool fromPortal(DBusMessage* message) {
  const char* sender = dbus_message_get_sender(message);
  return sender && !portalOwner.empty() && portalOwner == sender;
}

// What the desktop said of the shortcut, unless the host was told already.
void tell(const std::string& id) {
  if (!tapOpened) return;
  if (const std::optional<Binding> binding = news(answers, id)) {
    Event event{0, 0, 0, id, {binding->state, binding->trigger}};
    portalTap.callback(shortcutBindingChanged, &event);
  }
}

void send(Message call, Pending request) {
  dbus_connection_send(bus, call.get(), &request.serial);
  dbus_connection_flush(bus);
  pending = std::move(request);
}

// A method call whose answer keytap does not wait for.
void sendAndForget(const std::string& path, const char* interface) {
  Message close(dbus_message_new_method_call(portalName, path.c_str(), interface, "Close"));
  dbus_message_set_no_reply(close.get(), true);
  dbus_connection_send(bus, close.get(), nullptr);
  dbus_connection_flush(bus);
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
    shortcuts.push_back({id, id, preferredTrigger(registered.find(id)->second, shiftMatch)});
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

// The shortcut's accelerator, pressed or released, as a key event of its key with exactly its
// modifiers, for that registration alone; a press of a shortcut already down is an autorepeat
// (KDE and GNOME repeat).
void deliver(const std::string& id, bool press) {
  const auto entry = registered.find(id);
  if (entry == registered.end() || !tapOpened) return;
  const bool wasDown = active.contains(id);
  if (press) active.insert(id);
  if (!press && !active.erase(id)) return;
  Event event{entry->second.keyCode, press && wasDown ? 1 : 0, entry->second.flags, entry->first};
  portalTap.callback(press ? keyDownEvent : keyUpEvent, &event);
}

// The host is the program that started keytap.
std::string sessionToken() {
  char host[4096];
  const std::string link = "/proc/" + std::to_string(getppid()) + "/exe";
  const ssize_t length = readlink(link.c_str(), host, sizeof host);
  return sessionTokenFor(length > 0 ? std::string_view(host, static_cast<size_t>(length)) : "");
}

void wakeAfter(Clock::duration delay) {
  if (timer < 0) timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::max<Clock::duration>(delay, std::chrono::milliseconds(1)))
                      .count();
  const itimerspec in{{0, 0}, {static_cast<time_t>(ns / 1000000000), ns % 1000000000}};
  timerfd_settime(timer, 0, &in, nullptr);
}

// The next try waits, and the one after it twice as long.
void pauseOpening() {
  notBefore = Clock::now() + pause;
  pause = std::min(pause * 2, longestPause);
  if (tapOpened) wakeAfter(notBefore - Clock::now());
}

// A session that lived past closedAtOnce worked: the next failure waits the first pause only.
void forgetSession() {
  if (!session.empty() && Clock::now() - openedAt >= closedAtOnce) pause = firstPause;
  session.clear();
  sessionBound = false;
  sessionIds.clear();
  answers.listed.clear();
  pending.reset();
}

// The session ended (closed by the desktop, or the portal or the bus went away): every hold
// ends, and the tap callback has another session opened, whose bind follows.
void endSession() {
  if (!session.empty() && Clock::now() - openedAt < closedAtOnce) pauseOpening();
  forgetSession();
  active.clear();
  if (tapOpened) portalTap.callback(shortcutSessionClosed, nullptr);
}

void closeBus() {
  deferred.clear();
  dbus_connection_close(bus);
  dbus_connection_unref(bus);
  bus = nullptr;
  portalOwner.clear();
}

void reconsider();

// A session handle is a path under the portal's own: anything else is no session of the portal's.
bool isSessionHandle(const std::string& path) {
  return validPath(path) && path.starts_with(std::string(portalPath) + "/session/");
}

// Opens a session, and binds the registrations in it (or takes the live listing of KDE's
// backend).
bool openSession(Clock::time_point deadline) {
  if (!session.empty()) return true;
  const std::string token = nextToken();
  Message call = portalCall(portalPath, shortcutsInterface, "CreateSession");
  appendOptions(call.get(), {{"handle_token", token}, {"session_handle_token", sessionToken()}});
  DBusError failure;
  dbus_error_init(&failure);
  const Message reply(
      dbus_connection_send_with_reply_and_block(bus, call.get(), msLeft(deadline), &failure));
  if (!reply) {
    const bool unknown = dbus_error_has_name(&failure, DBUS_ERROR_UNKNOWN_METHOD) ||
                         dbus_error_has_name(&failure, DBUS_ERROR_UNKNOWN_INTERFACE);
    whyClosed = unknown ? "the desktop's portal offers no global shortcuts"
                        : std::string("the desktop's portal opened no shortcut session (") +
                              (failure.message ? failure.message : "no answer") + ")";
    if (!appRefused.empty()) whyClosed = appRefused;
    dbus_error_free(&failure);
    return false;
  }
  dbus_error_free(&failure);
  Message answer;
  const std::string path = requestPath(token);
  // Every other message is set aside, in order, for the poll loop, but for the shortcut signals
  // of a session this one replaces (they have the same handle).
  while (!answer) {
    while (Message message{dbus_connection_pop_message(bus)}) {
      const char* at = dbus_message_get_path(message.get());
      if (dbus_message_is_signal(message.get(), requestInterface, "Response") && at && path == at &&
          fromPortal(message.get())) {
        answer = std::move(message);
        break;
      }
      if (dbus_message_has_interface(message.get(), shortcutsInterface)) continue;
      deferred.push_back(std::move(message));
      // A portal that went away will not answer.
      if (dbus_message_is_signal(deferred.back().get(), DBUS_INTERFACE_DBUS, "NameOwnerChanged") &&
          dbus_message_has_sender(deferred.back().get(), DBUS_SERVICE_DBUS)) {
        const std::vector<std::string> names = leadingStrings(deferred.back().get(), 3);
        if (names.size() == 3 && names[0] == portalName && names[2] != portalOwner) {
          whyClosed = "the desktop's portal went away";
          return false;
        }
      }
    }
    if (answer) break;
    const int left = msLeft(deadline);
    if (left == 0 || !dbus_connection_read_write(bus, left)) {
      whyClosed = appRefused.empty() ? "the desktop's portal did not answer in time" : appRefused;
      return false;
    }
  }
  const Response response = readResponse(answer.get());
  if (response.code != 0 || !isSessionHandle(response.sessionHandle)) {
    whyClosed = appRefused.empty() ? "the desktop refused a shortcut session" : appRefused;
    return false;
  }
  session = response.sessionHandle;
  openedAt = Clock::now();
  whyClosed.clear();
  if (listingIsLive) {
    listShortcuts();
  } else {
    reconsider();
  }
  return true;
}

// Whether KWin and KDE's backend serve the shortcuts: the session says it is KDE's (any program
// may own KDE's backend name, and another desktop may run that backend for other portals), and
// the backend runs, asked without starting it.
bool kdeServesShortcuts(Clock::time_point deadline) {
  const char* desktops = std::getenv("XDG_CURRENT_DESKTOP");
  return namesDesktop(desktops ? desktops : "", "KDE") &&
         nameHasOwner(bus, kdeBackend, std::max(msLeft(deadline), 1));
}

// A connection that names the app to the portal before anything else. A portal that went away
// is asked again on a new connection: the one that replaced it knows no app id of the old one.
bool connect(Clock::time_point deadline) {
  if (bus && !portalOwner.empty()) return true;
  if (bus) closeBus();
  bus = connectSessionBus(&whyClosed);
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
  // Without a portal the connection stays, to hear one come.
  portalOwner = startedOwner(bus, portalName, std::max(msLeft(deadline), 1));
  if (portalOwner.empty()) {
    whyClosed = "no desktop portal on the session bus";
    return false;
  }
  const std::string refusal = registerApp(bus, appId, std::max(msLeft(deadline), 1));
  appRefused = refusal.empty()
                   ? ""
                   : "the desktop's portal refused the app id " + appId + " (" + refusal + ")";
  const bool kde = kdeServesShortcuts(deadline);
  shiftMatch = kde ? ShiftMatch::shiftedSymbol : ShiftMatch::keyAndShift;
  listingIsLive =
      kde && interfaceVersion(bus, kdeBackend, "org.freedesktop.impl.portal.GlobalShortcuts", false,
                              std::max(msLeft(deadline), 1), nullptr) == 1u;
  return true;
}

// Ends the session, whose holds end with it, and binds the registrations in a new one.
void replaceSession() {
  for (const std::string& id : Ids(active)) deliver(id, false);
  // Closed before the next is opened, which takes its handle; the portal answers calls in order.
  sendAndForget(session, sessionInterface);
  forgetSession();
  if (openSession(Clock::now() + openBudget) || !tapOpened) return;
  pauseOpening();
  portalTap.callback(shortcutSessionClosed, nullptr);
}

// Binds the registrations where the session has not had its bind, and in a new session where
// they changed since; otherwise tells the host what the desktop said of each.
void reconsider() {
  if (session.empty()) {
    // The last session did not open again: a change of the registrations tries once more.
    if (tapOpened) portalTap.callback(shortcutSessionClosed, nullptr);
    return;
  }
  Ids wanted;
  for (const auto& entry : registered) wanted.insert(entry.first);
  if (pending) {
    // A bind the desktop leaves unanswered (a dialog nobody closes) must not hold up the next
    // set: that request is closed, and the set bound in a new session.
    if (!pending->bind || wanted == sessionIds) return;
    sendAndForget(pending->path, requestInterface);
    pending.reset();
    return replaceSession();
  }
  if (!sessionBound) {
    if (wanted.empty()) return;
    if (!listingIsLive || !listsExactly(answers, wanted)) return bindShortcuts(wanted);
    sessionBound = true;
    sessionIds = wanted;
    takeListingAsBound(answers, wanted);
  } else if (wanted != sessionIds) {
    return replaceSession();
  }
  for (const std::string& id : wanted) tell(id);
}

void finishRequest(const Response& response) {
  const bool bind = pending->bind;
  pending.reset();
  if (response.shortcuts) takeListing(answers, *response.shortcuts);
  if (bind) takeBindAnswer(answers, sessionIds, response.code);
  // A desktop that closes the session once it has answered closes it at once, however long the
  // user took to answer.
  if (bind) openedAt = Clock::now();
  reconsider();
}

// The user rebound or removed shortcuts in the desktop's settings. Before the bind is answered
// it only says what the answer will hold.
void shortcutsChanged(const std::vector<ListedShortcut>& shortcuts) {
  takeListing(answers, shortcuts);
  if (pending && pending->bind) return;
  takeChange(answers, sessionIds);
  for (const std::string& id : sessionIds) {
    if (registered.contains(id)) tell(id);
  }
}

void portalOwnerChanged(const std::string& owner) {
  if (owner == portalOwner) return;  // the owner keytap found, or started
  if (owner.empty()) {
    portalOwner.clear();
    if (!session.empty()) endSession();
    return;
  }
  // A new portal is a new chance, however the last ones went.
  closeBus();
  endSession();
  notBefore = {};
  pause = firstPause;
  if (tapOpened && session.empty()) portalTap.callback(shortcutSessionClosed, nullptr);
}

void busLost() {
  closeBus();
  if (!session.empty()) endSession();
}

void handleSignal(DBusMessage* message) {
  const char* path = dbus_message_get_path(message);
  if (dbus_message_is_signal(message, DBUS_INTERFACE_LOCAL, "Disconnected")) {
    // libdbus's own word, which no sender on the bus can give.
    if (!dbus_message_get_sender(message)) busLost();
    return;
  }
  if (dbus_message_is_signal(message, DBUS_INTERFACE_DBUS, "NameOwnerChanged")) {
    if (!dbus_message_has_sender(message, DBUS_SERVICE_DBUS)) return;
    const std::vector<std::string> names = leadingStrings(message, 3);
    if (names.size() == 3 && names[0] == portalName) portalOwnerChanged(names[2]);
    return;
  }
  if (!fromPortal(message)) return;
  if (dbus_message_is_signal(message, requestInterface, "Response")) {
    if (pending && path && pending->path == path) finishRequest(readResponse(message));
    return;
  }
  if (dbus_message_is_signal(message, sessionInterface, "Closed")) {
    if (path && !session.empty() && session == path) endSession();
    return;
  }
  const std::vector<std::string> arguments = leadingStrings(message, 2);
  if (arguments.empty() || session.empty() || arguments[0] != session) return;
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
      dbus_message_get_reply_serial(message) == pending->serial &&
      (fromPortal(message) || dbus_message_has_sender(message, DBUS_SERVICE_DBUS))) {
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

}  // namespace

void setAppId(std::string_view id) {
  appId = id;
}

bool preflightListenAccess() {
  if (!session.empty()) return true;
  const auto now = Clock::now();
  if (now < notBefore) {
    if (tapOpened) wakeAfter(notBefore - now);
    return false;
  }
  const auto deadline = now + openBudget;
  if (connect(deadline) && openSession(deadline)) return true;
  pauseOpening();
  return false;
}

Tap* openTap(TapCallback onEvent) {
  if (!preflightListenAccess()) return nullptr;
  portalTap.callback = onEvent;
  tapOpened = true;
  return &portalTap;
}

// A desktop binds what it can name, and nothing that types text.
std::string_view whyUnavailable(const Accel& accel) {
  if (preferredTrigger(accel, ShiftMatch::keyAndShift).empty()) return notAvailable;
  if (typesText(accel))
    return "a key that types text, which the desktop would take from every window";
  return "";
}

void enableTap() {
  preflightListenAccess();
}

bool tapIsEnabled() {
  return !session.empty();
}

std::string whyNoTap() {
  return session.empty() ? whyClosed : "";
}

bool keyIsDown(uint16_t keyCode) {
  return std::any_of(active.begin(), active.end(), [keyCode](const std::string& id) {
    const auto entry = registered.find(id);
    return entry != registered.end() && entry->second.keyCode == keyCode;
  });
}

void registrationsChanged() {
  std::erase_if(active, [](const std::string& id) { return !registered.contains(id); });
  std::erase_if(answers.told, [](const auto& entry) { return !registered.contains(entry.first); });
  wakeAfter(std::chrono::milliseconds(debounceMs));
}

void addTapSources(std::vector<pollfd>& sources) {
  int descriptor = -1;
  if (bus && dbus_connection_get_unix_fd(bus, &descriptor)) {
    sources.push_back({descriptor, POLLIN, 0});
  }
  if (timer >= 0) sources.push_back({timer, POLLIN, 0});
}

void serveTap(std::span<const pollfd> ready) {
  for (const pollfd& source : ready) {
    if (!source.revents) continue;
    if (source.fd == timer) {
      uint64_t expirations;
      while (read(timer, &expirations, sizeof expirations) < 0 && errno == EINTR) {
      }
      reconsider();
    } else if (bus && !dbus_connection_read_write(bus, 0)) {
      busLost();
    }
  }
  handleQueued();
}

PortalFacts facts() {
  PortalFacts found;
  DBusConnection* probe = connectSessionBus(&found.error);
  found.bus = probe != nullptr;
  if (!probe) return found;
  const int timeoutMs = static_cast<int>(openBudget.count());
  // First, as keytap's own connection does: the registry takes no app after another call.
  const std::string refusal = registerApp(probe, appId, timeoutMs);
  found.version =
      interfaceVersion(probe, portalName, shortcutsInterface, true, timeoutMs, &found.error);
  found.appId = appId;
  if (found.version) found.appIdRefused = refusal;
  dbus_connection_close(probe);
  dbus_connection_unref(probe);
  return found;
}

}  // namespace portal
