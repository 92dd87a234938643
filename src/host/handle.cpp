#include "host/handle.h"

#include <nlohmann/json.hpp>

#include "accelerator/parse.h"
#include "core/state.h"
#include "host/emit.h"
#include "host/messages.h"
#include "keyboard/tap.h"

using nlohmann::json;

namespace {

void registerAccelerator(const std::string& text) {
  const std::optional<Accel> accel = parse(text);
  if (!accel) return emit(errorMessage("bad_request", "unknown accelerator: " + text));
  if (registered.contains(text)) {
    return emit(errorMessage("conflict", "already registered: " + text));
  }
  // The tap is opened only for a text that is about to be stored.
  if (!createTap()) return emit(errorMessage("forbidden", "Input Monitoring denied"));
  registered.emplace(text, *accel);
  emit(acceleratorMessage("registered", text));
}

void unregisterAccelerator(const std::string& text) {
  if (const auto entry = registered.find(text); entry != registered.end()) registered.erase(entry);
  if (const auto entry = held.find(text); entry != held.end()) held.erase(entry);
  emit(acceleratorMessage("unregistered", text));
}

}  // namespace

std::optional<Command> decodeCommand(std::string_view line) {
  // Strict RFC 8259: no comments, nothing but white space after the value, no exception.
  const json value = json::parse(line, nullptr, false);
  if (!value.is_object()) return std::nullopt;

  const auto word = value.find("t");
  if (word == value.end() || !word->is_string()) return std::nullopt;
  const auto payload = value.find("d");
  if (payload == value.end() || !payload->is_object()) return std::nullopt;
  const auto accelerator = payload->find("accelerator");
  if (accelerator == payload->end() || !accelerator->is_string()) return std::nullopt;

  return Command{word->get<std::string>(), accelerator->get<std::string>()};
}

void handle(std::string_view line) {
  const std::optional<Command> command = decodeCommand(line);
  if (!command) return emit(errorMessage("bad_request", "malformed command"));
  if (command->word == "register") return registerAccelerator(command->accelerator);
  if (command->word == "unregister") return unregisterAccelerator(command->accelerator);
  emit(errorMessage("bad_request", "unknown command: " + command->word));
}
