// Standard input and output, and the end of the process, on POSIX systems (macOS, Linux).
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <span>

#include "platform/platform.h"

namespace {

constexpr int standardInput = 0;
constexpr int standardOutput = 1;
constexpr int standardError = 2;

// Waits until the descriptor is ready, for a host that handed us a non-blocking pipe.
void waitFor(int descriptor, short events) {
  pollfd ready{descriptor, events, 0};
  poll(&ready, 1, -1);
}

void writeTo(int descriptor, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(descriptor, bytes.data(), bytes.size());
    if (written > 0) {
      bytes.remove_prefix(static_cast<size_t>(written));
    } else if (written < 0 && errno == EAGAIN) {
      // Rather than cut a line short.
      waitFor(descriptor, POLLOUT);
    } else if (written < 0 && errno != EINTR) {
      return;
    }
  }
}

}  // namespace

void prepareProcess() {
  // A host that closes our standard output must not end us; writes then just fail.
  std::signal(SIGPIPE, SIG_IGN);
}

size_t readInput(char* buffer, size_t size) {
  for (;;) {
    const ssize_t got = read(standardInput, buffer, size);
    if (got >= 0) return static_cast<size_t>(got);
    if (errno == EAGAIN) {
      waitFor(standardInput, POLLIN);
    } else if (errno != EINTR) {
      return 0;  // an input that can no longer be read has ended
    }
  }
}

void writeOutput(std::string_view bytes) {
  writeTo(standardOutput, bytes);
}

void writeError(std::string_view bytes) {
  writeTo(standardError, bytes);
}

void endProcess() {
  _exit(0);
}
