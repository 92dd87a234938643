#include "platform/linux/portal/bus.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace {

// Opens a container, lets `fill` append to it, and closes it.
template <typename Fill>
void appendContainer(DBusMessageIter* parent, int type, const char* signature, Fill fill) {
  DBusMessageIter child;
  dbus_message_iter_open_container(parent, type, signature, &child);
  fill(&child);
  dbus_message_iter_close_container(parent, &child);
}

// An invalid value would end the process inside libdbus; callers check theirs first, so that the
// empty stand-in is never sent.
void appendBasicString(DBusMessageIter* iter, int type, const std::string& text) {
  const bool valid = type == DBUS_TYPE_OBJECT_PATH ? validPath(text) : validUtf8(text);
  const char* value = valid ? text.c_str() : type == DBUS_TYPE_OBJECT_PATH ? "/" : "";
  dbus_message_iter_append_basic(iter, type, &value);
}

void appendDict(DBusMessageIter* iter,
                const std::vector<std::pair<std::string_view, std::string>>& entries) {
  appendContainer(iter, DBUS_TYPE_ARRAY, "{sv}", [&](DBusMessageIter* dict) {
    for (const auto& [key, value] : entries) {
      appendContainer(dict, DBUS_TYPE_DICT_ENTRY, nullptr, [&](DBusMessageIter* entry) {
        appendBasicString(entry, DBUS_TYPE_STRING, std::string(key));
        appendContainer(entry, DBUS_TYPE_VARIANT, "s", [&](DBusMessageIter* variant) {
          appendBasicString(variant, DBUS_TYPE_STRING, value);
        });
      });
    }
  });
}

std::string basicString(DBusMessageIter* iter) {
  const int type = dbus_message_iter_get_arg_type(iter);
  if (type != DBUS_TYPE_STRING && type != DBUS_TYPE_OBJECT_PATH) return "";
  const char* value = nullptr;
  dbus_message_iter_get_basic(iter, &value);
  return value ? value : "";
}

// Calls `take(key, value)` for each entry of the a{sv} at `iter`, the value inside its variant.
template <typename Take>
void eachEntry(DBusMessageIter* iter, Take take) {
  if (dbus_message_iter_get_arg_type(iter) != DBUS_TYPE_ARRAY) return;
  DBusMessageIter dict;
  for (dbus_message_iter_recurse(iter, &dict);
       dbus_message_iter_get_arg_type(&dict) == DBUS_TYPE_DICT_ENTRY;
       dbus_message_iter_next(&dict)) {
    DBusMessageIter entry;
    dbus_message_iter_recurse(&dict, &entry);
    const std::string key = basicString(&entry);
    if (!dbus_message_iter_next(&entry) ||
        dbus_message_iter_get_arg_type(&entry) != DBUS_TYPE_VARIANT) {
      continue;
    }
    DBusMessageIter value;
    dbus_message_iter_recurse(&entry, &value);
    take(key, &value);
  }
}

// The a(sa{sv}) of shortcuts at `iter`.
std::vector<ListedShortcut> readShortcuts(DBusMessageIter* iter) {
  std::vector<ListedShortcut> shortcuts;
  if (dbus_message_iter_get_arg_type(iter) != DBUS_TYPE_ARRAY) return shortcuts;
  DBusMessageIter array;
  for (dbus_message_iter_recurse(iter, &array);
       dbus_message_iter_get_arg_type(&array) == DBUS_TYPE_STRUCT; dbus_message_iter_next(&array)) {
    DBusMessageIter fields;
    dbus_message_iter_recurse(&array, &fields);
    ListedShortcut shortcut{basicString(&fields), ""};
    if (dbus_message_iter_next(&fields)) {
      eachEntry(&fields, [&](const std::string& key, DBusMessageIter* value) {
        if (key == "trigger_description") shortcut.trigger = basicString(value);
      });
    }
    shortcuts.push_back(std::move(shortcut));
  }
  return shortcuts;
}

// Where the session bus is. libdbus, asked for the session bus without an address, would start
// a bus of its own (dbus-launch) that outlives keytap.
std::string sessionBusAddress() {
  // Each of the addresses it lists but those that would start a bus (autolaunch:).
  std::string kept;
  const char* listed = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  for (std::string_view rest = listed ? listed : ""; !rest.empty();) {
    const std::string_view entry = rest.substr(0, rest.find(';'));
    rest.remove_prefix(std::min(entry.size() + 1, rest.size()));
    if (entry.empty() || entry.starts_with("autolaunch:")) continue;
    kept.append(kept.empty() ? "" : ";").append(entry);
  }
  if (!kept.empty()) return kept;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime || !*runtime) return "";
  const std::string socket = std::string(runtime) + "/bus";
  struct stat found {};
  if (stat(socket.c_str(), &found) != 0 || !S_ISSOCK(found.st_mode)) return "";
  char* escaped = dbus_address_escape_value(socket.c_str());
  if (!escaped) return "";
  std::string address = std::string("unix:path=") + escaped;
  dbus_free(escaped);
  return address;
}

}  // namespace

DBusConnection* connectSessionBus(std::string* why) {
  const std::string address = sessionBusAddress();
  if (address.empty()) {
    *why = "no D-Bus session bus (none in DBUS_SESSION_BUS_ADDRESS, none at $XDG_RUNTIME_DIR/bus)";
    return nullptr;
  }
  DBusError error;
  dbus_error_init(&error);
  DBusConnection* bus = dbus_connection_open_private(address.c_str(), &error);
  if (bus && !dbus_bus_register(bus, &error)) {
    dbus_connection_close(bus);
    dbus_connection_unref(bus);
    bus = nullptr;
  }
  if (!bus)
    *why = std::string("the D-Bus session bus does not answer (") +
           (error.message ? error.message : address.c_str()) + ")";
  dbus_error_free(&error);
  if (bus) dbus_connection_set_exit_on_disconnect(bus, false);
  return bus;
}

bool validPath(std::string_view text) {
  return text.find('\0') == std::string_view::npos &&
         dbus_validate_path(std::string(text).c_str(), nullptr);
}

bool validUtf8(std::string_view text) {
  return text.find('\0') == std::string_view::npos &&
         dbus_validate_utf8(std::string(text).c_str(), nullptr);
}

Message portalCall(const char* path, const char* interface, const char* method) {
  return Message(dbus_message_new_method_call(portalName, path, interface, method));
}

void appendString(DBusMessage* message, std::string_view text) {
  DBusMessageIter iter;
  dbus_message_iter_init_append(message, &iter);
  appendBasicString(&iter, DBUS_TYPE_STRING, std::string(text));
}

void appendObjectPath(DBusMessage* message, std::string_view path) {
  DBusMessageIter iter;
  dbus_message_iter_init_append(message, &iter);
  appendBasicString(&iter, DBUS_TYPE_OBJECT_PATH, std::string(path));
}

void appendOptions(DBusMessage* message,
                   const std::vector<std::pair<std::string_view, std::string>>& options) {
  DBusMessageIter iter;
  dbus_message_iter_init_append(message, &iter);
  appendDict(&iter, options);
}

void appendShortcuts(DBusMessage* message, const std::vector<ShortcutRequest>& shortcuts) {
  DBusMessageIter iter;
  dbus_message_iter_init_append(message, &iter);
  appendContainer(&iter, DBUS_TYPE_ARRAY, "(sa{sv})", [&](DBusMessageIter* array) {
    for (const ShortcutRequest& shortcut : shortcuts) {
      appendContainer(array, DBUS_TYPE_STRUCT, nullptr, [&](DBusMessageIter* fields) {
        appendBasicString(fields, DBUS_TYPE_STRING, shortcut.id);
        appendDict(fields, {{"description", shortcut.description},
                            {"preferred_trigger", shortcut.preferredTrigger}});
      });
    }
  });
}

Message callAndWait(DBusConnection* bus, DBusMessage* call, int timeoutMs, std::string* error) {
  DBusError failure;
  dbus_error_init(&failure);
  Message reply(dbus_connection_send_with_reply_and_block(bus, call, timeoutMs, &failure));
  if (!reply && error)
    *error = failure.message ? failure.message : failure.name ? failure.name : "";
  dbus_error_free(&failure);
  return reply;
}

std::string nameOwner(DBusConnection* bus, const char* name, int timeoutMs) {
  Message call(dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS,
                                            "GetNameOwner"));
  appendString(call.get(), name);
  const Message reply = callAndWait(bus, call.get(), timeoutMs, nullptr);
  const std::vector<std::string> owner =
      reply ? leadingStrings(reply.get(), 1) : std::vector<std::string>{};
  return owner.empty() ? "" : owner[0];
}

bool nameHasOwner(DBusConnection* bus, const char* name, int timeoutMs) {
  Message call(dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS,
                                            "NameHasOwner"));
  appendString(call.get(), name);
  const Message reply = callAndWait(bus, call.get(), timeoutMs, nullptr);
  dbus_bool_t has = false;
  return reply &&
         dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_BOOLEAN, &has, DBUS_TYPE_INVALID) &&
         has;
}

std::string startedOwner(DBusConnection* bus, const char* name, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  const auto left = [deadline] {
    return static_cast<int>(std::max<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  deadline - std::chrono::steady_clock::now())
                                                  .count(),
                                              1));
  };
  std::string owner = nameOwner(bus, name, left());
  if (!owner.empty()) return owner;
  Message start(dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS,
                                             "StartServiceByName"));
  appendString(start.get(), name);
  const dbus_uint32_t flags = 0;
  dbus_message_append_args(start.get(), DBUS_TYPE_UINT32, &flags, DBUS_TYPE_INVALID);
  if (!callAndWait(bus, start.get(), left(), nullptr)) return "";
  return nameOwner(bus, name, left());
}

std::string registerApp(DBusConnection* bus, std::string_view appId, int timeoutMs) {
  if (appId.empty()) return "";
  Message call = portalCall(portalPath, "org.freedesktop.host.portal.Registry", "Register");
  appendString(call.get(), appId);
  appendOptions(call.get(), {});
  DBusError failure;
  dbus_error_init(&failure);
  const Message reply(
      dbus_connection_send_with_reply_and_block(bus, call.get(), timeoutMs, &failure));
  std::string refusal;
  if (!reply && !dbus_error_has_name(&failure, DBUS_ERROR_UNKNOWN_METHOD) &&
      !dbus_error_has_name(&failure, DBUS_ERROR_UNKNOWN_INTERFACE)) {
    refusal = failure.message ? failure.message : "no answer";
  }
  dbus_error_free(&failure);
  return refusal;
}

std::vector<std::string> leadingStrings(DBusMessage* message, size_t count) {
  std::vector<std::string> strings;
  DBusMessageIter iter;
  if (!dbus_message_iter_init(message, &iter)) return strings;
  do {
    const int type = dbus_message_iter_get_arg_type(&iter);
    if (type != DBUS_TYPE_STRING && type != DBUS_TYPE_OBJECT_PATH) break;
    strings.push_back(basicString(&iter));
  } while (strings.size() < count && dbus_message_iter_next(&iter));
  return strings;
}

Response readResponse(DBusMessage* message) {
  Response response;
  DBusMessageIter iter;
  if (!dbus_message_iter_init(message, &iter) ||
      dbus_message_iter_get_arg_type(&iter) != DBUS_TYPE_UINT32) {
    return response;
  }
  dbus_message_iter_get_basic(&iter, &response.code);
  if (!dbus_message_iter_next(&iter)) return response;
  eachEntry(&iter, [&](const std::string& key, DBusMessageIter* value) {
    if (key == "session_handle") response.sessionHandle = basicString(value);
    if (key == "shortcuts") response.shortcuts = readShortcuts(value);
  });
  return response;
}

std::vector<ListedShortcut> readChangedShortcuts(DBusMessage* message) {
  DBusMessageIter iter;
  if (!dbus_message_iter_init(message, &iter) || !dbus_message_iter_next(&iter)) return {};
  return readShortcuts(&iter);
}

std::optional<uint32_t> interfaceVersion(DBusConnection* bus, const char* service,
                                         const char* interface, bool startIt, int timeoutMs,
                                         std::string* error) {
  Message get(dbus_message_new_method_call(service, portalPath, DBUS_INTERFACE_PROPERTIES, "Get"));
  dbus_message_set_auto_start(get.get(), startIt);
  appendString(get.get(), interface);
  appendString(get.get(), "version");
  const Message reply = callAndWait(bus, get.get(), timeoutMs, error);
  DBusMessageIter iter;
  if (!reply || !dbus_message_iter_init(reply.get(), &iter) ||
      dbus_message_iter_get_arg_type(&iter) != DBUS_TYPE_VARIANT) {
    return std::nullopt;
  }
  DBusMessageIter value;
  dbus_message_iter_recurse(&iter, &value);
  if (dbus_message_iter_get_arg_type(&value) != DBUS_TYPE_UINT32) return std::nullopt;
  uint32_t number = 0;
  dbus_message_iter_get_basic(&value, &number);
  return number;
}
