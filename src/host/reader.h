// The reader thread: standard input to lines on the main thread.
#pragma once

#include <string>
#include <string_view>

/// Appends one line as it is handed on: invalid UTF-8 replaced, then its line feed.
void appendLine(std::string& lines, std::string_view line);

/// Appends the chunk to `pending` and every complete line to `lines` as appendLine does, without
/// the carriage return before its line feed. What follows the last line feed stays in `pending`.
void splitLines(std::string& pending, std::string_view chunk, std::string& lines);

/// Handles each line of a posted batch (lines ended by line feeds), in order. Main thread.
void serveLines(std::string_view lines);

/// Reads standard input until it ends, posting its lines to the main thread as they come and
/// never waiting for them to be handled, then ends the process with status 0 without waiting
/// for the lines still queued. Reader thread only.
[[noreturn]] void readLines();
