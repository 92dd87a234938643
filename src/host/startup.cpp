#include "host/startup.h"

#include <algorithm>

#include "core/key_table.h"
#include "core/registry.h"
#include "keyboard/tap.h"
#include "wire/emit.h"
#include "wire/messages.h"

bool hasArgument(std::span<const char* const> args, std::string_view name) {
  return std::any_of(args.begin(), args.end(), [name](const char* arg) {
    return arg != nullptr && std::string_view(arg) == name;
  });
}

Options optionsFrom(std::span<const char* const> args) {
  return {.releaseStaleHolds = hasArgument(args, "--release-stale-holds"),
          .status = hasArgument(args, "--status"),
          .extendedKeys = hasArgument(args, "--extended-keys"),
          .mouseButtons = hasArgument(args, "--mouse-buttons"),
          .capture = hasArgument(args, "--capture"),
          .consume = hasArgument(args, "--consume")};
}

void startUp(std::span<const char* const> args) {
  options = optionsFrom(args);
  buildKeyCodes();
  clearRegistrations();
  held.clear();
  consuming.clear();
  chorded.clear();
  otherKeysDown.clear();
  capture = {};
  tap = nullptr;
  commandOrControl = commandOrControlFlag();

  bool granted = preflightListenAccess();
  if (!granted && !hasArgument(args, "--no-prompt")) granted = requestListenAccess();
  if (granted && !createTap()) granted = false;
  listening = tap != nullptr;

  emit(readyMessage(granted));
}
