#include "platform/linux/poll_loop.h"

#include <malloc.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

#include "platform/line_queue.h"
#include "platform/linux/ticker.h"
#include "platform/platform.h"

namespace {

// Input handled in one wake-up beyond this was a burst worth returning to the system.
constexpr size_t trimAfterBytes = 1 << 20;

// Wakes the main loop when the reader thread has queued lines.
int wakeDescriptor() {
  static const int descriptor = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  return descriptor;
}

void serveLines(LinesHandler handleLines) {
  // Drain the counter before taking the queue, so that a line posted in between wakes us again.
  uint64_t count;
  while (read(wakeDescriptor(), &count, sizeof count) < 0 && errno == EINTR) {
  }
  size_t handled = 0;
  for (const std::string& lines : takeLines()) {
    handleLines(lines);
    handled += lines.size();
  }
  // glibc keeps what a burst of queued input used for good; give it back to the system.
  if (handled > trimAfterBytes) malloc_trim(0);
}

}  // namespace

void postLines(std::string lines) {
  if (!queueLines(std::move(lines))) return;
  const uint64_t one = 1;
  while (write(wakeDescriptor(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void runMainLoop(LinesHandler handleLines) {
  std::vector<pollfd> sources;
  for (;;) {
    // Handling a line may have opened a tap whose first events are buffered already.
    serveTap({});
    sources.assign(1, {wakeDescriptor(), POLLIN, 0});
    addTapSources(sources);
    if (poll(sources.data(), sources.size(), msUntilTick()) < 0) continue;
    // Key events first: a key that reached us before a line was handled before it.
    serveTap(std::span(sources).subspan(1));
    if (sources[0].revents & POLLIN) serveLines(handleLines);
    tickIfDue();
  }
}
