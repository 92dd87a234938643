#include "support/fake_platform.h"

#include <algorithm>

#include "core/key_table.h"
#include "core/registry.h"
#include "keyboard/tap.h"

struct Tap {
  TapCallback callback;
};

FakePlatform fake;

namespace {
Tap openedTap;
}

void fakeReset() {
  fake = FakePlatform{};
  options = Options{};
  commandOrControl = fake.commandOrControl;
  buildKeyCodes();
  clearRegistrations();
  held.clear();
  chorded.clear();
  otherKeysDown.clear();
  capture = {};
  tap = nullptr;
  listening = false;
  openedTap = Tap{};
}

Event* fakeDeliver(uint32_t type, Event* event) {
  // Without an open tap the system calls nobody.
  return openedTap.callback ? openedTap.callback(type, event) : event;
}

bool preflightListenAccess() {
  ++fake.preflightCalls;
  return fake.preflightGrants;
}

bool requestListenAccess() {
  ++fake.requestCalls;
  return fake.requestGrants;
}

Tap* openTap(TapCallback onEvent) {
  ++fake.openTapCalls;
  if (!fake.tapOpens) return nullptr;
  openedTap.callback = onEvent;
  return &openedTap;
}

void enableTap(Tap*) {
  ++fake.enableTapCalls;
}

bool tapIsEnabled(Tap*) {
  ++fake.tapIsEnabledCalls;
  return fake.tapEnables;
}

bool keyIsDown(uint16_t keyCode) {
  return fake.keyIsDown ? fake.keyIsDown(keyCode) : fake.keysDown.contains(keyCode);
}

void watchMouseButtons(bool watch) {
  fake.watchingButtons = watch;
}

void tickEverySecond(Tick tick) {
  fake.ticker = tick;
}

void fakeLoseDisplay() {
  const TapCallback notify = openedTap.callback;
  openedTap = Tap{};
  notify(displayLost, nullptr);
}

KeepAnswer keepFromOthers(const Accel& accel, bool keep) {
  const auto found = std::find(fake.kept.begin(), fake.kept.end(), accel);
  if (!keep) {
    if (found != fake.kept.end()) fake.kept.erase(found);
    return {};
  }
  if (fake.keepAnswer.outcome == Keeping::kept) fake.kept.push_back(accel);
  return fake.keepAnswer;
}

ChordHolder chordHolder(const Accel& accel) {
  const auto found = fake.holders.find(accel.keyCode);
  return found == fake.holders.end() ? ChordHolder::unknown : found->second;
}

std::string_view whyUnavailable(const Accel& accel) {
  return fake.hasFn || !(accel.flags & fnFlag) ? "" : notAvailable;
}

std::string whyNoTap() {
  return "";
}

bool keyPressesHidden() {
  return fake.keyPressesHidden;
}

bool hearsEveryKey() {
  return fake.hearsEveryKey;
}

void registrationsChanged() {}

uint64_t commandOrControlFlag() {
  return fake.commandOrControl;
}

std::string typedCharacter(uint16_t keyCode) {
  const auto found = fake.characters.find(keyCode);
  return found == fake.characters.end() ? "" : found->second;
}

bool typesWithAltGr(uint16_t keyCode) {
  return fake.altGrTyping.contains(keyCode);
}

void postLines(std::string lines) {
  fake.posted.push_back(std::move(lines));
}

void runMainLoop(LinesHandler handleLines) {
  for (const std::string& lines : fake.posted) handleLines(lines);
  endProcess();
}
