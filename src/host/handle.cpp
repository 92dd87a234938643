#include "host/handle.h"

#include "accelerator/parse.h"
#include "core/registry.h"
#include "host/command.h"
#include "host/emit.h"
#include "host/messages.h"
#include "keyboard/listening.h"
#include "keyboard/tap.h"

namespace {

void registerAccelerator(const std::string& text) {
  const std::optional<Accel> accel = parse(text);
  if (!accel) return emit(errorMessage("bad_request", "unknown accelerator: " + text));
  if (!canHear(*accel)) {
    return emit(errorMessage("bad_request", "not available on this platform: " + text));
  }
  if (registered.contains(text)) {
    return emit(errorMessage("conflict", "already registered: " + text));
  }
  // The tap is opened only for a text that is about to be stored.
  const bool opensTap = tap == nullptr;
  if (!createTap()) return emit(errorMessage("forbidden", "Input Monitoring denied"));
  addRegistration(text, *accel);
  if (isMouseButton(accel->keyCode)) watchMouseButtons(true);
  emit(acceleratorMessage("registered", text));
  if (opensTap) tapResumed();
}

void unregisterAccelerator(const std::string& text) {
  removeRegistration(text);
  held.erase(text);
  chorded.erase(text);
  // Pointer devices are watched only while a button is registered.
  if (options.mouseButtons && !anyMouseButtonRegistered()) watchMouseButtons(false);
  emit(acceleratorMessage("unregistered", text));
}

}  // namespace

void handle(std::string_view line) {
  const std::optional<Command> command = decodeCommand(line);
  if (!command) return emit(errorMessage("bad_request", "malformed command"));
  if (command->word == "register") return registerAccelerator(command->accelerator);
  if (command->word == "unregister") return unregisterAccelerator(command->accelerator);
  emit(errorMessage("bad_request", "unknown command: " + command->word));
}
