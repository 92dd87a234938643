// What a Child is on every system: it owns its descriptors and ends its process.
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "support/process.h"

void closeDescriptor(int& descriptor) {
  if (descriptor >= 0) close(descriptor);
  descriptor = -1;
}

bool sendText(Child& child, std::string_view text) {
  while (!text.empty()) {
    const auto written = write(child.input, text.data(), static_cast<unsigned>(text.size()));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    text.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

void closeInput(Child& child) {
  closeDescriptor(child.input);
}

std::optional<std::string> takeBufferedLine(Child& child) {
  if (const size_t end = child.buffered.find('\n', child.consumed); end != std::string::npos) {
    std::string line = child.buffered.substr(child.consumed, end - child.consumed);
    child.consumed = end + 1;
    return line;
  }
  child.buffered.erase(0, child.consumed);
  child.consumed = 0;
  return std::nullopt;
}

Child::Child(Child&& other) noexcept {
  *this = std::move(other);
}

Child& Child::operator=(Child&& other) noexcept {
  std::swap(pid, other.pid);
  std::swap(input, other.input);
  std::swap(output, other.output);
  std::swap(errors, other.errors);
  std::swap(buffered, other.buffered);
  std::swap(consumed, other.consumed);
  std::swap(exitStatus, other.exitStatus);
  return *this;
}

Child::~Child() {
  endChild(*this);
  closeDescriptor(input);
  closeDescriptor(output);
  closeDescriptor(errors);
}
