#include "accelerator/parse.h"

#include "core/state.h"

namespace {

struct ModifierWord {
  std::string_view word;
  uint64_t flag;
};

constexpr ModifierWord modifierWords[] = {
    {"COMMAND", commandFlag}, {"CMD", commandFlag},     {"SUPER", commandFlag},
    {"META", commandFlag},    {"CONTROL", controlFlag}, {"CTRL", controlFlag},
    {"ALT", optionFlag},      {"OPTION", optionFlag},   {"SHIFT", shiftFlag},
};

// The non-ASCII UTF-8 sequences that upper-case, or are canonically equivalent, to ASCII.
struct StandIn {
  std::string_view utf8;
  char ascii;
};

constexpr StandIn standIns[] = {
    {"\u0131", 'I'},  // dotless i upper-cases to I
    {"\u017F", 'S'},  // long s upper-cases to S
    {"\u212A", 'K'},  // Kelvin sign is canonically K
    {"\u037E", ';'},  // Greek question mark is canonically a semicolon
    {"\u1FEF", '`'},  // Greek varia is canonically a grave accent
};

std::optional<uint64_t> modifierFlag(std::string_view word) {
  // The one word whose meaning follows the platform's shortcut convention.
  if (word == "COMMANDORCONTROL" || word == "CMDORCTRL") return commandOrControl;
  for (const ModifierWord& modifier : modifierWords) {
    if (modifier.word == word) return modifier.flag;
  }
  return std::nullopt;
}

// A modifier word with "Left" or "Right" before or after it, as --extended-keys allows.
struct SidedModifier {
  uint64_t flag;  // the word's generic bit
  uint64_t side;  // the device-dependent bit of the key on the named side
};

std::optional<SidedModifier> sidedModifier(std::string_view piece) {
  for (const std::string_view side : {"LEFT", "RIGHT"}) {
    std::string_view word = piece;
    if (word.starts_with(side)) {
      word.remove_prefix(side.size());
    } else if (word.ends_with(side)) {
      word.remove_suffix(side.size());
    } else {
      continue;
    }
    const std::optional<uint64_t> flag = modifierFlag(word);
    if (!flag) continue;
    const uint64_t both = sideFlagsOf(*flag);
    const uint64_t left = both & -both;  // of each pair, the left key has the lower bit
    return SidedModifier{*flag, side == "LEFT" ? left : both & ~left};
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> foldPiece(std::string_view piece) {
  std::string folded;
  folded.reserve(piece.size());
  for (size_t i = 0; i < piece.size();) {
    const char c = piece[i];
    if (static_cast<unsigned char>(c) < 0x80) {
      folded += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
      ++i;
      continue;
    }
    const StandIn* match = nullptr;
    for (const StandIn& standIn : standIns) {
      if (piece.substr(i).starts_with(standIn.utf8)) match = &standIn;
    }
    if (!match) return std::nullopt;
    folded += match->ascii;
    i += match->utf8.size();
  }
  return folded;
}

std::optional<Accel> parse(std::string_view text) {
  Accel accel;
  bool haveKey = false;
  bool fn = false;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('+', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view piece = text.substr(start, end - start);
    start = end + 1;
    if (piece.empty()) continue;

    const std::optional<std::string> folded = foldPiece(piece);
    if (!folded) return std::nullopt;
    if (const std::optional<uint64_t> flag = modifierFlag(*folded)) {
      accel.flags |= *flag;
      continue;
    }
    if (options.extendedKeys) {
      if (*folded == "FN" || *folded == "GLOBE") {
        fn = true;
        continue;
      }
      if (const std::optional<SidedModifier> modifier = sidedModifier(*folded)) {
        accel.flags |= modifier->flag;
        accel.sides |= modifier->side;
        accel.sided |= sideFlagsOf(modifier->flag);
        continue;
      }
    }
    if (haveKey) return std::nullopt;
    const auto key = keyCodes.find(*folded);
    if (key == keyCodes.end()) return std::nullopt;
    accel.keyCode = key->second;
    haveKey = true;
  }
  // Fn is held alone or not at all: with other keys it is how laptops type them. It is one key,
  // so it is named by its side as well.
  if (fn) {
    if (haveKey || accel.flags) return std::nullopt;
    return Accel{modifiersOnly, fnFlag, fnFlag, fnFlag};
  }
  if (!haveKey) {
    if (!options.extendedKeys || accel.flags == 0) return std::nullopt;
    accel.keyCode = modifiersOnly;
  }
  return accel;
}
