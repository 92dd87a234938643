#include "core/state.h"

KeyCodes keyCodes;
uint64_t commandOrControl = controlFlag;
Registry registered;
KeyIndex registeredByKey;
HeldSet held;
HeldSet consuming;
HeldSet chorded;
std::vector<uint16_t> otherKeysDown;
Options options;
Capture capture;
