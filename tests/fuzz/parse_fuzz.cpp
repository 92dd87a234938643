// Fuzzes the accelerator parser: it never fails but by giving no result, and a result is
// always a key of the table with modifier bits only. With --extended-keys it accepts every text
// it accepted without, as the same accelerator, and its own results keep to their forms.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string_view>

#include "accelerator/parse.h"
#include "core/key_table.h"
#include "core/state.h"
#include "support/fake_platform.h"

namespace {

std::optional<Accel> parseWith(bool extendedKeys, std::string_view text) {
  options.extendedKeys = extendedKeys;
  buildKeyCodes();
  return parse(text);
}

constexpr uint64_t sideMask = sideFlagsOf(shiftFlag) | sideFlagsOf(controlFlag) |
                              sideFlagsOf(optionFlag) | sideFlagsOf(commandFlag);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::set<uint16_t> codes = [] {
    fakeReset();
    std::set<uint16_t> all;
    for (const KeyName& key : keyTable) all.insert(key.code);
    return all;
  }();
  static const std::set<uint16_t> extendedCodes = [] {
    std::set<uint16_t> all = codes;
    for (const KeyName& key : extendedKeyTable) all.insert(key.code);
    all.insert(modifiersOnly);
    return all;
  }();

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<Accel> accel = parseWith(false, text);
  if (accel) {
    if ((accel->flags & ~modifierMask) != 0 || accel->sides || accel->sided) std::abort();
    if (!codes.contains(accel->keyCode)) std::abort();
  }
  if (parseWith(false, text) != accel) std::abort();

  const std::optional<Accel> extended = parseWith(true, text);
  if (accel && extended != accel) std::abort();
  if (extended) {
    if (!extendedCodes.contains(extended->keyCode)) std::abort();
    const bool fn = extended->flags == fnFlag;
    if (fn && *extended != (Accel{modifiersOnly, fnFlag, fnFlag, fnFlag})) std::abort();
    if (!fn && ((extended->flags & ~modifierMask) || (extended->sided & ~sideMask))) std::abort();
    if ((extended->sides & ~extended->sided) != 0) std::abort();
    if (extended->keyCode == modifiersOnly && extended->flags == 0) std::abort();
  }
  return 0;
}
