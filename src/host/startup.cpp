#include "host/startup.h"

#include <algorithm>

#include "accelerator/key_table.h"
#include "core/registry.h"
#include "host/emit.h"
#include "host/messages.h"
#include "keyboard/tap.h"

bool hasNoPromptArgument(std::span<const char* const> args) {
  return std::any_of(args.begin(), args.end(), [](const char* arg) {
    return arg != nullptr && std::string_view(arg) == "--no-prompt";
  });
}

void startUp(std::span<const char* const> args) {
  buildKeyCodes();
  clearRegistrations();
  held.clear();
  tap = nullptr;
  callback = tapCallback;

  granted = preflightListenAccess();
  if (!granted && !hasNoPromptArgument(args)) granted = requestListenAccess();
  if (granted && !createTap()) granted = false;

  emit(readyMessage(granted));
}
