#include <csignal>
#include <span>
#include <thread>

#include "host/reader.h"
#include "host/startup.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  // A host that closes our standard output must not kill us; writes then just fail.
  std::signal(SIGPIPE, SIG_IGN);
  startUp(std::span<const char* const>(argv, static_cast<size_t>(argc)));
  const std::thread reader(readLines);
  runMainLoop(serveLines);
}
