#include "host/startup.h"

#include <algorithm>

#include "accelerator/key_table.h"
#include "core/registry.h"
#include "host/emit.h"
#include "host/messages.h"
#include "keyboard/tap.h"

bool hasArgument(std::span<const char* const> args, std::string_view name) {
  return std::any_of(args.begin(), args.end(), [name](const char* arg) {
    return arg != nullptr && std::string_view(arg) == name;
  });
}

void startUp(std::span<const char* const> args) {
  options = {.releaseStaleHolds = hasArgument(args, "--release-stale-holds"),
             .status = hasArgument(args, "--status"),
             .extendedKeys = hasArgument(args, "--extended-keys")};
  buildKeyCodes();
  clearRegistrations();
  held.clear();
  otherKeysDown.clear();
  tap = nullptr;
  callback = tapCallback;

  granted = preflightListenAccess();
  if (!granted && !hasArgument(args, "--no-prompt")) granted = requestListenAccess();
  if (granted && !createTap()) granted = false;
  listening = tap != nullptr;

  emit(readyMessage(granted));
}
