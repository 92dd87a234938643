// keytap-inject DISPLAY KEY...: presses (+CODE) and releases (-CODE) X key codes, or pointer
// buttons (+bNUMBER, -bNUMBER), through XTEST, one after the other, for test drivers written in
// other languages.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/xserver.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DISPLAY [+CODE|-CODE]...\n", argv[0]);
    return 2;
  }
  VirtualDisplay display;
  display.name = argv[1];
  const std::unique_ptr<Injector> injector = connectInjector(display);
  if (!injector) {
    std::fprintf(stderr, "%s: cannot connect to %s\n", argv[0], argv[1]);
    return 1;
  }
  for (int i = 2; i < argc; ++i) {
    const std::string key = argv[i];
    const bool button = key.size() > 1 && key[1] == 'b';
    const int code = std::atoi(key.c_str() + (button ? 2 : 1));
    if ((key[0] != '+' && key[0] != '-') || code < (button ? 1 : 8) || code > 255) {
      std::fprintf(stderr, "%s: not a key: %s\n", argv[0], argv[i]);
      return 2;
    }
    (button ? injectButton : injectKey)(*injector, static_cast<uint8_t>(code), key[0] == '+');
  }
  return 0;
}
