#include "wire/emit.h"

#include <chrono>

#include "wire/output.h"
#include "wire/utf8.h"

namespace {

bool holdsValidUtf8(const nlohmann::ordered_json& value) {
  if (value.is_string()) return isValidUtf8(value.get_ref<const std::string&>());
  if (value.is_object()) {
    for (const auto& [key, member] : value.items()) {
      if (!isValidUtf8(key) || !holdsValidUtf8(member)) return false;
    }
  }
  return true;
}

}  // namespace

void emit(const nlohmann::ordered_json& message) {
  if (!holdsValidUtf8(message)) return;
  writeOutput(message.dump());
  writeOutput("\n");
}

double nowMs() {
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double, std::milli>(sinceEpoch).count();
}
