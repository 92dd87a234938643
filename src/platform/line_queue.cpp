#include "platform/line_queue.h"

#include <mutex>

namespace {

std::mutex queueMutex;
std::vector<std::string> queued;

}  // namespace

bool queueLines(std::string lines) {
  const std::lock_guard lock(queueMutex);
  queued.push_back(std::move(lines));
  // The main loop takes the whole queue each time it wakes: one wake-up per batch is enough.
  return queued.size() == 1;
}

std::vector<std::string> takeLines() {
  std::vector<std::string> taken;
  const std::lock_guard lock(queueMutex);
  taken.swap(queued);
  return taken;
}
