// Which key events a backend that hands on or holds back each event itself (a macOS active tap, a
// Windows low-level hook) keeps from the other programs (--consume): pure, so that it is tested.
#pragma once

#include <cstdint>
#include <vector>

#include "core/accel.h"

struct KeptKeys {
  std::vector<Accel> chords;   // the chords kept, as keepFromOthers was told
  std::vector<uint16_t> down;  // the keys whose press was kept, until their release
};

/// Whether to keep this key event from the other programs: the fresh press of a kept chord's key
/// with exactly its modifiers (Fn aside, as for matching), then that key's autorepeats and
/// release, whatever the modifiers do meanwhile. A key whose press went on is never kept, its
/// autorepeats and release included. `flags` as the matcher reads them.
bool keepsKeyEvent(KeptKeys& kept, uint16_t keyCode, bool press, bool autorepeat, uint64_t flags);
