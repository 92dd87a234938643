#include "host/reader.h"

#include <utility>

#include "host/handle.h"
#include "platform/platform.h"
#include "wire/utf8.h"

namespace {

constexpr size_t chunkSize = 64 * 1024;
// A line buffer that grew past this for one very long line is given back, not kept for good.
constexpr size_t keptCapacity = 1 << 20;

void clearLine(std::string& buffer) {
  if (buffer.capacity() > keptCapacity) {
    buffer = std::string();
  } else {
    buffer.clear();
  }
}

}  // namespace

void appendLine(std::string& lines, std::string_view line) {
  if (isValidUtf8(line)) {
    lines.append(line);
  } else {
    lines.append(repairUtf8(line));
  }
  lines.push_back('\n');
}

void splitLines(std::string& pending, std::string_view chunk, std::string& lines) {
  const size_t lastEnd = chunk.rfind('\n');
  // The batch is sized once, so a queued line costs its own length and no spare capacity.
  if (lastEnd != std::string_view::npos) lines.reserve(lines.size() + pending.size() + lastEnd + 1);
  size_t start = 0;
  for (size_t end = chunk.find('\n'); end != std::string_view::npos;
       end = chunk.find('\n', start)) {
    std::string_view line = chunk.substr(start, end - start);
    if (!pending.empty()) {
      pending.append(line);
      line = pending;
    }
    if (line.ends_with('\r')) line.remove_suffix(1);
    appendLine(lines, line);
    clearLine(pending);
    start = end + 1;
  }
  pending.append(chunk.substr(start));
}

void serveLines(std::string_view lines) {
  for (size_t start = 0; start < lines.size();) {
    size_t end = lines.find('\n', start);
    if (end == std::string_view::npos) end = lines.size();
    handle(lines.substr(start, end - start));
    start = end + 1;
  }
}

void readLines() {
  std::string pending;  // the start of a line whose line feed has not come yet
  std::string lines;    // the complete lines of one read
  char chunk[chunkSize];
  for (;;) {
    const size_t got = readInput(chunk, sizeof chunk);
    if (got == 0) break;
    // Every line goes to the main thread at once: a host that writes without reading our
    // replies must still get all of its input taken, or neither side could ever move again.
    splitLines(pending, std::string_view(chunk, got), lines);
    if (!lines.empty()) postLines(std::exchange(lines, std::string()));
  }
  // A last line without a line feed is still a line; it has no ending to strip.
  if (!pending.empty()) {
    appendLine(lines, pending);
    postLines(std::move(lines));
  }
  endProcess();
}
