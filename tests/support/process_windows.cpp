// The child processes of the Windows end-to-end suite, on Windows itself or under wine: pipes
// made with CreatePipe, held as C runtime descriptors so that Child is the same on every system.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <chrono>
#include <map>
#include <thread>

#include "support/process.h"

namespace {

// The process handles by PID, kept open so that the PID cannot be reused while a Child has it.
std::map<pid_t, HANDLE> processes;

HANDLE handleOf(int descriptor) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
}

// A pipe whose `childEnd` (0 to read, 1 to write) the child inherits; this process keeps the
// other end as a descriptor.
bool makePipe(HANDLE& inherited, int& kept, int childEnd) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE ends[2];
  if (!CreatePipe(&ends[0], &ends[1], &inherit, 0)) return false;
  SetHandleInformation(ends[1 - childEnd], HANDLE_FLAG_INHERIT, 0);
  inherited = ends[childEnd];
  kept = _open_osfhandle(reinterpret_cast<intptr_t>(ends[1 - childEnd]),
                         (childEnd == 0 ? _O_WRONLY : _O_RDONLY) | _O_BINARY);
  return kept >= 0;
}

// One argument as CommandLineToArgvW reads it back.
std::string quoted(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string out(1, '"');
  size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, '\\');
  out += '"';
  return out;
}

// What a pipe holds now; nothing once the other end is closed.
std::optional<DWORD> waiting(int descriptor) {
  DWORD available = 0;
  if (!PeekNamedPipe(handleOf(descriptor), nullptr, 0, nullptr, &available, nullptr)) {
    return std::nullopt;
  }
  return available;
}

}  // namespace

// No display on Windows: `display` is for X11 only.
std::optional<Child> spawnChild(const std::string& program, const std::vector<std::string>& args,
                                const std::string&) {
  Child child;
  HANDLE in = nullptr, out = nullptr, err = nullptr;
  if (!makePipe(in, child.input, 0) || !makePipe(out, child.output, 1) ||
      !makePipe(err, child.errors, 1)) {
    return std::nullopt;
  }
  std::string path = program;
  for (char& c : path) c = c == '/' ? '\\' : c;
  std::string commandLine = quoted(path);
  for (const std::string& arg : args) {
    commandLine += ' ';
    commandLine += quoted(arg);
  }

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION started{};
  const bool spawned = CreateProcessA(path.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &started);
  CloseHandle(in);
  CloseHandle(out);
  CloseHandle(err);
  if (!spawned) return std::nullopt;
  CloseHandle(started.hThread);
  child.pid = static_cast<pid_t>(started.dwProcessId);
  processes[child.pid] = started.hProcess;
  return child;
}

std::optional<std::string> readLine(Child& child, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (std::optional<std::string> line = takeBufferedLine(child)) return line;
    // Anonymous pipes cannot be waited on: look until something is there or the time is up.
    const std::optional<DWORD> available = waiting(child.output);
    if (!available) return std::nullopt;
    if (*available == 0) {
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    char chunk[65536];
    const int got = _read(child.output, chunk, sizeof chunk);
    if (got <= 0) return std::nullopt;
    child.buffered.append(chunk, static_cast<size_t>(got));
  }
}

std::string readErrors(Child& child) {
  std::string all;
  char chunk[4096];
  for (std::optional<DWORD> available = waiting(child.errors); available && *available > 0;
       available = waiting(child.errors)) {
    const int got = _read(child.errors, chunk, sizeof chunk);
    if (got <= 0) break;
    all.append(chunk, static_cast<size_t>(got));
  }
  return all;
}

std::optional<int> waitForExit(Child& child, int timeoutMs) {
  if (child.exitStatus) return child.exitStatus;
  const auto process = processes.find(child.pid);
  if (process == processes.end()) return std::nullopt;
  if (WaitForSingleObject(process->second, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) {
    return std::nullopt;
  }
  DWORD status = 0;
  GetExitCodeProcess(process->second, &status);
  CloseHandle(process->second);
  processes.erase(process);
  child.pid = -1;
  child.exitStatus = static_cast<int>(status);
  return child.exitStatus;
}

void endChild(Child& child) {
  const auto process = processes.find(child.pid);
  if (process == processes.end()) return;
  TerminateProcess(process->second, 137);
  WaitForSingleObject(process->second, INFINITE);
  CloseHandle(process->second);
  processes.erase(process);
  child.pid = -1;
}
