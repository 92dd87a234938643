#include "core/state.h"

KeyCodes keyCodes;
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
Capture capture;
