#include <gtest/gtest.h>

#include <iterator>

#include "core/accel.h"
#include "platform/macos/key_events.h"
#include "platform/platform.h"

namespace {

TEST(MacKeysTest, FlagsChangedEventsToPressesAndReleases) {
  const struct {
    const char* name;
    int64_t keyCode;
    uint64_t flags;
    std::optional<bool> pressed;
  } rows[] = {
      {"Right Option down", 0x3D, 0x80040, true},
      {"Right Option up, Left Option still down", 0x3D, 0x80020, false},
      {"Left Option down beside Right Option", 0x3A, 0x80060, true},
      {"Left Option posted with the generic bit alone", 0x3A, 0x80000, true},
      {"and released so", 0x3A, 0x0, false},
      {"Fn down", 0x3F, 0x800100, true},
      {"Fn up", 0x3F, 0x100, false},
      {"Right Control down", 0x3E, 0x42100, true},
      {"Left Command up", 0x37, 0x100110, false},
      {"Caps Lock", 0x39, 0x10100, std::nullopt},
      {"no modifier key", 0x00, 0x100, std::nullopt},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(modifierKeyPressed(row.keyCode, row.flags), row.pressed) << row.name;
  }
}

TEST(MacKeysTest, FlagsAsTheMatcherReadsThem) {
  const struct {
    const char* name;
    int64_t keyCode;
    uint64_t flags;
    bool fnDown;
    uint64_t matched;
  } rows[] = {
      {"an arrow carries Fn's bit without the Fn key", 123, 0x800000 | commandFlag, false,
       commandFlag},
      {"Fn held", 0x00, 0x100, true, 0x800100},
      {"Right Option as the system sends it", 0x3D, 0x80040, false, 0x80040},
      {"Left Option posted with the generic bit alone", 0x3A, 0x80000, false, 0x80020},
      {"a key under a generic-only Option keeps it generic", 0x00, 0x80000, false, 0x80000},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(matchedFlags(row.keyCode, row.flags, row.fnDown), row.matched) << row.name;
  }
}

TEST(MacKeysTest, FnFollowsItsOwnEventsAndTheNextModifierChangeAfterTheTapStops) {
  const struct {
    uint32_t type;
    int64_t keyCode;
    uint64_t flags;
    std::optional<uint32_t> becomes;
    bool fnDownAfter;
  } steps[] = {
      {flagsChangedEvent, 0x3F, 0x800100, keyDownEvent, true},
      {keyDownEvent, 13, 0x800100, keyDownEvent, true},
      {flagsChangedEvent, 0x39, 0x810100, std::nullopt, true},  // Caps Lock
      {tapDisabledByTimeout, 0, 0, tapDisabledByTimeout, true},
      {keyDownEvent, 123, 0x800100, keyDownEvent, true},        // an arrow's own Fn bit
      {keyDownEvent, 13, 0x100, keyDownEvent, false},           // W without it: Fn went
      {flagsChangedEvent, 0x38, 0x20102, keyDownEvent, false},  // Left Shift: Fn went meanwhile
      {flagsChangedEvent, 0x3F, 0x820102, keyDownEvent, true},
      {tapDisabledByUserInput, 0, 0, tapDisabledByUserInput, true},
      {flagsChangedEvent, 0x38, 0x800100, keyUpEvent, true},
      {flagsChangedEvent, 0x3F, 0x100, keyUpEvent, false},
  };
  FnState fn;
  for (size_t i = 0; i < std::size(steps); ++i) {
    const auto& step = steps[i];
    EXPECT_EQ(tapEventType(step.type, step.keyCode, step.flags, fn), step.becomes) << i;
    EXPECT_EQ(fn.down, step.fnDownAfter) << i;
  }
}

TEST(MacKeysTest, IsoKeyboardsSwapTheKeyBesideShiftBack) {
  const struct {
    int64_t keyCode;
    bool isoKeyboard;
    int64_t position;
  } rows[] = {
      {50, true, 10}, {10, true, 50}, {0, true, 0}, {50, false, 50}, {10, false, 10},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(keyPosition(row.keyCode, row.isoKeyboard), row.position)
        << row.keyCode << (row.isoKeyboard ? " on ISO" : " elsewhere");
  }
}

TEST(MacKeysTest, WhatAMacCanHear) {
  const struct {
    uint16_t keyCode;
    bool heard;
  } rows[] = {
      {40, true},
      {modifiersOnly, true},
      {mouseMiddleButton, true},
      {mouseBackButton, true},
      {mouseForwardButton, true},
      {uint16_t{beyondMacKeys + 183}, false},
  };
  for (const auto& row : rows) {
    Accel accel;
    accel.keyCode = row.keyCode;
    EXPECT_EQ(macCanHear(accel), row.heard) << row.keyCode;
  }
}

TEST(MacKeysTest, OtherMouseButtonsByNumber) {
  const struct {
    int64_t buttonNumber;
    std::optional<uint16_t> keyCode;
  } rows[] = {
      {0, std::nullopt},       {1, std::nullopt}, {2, mouseMiddleButton}, {3, mouseBackButton},
      {4, mouseForwardButton}, {5, std::nullopt}, {-1, std::nullopt},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(buttonKeyCode(row.buttonNumber), row.keyCode) << row.buttonNumber;
    if (row.keyCode) {
      EXPECT_EQ(buttonNumber(*row.keyCode), static_cast<uint32_t>(row.buttonNumber));
    }
  }
}

}  // namespace
