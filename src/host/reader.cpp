#include "host/reader.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "host/utf8.h"
#include "platform/platform.h"

namespace {

constexpr int standardInput = 0;
constexpr size_t chunkSize = 64 * 1024;

// Ends the process without running destructors: the main thread may be using the state.
[[noreturn]] void endOfInput() {
  _exit(0);
}

}  // namespace

std::string finishLine(std::string_view raw) {
  if (raw.ends_with('\r')) raw.remove_suffix(1);
  return repairUtf8(raw);
}

void readLines() {
  std::string pending;
  char chunk[chunkSize];
  for (;;) {
    const ssize_t got = read(standardInput, chunk, sizeof chunk);
    if (got > 0) {
      splitLines(pending, std::string_view(chunk, static_cast<size_t>(got)), postLine);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else if (got < 0 && errno == EAGAIN) {
      pollfd input{standardInput, POLLIN, 0};
      poll(&input, 1, -1);
    } else {
      // End of input, or an input that can no longer be read, which is the same to us.
      // A last line without a line feed is still a line; it has no ending to strip.
      if (!pending.empty()) postLine(repairUtf8(pending));
      endOfInput();
    }
  }
}
