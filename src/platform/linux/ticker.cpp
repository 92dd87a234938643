#include "platform/linux/ticker.h"

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "platform/platform.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto interval = std::chrono::seconds(1);

Tick ticker = nullptr;
Clock::time_point nextTick;

}  // namespace

void tickEverySecond(Tick tick) {
  if (tick && !ticker) nextTick = Clock::now() + interval;
  ticker = tick;
}

int msUntilTick() {
  if (!ticker) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(nextTick - Clock::now());
  return static_cast<int>(std::max<int64_t>(0, left.count()));
}

void tickIfDue() {
  const Clock::time_point now = Clock::now();
  if (!ticker || now < nextTick) return;
  nextTick = now + interval;
  ticker();
}
