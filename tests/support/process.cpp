#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include "support/pipes.h"

extern char** environ;

std::optional<Child> spawnChild(const std::string& program, const std::vector<std::string>& args,
                                const std::string& display) {
  int in[2], out[2], err[2];
  if (!openPipe(in) || !openPipe(out) || !openPipe(err)) {
    return std::nullopt;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);

  std::vector<std::string> argStrings{program};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argStrings) argv.push_back(arg.data());
  argv.push_back(nullptr);

  std::vector<std::string> envStrings;
  for (char** entry = environ; *entry; ++entry) {
    // The session the tests run in is not the one they give keytap.
    const std::string_view variable(*entry);
    if (!variable.starts_with("DISPLAY=") && !variable.starts_with("WAYLAND_DISPLAY=") &&
        !variable.starts_with("XDG_SESSION_TYPE=")) {
      envStrings.emplace_back(variable);
    }
  }
  if (!display.empty()) envStrings.push_back("DISPLAY=" + display);
  std::vector<char*> envp;
  for (std::string& entry : envStrings) envp.push_back(entry.data());
  envp.push_back(nullptr);

  Child child;
  const int spawned =
      posix_spawn(&child.pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  child.input = in[1];
  child.output = out[0];
  child.errors = err[0];
  if (spawned != 0) {
    child.pid = -1;
    return std::nullopt;
  }
  fcntl(child.errors, F_SETFL, O_NONBLOCK);
  return child;
}

std::optional<std::string> readLine(Child& child, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (std::optional<std::string> line = takeBufferedLine(child)) return line;
    // Poll at least once, even when the time is up: data may already be waiting.
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd ready{child.output, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) <= 0)
      return std::nullopt;
    char chunk[65536];
    const ssize_t got = read(child.output, chunk, sizeof chunk);
    if (got == 0) return std::nullopt;
    if (got > 0) child.buffered.append(chunk, static_cast<size_t>(got));
  }
}

std::string readErrors(Child& child) {
  std::string all;
  char chunk[4096];
  ssize_t got;
  while ((got = read(child.errors, chunk, sizeof chunk)) > 0) {
    all.append(chunk, static_cast<size_t>(got));
  }
  return all;
}

std::optional<int> waitForExit(Child& child, int timeoutMs) {
  if (child.exitStatus) return child.exitStatus;
  if (child.pid < 0) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(child.pid, &status, WNOHANG);
    if (done == child.pid) {
      child.pid = -1;
      child.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return child.exitStatus;
    }
    if (done < 0 || std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void endChild(Child& child) {
  if (child.pid < 0) return;
  kill(child.pid, SIGKILL);
  int status = 0;
  waitpid(child.pid, &status, 0);
  child.pid = -1;
}
