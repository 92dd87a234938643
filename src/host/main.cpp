#include <span>
#include <thread>

#include "host/reader.h"
#include "host/startup.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  prepareProcess();
  startUp(std::span<const char* const>(argv, static_cast<size_t>(argc)));
  const std::thread reader(readLines);
  runMainLoop(serveLines);
}
