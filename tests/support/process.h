// A child process driven over pipes, for the end-to-end tests, the demo and the benchmarks:
// process.cpp on POSIX systems, process_windows.cpp for the Windows suite, child.cpp on both.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct Child {
  Child() = default;
  Child(Child&& other) noexcept;
  Child& operator=(Child&& other) noexcept;
  ~Child();  // ends the process by its PID if it still runs

  pid_t pid = -1;
  int input = -1;        // the child's standard input
  int output = -1;       // the child's standard output
  int errors = -1;       // the child's standard error
  std::string buffered;  // read from output, not yet returned from its start on
  size_t consumed = 0;   // bytes of buffered already returned
  std::optional<int> exitStatus;
};

/// Starts `program` with `args` (the program path is added as the first argument) and the
/// environment of this process, with DISPLAY set to `display`, or unset when it is empty, and
/// no WAYLAND_DISPLAY or XDG_SESSION_TYPE.
/// Standard input, output and error are pipes. Nothing when the program cannot be started.
std::optional<Child> spawnChild(const std::string& program, const std::vector<std::string>& args,
                                const std::string& display);

/// Writes all of the text to the child's standard input.
bool sendText(Child& child, std::string_view text);
/// The next line of the child's standard output without its line feed, or nothing when none
/// comes within the timeout or the output ended.
std::optional<std::string> readLine(Child& child, int timeoutMs);
/// Whatever the child wrote to standard error so far.
std::string readErrors(Child& child);
/// Closes the child's standard input.
void closeInput(Child& child);
/// The child's exit status (128 + signal number when killed), or nothing when it has not
/// exited within the timeout.
std::optional<int> waitForExit(Child& child, int timeoutMs);
/// Ends the child by its PID (SIGKILL; TerminateProcess on Windows) and reaps it.
void endChild(Child& child);
/// The next whole line already read from the child's output, without its line feed; nothing when
/// none is there yet (what was returned is then dropped from the buffer).
std::optional<std::string> takeBufferedLine(Child& child);
/// Closes the descriptor if it is open, and marks it closed.
void closeDescriptor(int& descriptor);
