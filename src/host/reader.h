// The reader thread: standard input to lines on the main thread.
#pragma once

#include <string>
#include <string_view>

/// One line as it is handed on: its carriage return (if any) removed, invalid UTF-8 replaced.
std::string finishLine(std::string_view raw);

/// Appends the chunk to `pending` and calls post with every complete line, finished as above,
/// without its line feed. What follows the last line feed stays in `pending`.
template <typename Post>
void splitLines(std::string& pending, std::string_view chunk, Post&& post) {
  size_t start = 0;
  for (size_t end = chunk.find('\n'); end != std::string_view::npos;
       end = chunk.find('\n', start)) {
    if (pending.empty()) {
      post(finishLine(chunk.substr(start, end - start)));
    } else {
      pending.append(chunk.substr(start, end - start));
      post(finishLine(pending));
      // Give back what a very long line needed instead of keeping it for good.
      if (pending.capacity() > (1 << 20)) {
        pending = std::string();
      } else {
        pending.clear();
      }
    }
    start = end + 1;
  }
  pending.append(chunk.substr(start));
}

/// Handles one posted line on the main thread, then lets the reader go on if it waits for room.
void serveLine(std::string_view line);

/// Reads standard input until it ends, posting each line to the main thread, then ends the
/// process with status 0 without waiting for the lines still queued. Reader thread only.
[[noreturn]] void readLines();
