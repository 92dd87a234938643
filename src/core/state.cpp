#include "core/state.h"

std::unordered_map<std::string_view, uint16_t> keyCodes;
Registry registered;
KeyIndex registeredByKey;
HeldSet held;
HeldSet chorded;
Tap* tap = nullptr;
TapCallback callback = nullptr;
bool granted = false;
bool listening = false;
std::vector<uint16_t> otherKeysDown;
Options options;
