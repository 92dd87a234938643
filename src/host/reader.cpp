#include "host/reader.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "host/handle.h"
#include "host/utf8.h"
#include "platform/platform.h"

namespace {

constexpr int standardInput = 0;
constexpr size_t chunkSize = 64 * 1024;

// Flow control: the reader stops reading while this much input waits on the main thread, so a
// host that writes faster than we answer fills its pipe instead of our memory.
constexpr size_t maxBytesInFlight = 256 * 1024;
constexpr size_t resumeBelow = maxBytesInFlight / 2;

std::atomic<size_t> bytesInFlight{0};
std::atomic<bool> readerWaiting{false};
int roomPipe[2] = {-1, -1};  // main thread to reader: there is room again

// Each line also counts a fixed cost, so that a flood of empty lines is bounded too.
size_t weight(std::string_view line) {
  return line.size() + 64;
}

// Ends the process without running destructors: the main thread may be using the state.
[[noreturn]] void endOfInput() {
  _exit(0);
}

void post(std::string line) {
  bytesInFlight += weight(line);
  postLine(std::move(line));
}

// Returns once the main thread has caught up. Ends the process if the host closes our input
// meanwhile: the lines still unread would go unanswered anyway.
void waitForRoom() {
  for (;;) {
    readerWaiting = true;
    if (bytesInFlight <= maxBytesInFlight) {
      readerWaiting = false;
      return;
    }
    // No events asked of standard input: only its hang-up is reported, not its pending data.
    pollfd sources[2] = {{standardInput, 0, 0}, {roomPipe[0], POLLIN, 0}};
    if (poll(sources, 2, -1) < 0) continue;
    if (sources[0].revents & (POLLHUP | POLLERR)) endOfInput();
    char drained[64];
    while (read(roomPipe[0], drained, sizeof drained) > 0) {
    }
  }
}

void openRoomPipe() {
  if (pipe(roomPipe) != 0) return;
  for (int end : roomPipe) {
    fcntl(end, F_SETFD, FD_CLOEXEC);
    fcntl(end, F_SETFL, O_NONBLOCK);
  }
}

}  // namespace

std::string finishLine(std::string_view raw) {
  if (raw.ends_with('\r')) raw.remove_suffix(1);
  return repairUtf8(raw);
}

void serveLine(std::string_view line) {
  handle(line);
  const size_t left = bytesInFlight -= weight(line);
  if (left <= resumeBelow && readerWaiting && readerWaiting.exchange(false)) {
    const char one = 1;
    while (write(roomPipe[1], &one, 1) < 0 && errno == EINTR) {
    }
  }
}

void readLines() {
  openRoomPipe();
  std::string pending;
  char chunk[chunkSize];
  for (;;) {
    if (bytesInFlight > maxBytesInFlight && roomPipe[0] >= 0) waitForRoom();
    const ssize_t got = read(standardInput, chunk, sizeof chunk);
    if (got > 0) {
      splitLines(pending, std::string_view(chunk, static_cast<size_t>(got)), post);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else if (got < 0 && errno == EAGAIN) {
      pollfd input{standardInput, POLLIN, 0};
      poll(&input, 1, -1);
    } else {
      // End of input, or an input that can no longer be read, which is the same to us.
      // A last line without a line feed is still a line; it has no ending to strip.
      if (!pending.empty()) post(repairUtf8(pending));
      endOfInput();
    }
  }
}
