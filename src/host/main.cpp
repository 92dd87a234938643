#include <span>
#include <thread>

#include "host/command_line.h"
#include "host/reader.h"
#include "host/startup.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  const std::span<const char* const> args(argv, static_cast<size_t>(argc));
  prepareProcess();
  if (const std::optional<int> status = runCommandLine(args)) return *status;
  startUp(args);
  const std::thread reader(readLines);
  runMainLoop(serveLines);
}
