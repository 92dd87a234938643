// Fuzzes the accelerator parser: it never fails but by giving no result, and a result is
// always a key of the table with modifier bits only.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string_view>

#include "accelerator/key_table.h"
#include "accelerator/parse.h"
#include "support/fake_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::set<uint16_t> codes = [] {
    fakeReset();
    std::set<uint16_t> all;
    for (const KeyName& key : keyTable) all.insert(key.code);
    return all;
  }();

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<Accel> accel = parse(text);
  if (accel) {
    if ((accel->flags & ~modifierMask) != 0) std::abort();
    if (!codes.contains(accel->keyCode)) std::abort();
  }
  if (parse(text) != accel) std::abort();
  return 0;
}
