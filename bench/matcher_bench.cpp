// The matcher's cost per key event, against the fake platform, with output going to a pipe that
// another thread drains (as a host would).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <thread>

#include "core/registry.h"
#include "keyboard/tap.h"
#include "platform/kept_keys.h"
#include "support/fake_platform.h"

namespace {

// Registers `count` distinct texts; only the first is Cmd+K, the others use other keys.
void registerAccelerators(int64_t count) {
  fakeReset();
  createTap();
  addRegistration("Cmd+K", Accel{40, commandFlag});
  for (int64_t i = 1; i < count; ++i) {
    addRegistration(
        "Shift+F" + std::to_string(i % 20 + 1) + std::string(static_cast<size_t>(i / 20), '+'),
        Accel{static_cast<uint16_t>(96 + i % 20), shiftFlag});
  }
}

// A key that no registration uses: the common case, every keystroke the user types.
void unmatchedKey(benchmark::State& state) {
  registerAccelerators(state.range(0));
  Event down{0, 0, 0};
  Event up{0, 0, 0};
  for (auto _ : state) {
    benchmark::DoNotOptimize(fakeDeliver(keyDownEvent, &down));
    benchmark::DoNotOptimize(fakeDeliver(keyUpEvent, &up));
  }
  state.SetItemsProcessed(state.iterations() * 2);
}

// Cmd+K pressed and released: two messages written.
void matchedKey(benchmark::State& state) {
  registerAccelerators(state.range(0));
  Event down{40, 0, commandFlag};
  Event up{40, 0, 0};
  for (auto _ : state) {
    benchmark::DoNotOptimize(fakeDeliver(keyDownEvent, &down));
    benchmark::DoNotOptimize(fakeDeliver(keyUpEvent, &up));
  }
  state.SetItemsProcessed(state.iterations() * 2);
}

// With --extended-keys, where modifier keys are events too: a key and Left Shift, neither of
// which matches, among the same registrations and one modifier-only one in a hundred.
void unmatchedKeyExtended(benchmark::State& state) {
  registerAccelerators(state.range(0));
  options.extendedKeys = true;
  const Accel rightAlt{modifiersOnly, optionFlag, rightOptionFlag,
                       leftOptionFlag | rightOptionFlag};
  for (int64_t i = 0; i < state.range(0) / 100; ++i) {
    addRegistration("RightAlt" + std::string(static_cast<size_t>(i), '+'), rightAlt);
  }
  Event key{0, 0, 0};
  Event shiftDown{56, 0, shiftFlag | leftShiftFlag};
  Event shiftUp{56, 0, 0};
  for (auto _ : state) {
    benchmark::DoNotOptimize(fakeDeliver(keyDownEvent, &shiftDown));
    benchmark::DoNotOptimize(fakeDeliver(keyDownEvent, &key));
    benchmark::DoNotOptimize(fakeDeliver(keyUpEvent, &key));
    benchmark::DoNotOptimize(fakeDeliver(keyUpEvent, &shiftUp));
  }
  state.SetItemsProcessed(state.iterations() * 4);
}

// What a low-level hook or an active tap decides per key event with `count` chords kept
// (--consume): a key typed with none of them, down and up, which must pass at once.
void keptKeyEvent(benchmark::State& state) {
  KeptKeys kept;
  for (int64_t i = 0; i < state.range(0); ++i) {
    kept.chords.push_back(Accel{static_cast<uint16_t>(96 + i % 20), shiftFlag});
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(keepsKeyEvent(kept, 40, true, false, controlFlag));
    benchmark::DoNotOptimize(keepsKeyEvent(kept, 40, false, false, 0));
  }
  state.SetItemsProcessed(state.iterations() * 2);
}

BENCHMARK(keptKeyEvent)->Arg(1)->Arg(100);
BENCHMARK(unmatchedKey)->Arg(1)->Arg(100)->Arg(10000);
BENCHMARK(unmatchedKeyExtended)->Arg(100)->Arg(10000);
BENCHMARK(matchedKey)->Arg(1)->Arg(100)->Arg(10000);

}  // namespace

int main(int argc, char** argv) {
  // Standard output becomes a pipe that a thread drains; the JSON report goes to the original.
  int ends[2];
  if (pipe(ends) != 0) return 1;
  const int report = dup(1);
  dup2(ends[1], 1);
  close(ends[1]);
  std::thread([drain = ends[0]] {
    char sink[65536];
    while (read(drain, sink, sizeof sink) > 0) {
    }
  }).detach();

  benchmark::Initialize(&argc, argv);
  std::ostringstream text;
  benchmark::JSONReporter json;
  json.SetOutputStream(&text);
  json.SetErrorStream(&text);
  benchmark::RunSpecifiedBenchmarks(&json);
  const std::string all = text.str();
  return write(report, all.data(), all.size()) == static_cast<ssize_t>(all.size()) ? 0 : 1;
}
