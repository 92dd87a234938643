#include "host/emit.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "host/utf8.h"

namespace {

constexpr int standardOutput = 1;

bool holdsValidUtf8(const nlohmann::ordered_json& value) {
  if (value.is_string()) return isValidUtf8(value.get_ref<const std::string&>());
  if (value.is_object()) {
    for (const auto& [key, member] : value.items()) {
      if (!isValidUtf8(key) || !holdsValidUtf8(member)) return false;
    }
  }
  return true;
}

// Writes all of the bytes unless the descriptor fails for good (the host has gone away); a
// failed write is not reported, and never ends the process.
void writeAll(const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(standardOutput, data, size);
    if (written > 0) {
      data += written;
      size -= static_cast<size_t>(written);
    } else if (written < 0 && errno == EAGAIN) {
      // The host gave us a non-blocking pipe: wait for room rather than cut a line short.
      pollfd output{standardOutput, POLLOUT, 0};
      poll(&output, 1, -1);
    } else if (written < 0 && errno != EINTR) {
      return;
    }
  }
}

}  // namespace

void emit(const nlohmann::ordered_json& message) {
  if (!holdsValidUtf8(message)) return;
  const std::string text = message.dump();
  writeAll(text.data(), text.size());
  writeAll("\n", 1);
}

double nowMs() {
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double, std::milli>(sinceEpoch).count();
}
