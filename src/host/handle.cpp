#include "host/handle.h"

#include <algorithm>

#include "accelerator/parse.h"
#include "core/registry.h"
#include "host/command.h"
#include "keyboard/capture.h"
#include "keyboard/listening.h"
#include "keyboard/tap.h"
#include "wire/emit.h"
#include "wire/messages.h"

namespace {

// The platform names what is missing where it is not the listen permission.
void refuseListening() {
  const std::string why = whyNoTap();
  emit(errorMessage("forbidden", why.empty() ? "Input Monitoring denied" : why));
}

// Whether another registration keeps the same chord from other programs already.
bool keptByAnother(const Accel& accel, std::string_view text) {
  return std::any_of(consuming.begin(), consuming.end(), [&](const std::string& other) {
    return other != text && registered.find(other)->second == accel;
  });
}

// The error for a key that stays with the other programs, where the platform says why.
void refuseKeeping(const KeepAnswer& answer, const std::string& text) {
  const char* code = answer.outcome == Keeping::taken       ? "conflict"
                     : answer.outcome == Keeping::forbidden ? "forbidden"
                                                            : "bad_request";
  emit(errorMessage(code, answer.why + ": " + text));
}

void registerAccelerator(const std::string& text, bool consume) {
  const std::optional<Accel> accel = parse(text);
  if (!accel) return emit(errorMessage("bad_request", "unknown accelerator: " + text));
  if (const std::string_view why = whyUnavailable(*accel); !why.empty()) {
    return emit(errorMessage("bad_request", std::string(why) + ": " + text));
  }
  // Kept from the system, a modifier would stay down in every other program.
  if (consume && accel->keyCode == modifiersOnly) {
    return emit(errorMessage("bad_request", "modifiers alone cannot be consumed: " + text));
  }
  if (registered.contains(text)) {
    return emit(errorMessage("conflict", "already registered: " + text));
  }
  // The tap is opened only for a text that is about to be stored.
  const bool opensTap = tap == nullptr;
  if (!createTap()) return refuseListening();
  if (consume && !keptByAnother(*accel, text)) {
    const KeepAnswer answer = keepFromOthers(*accel, true);
    if (answer.outcome != Keeping::kept) {
      refuseKeeping(answer, text);
      // The tap stays open for the next registers, which will not say so.
      if (opensTap) tapResumed();
      return;
    }
  }
  if (consume) consuming.insert(text);
  addRegistration(text, *accel);
  registrationsChanged();
  if (isMouseButton(accel->keyCode)) watchMouseButtons(true);
  emit(acceleratorMessage("registered", text));
  if (opensTap) tapResumed();
}

void unregisterAccelerator(const std::string& text) {
  const auto entry = registered.find(text);
  if (entry != registered.end() && consuming.contains(text) &&
      !keptByAnother(entry->second, text)) {
    keepFromOthers(entry->second, false);
  }
  consuming.erase(text);
  removeRegistration(text);
  registrationsChanged();
  held.erase(text);
  chorded.erase(text);
  // Pointer devices are watched only while a button is registered or a capture runs.
  if (options.mouseButtons && !anyMouseButtonRegistered() && !capture.running) {
    watchMouseButtons(false);
  }
  emit(acceleratorMessage("unregistered", text));
}

// A second capture while one runs changes nothing.
void captureChord() {
  // Through the desktop's portal only bound shortcuts come: no chord to record.
  if (!hearsEveryKey()) {
    return emit(errorMessage("bad_request", std::string(notAvailable) + ": capture"));
  }
  const bool opensTap = tap == nullptr;
  if (!createTap()) return refuseListening();
  startCapture();
  emit(emptyMessage("capturing"));
  if (opensTap) tapResumed();
}

void cancelCapture() {
  endCapture();
  emit(emptyMessage("capture_cancelled"));
}

void describeAccelerator(const std::string& text) {
  const std::optional<Accel> accel = parse(text);
  if (!accel) return emit(errorMessage("bad_request", "unknown accelerator: " + text));
  sayDescribed("described", *accel, text);
}

// The commands of --capture that need no accelerator.
bool needsNoAccelerator(std::string_view word) {
  return options.capture && (word == "capture" || word == "cancel_capture");
}

}  // namespace

void handle(std::string_view line) {
  const std::optional<Command> command = decodeCommand(line);
  if (!command || (!command->accelerator && !needsNoAccelerator(command->word))) {
    return emit(errorMessage("bad_request", "malformed command"));
  }
  const std::string& word = command->word;
  if (needsNoAccelerator(word)) return word == "capture" ? captureChord() : cancelCapture();
  const std::string& text = *command->accelerator;
  if (word == "register" && options.consume && command->consume == Consume::malformed) {
    return emit(errorMessage("bad_request", "consume takes true or false: " + text));
  }
  if (word == "register") {
    return registerAccelerator(text, options.consume && command->consume == Consume::yes);
  }
  if (word == "unregister") return unregisterAccelerator(text);
  if (options.capture && word == "describe") return describeAccelerator(text);
  emit(errorMessage("bad_request", "unknown command: " + word));
}
