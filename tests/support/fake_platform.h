// Test hooks of the fake platform that the unit tests link instead of a real backend.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

// Events are those of the backends that track keys themselves, with their accessors.
#include "platform/key_positions.h"
#include "platform/platform.h"

struct FakePlatform {
  bool preflightGrants = true;
  bool requestGrants = false;
  bool tapOpens = true;
  bool tapEnables = true;                 // what tapIsEnabled answers
  std::set<uint16_t> keysDown;            // what keyIsDown answers
  bool (*keyIsDown)(uint16_t) = nullptr;  // answers instead, when set
  uint64_t commandOrControl = 0x100000;
  bool hasFn = true;                           // whether Fn is available
  bool hearsEveryKey = true;                   // false: a capture has nothing to record
  bool keyPressesHidden = false;               // what keyPressesHidden answers
  Tick ticker = nullptr;                       // what tickEverySecond was last given
  bool watchingButtons = false;                // what watchMouseButtons was last given
  std::map<uint16_t, std::string> characters;  // what typedCharacter answers
  std::set<uint16_t> altGrTyping;              // where typesWithAltGr answers true
  KeepAnswer keepAnswer;                       // what keepFromOthers answers to a keep
  std::vector<Accel> kept;                     // what is kept from other programs now
  std::map<uint16_t, ChordHolder> holders;     // what chordHolder answers, by key code

  int preflightCalls = 0;
  int requestCalls = 0;
  int openTapCalls = 0;
  int enableTapCalls = 0;
  int tapIsEnabledCalls = 0;
  std::vector<std::string> posted;
};

/// The fake's settings and call counts; fakeReset() restores the defaults and clears the state
/// that the code under test keeps (registry, held set, tap).
extern FakePlatform fake;
void fakeReset();

/// The display goes away with the open tap, as on X11.
void fakeLoseDisplay();

/// Delivers one event to the open tap's callback, as the OS would, and returns what it gave
/// back; without an open tap, nothing is called and the event comes back.
Event* fakeDeliver(uint32_t type, Event* event);

// Event flags that are no modifiers and must never affect a match.
constexpr uint64_t fakeCapsLockFlag = 0x10000;
constexpr uint64_t fakeFnFlag = 0x800000;
