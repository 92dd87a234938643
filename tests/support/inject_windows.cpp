// Injects keys with SendInput for the end-to-end tests of keytap.exe under wine. Reads one
// command a line, "down 25" or "up e04b", and answers "ok" once the key has been sent. The code
// says how: a scan code in hexadecimal (e0 before an extended key's), or "vk13" a virtual key
// alone.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main() {
  char line[64];
  while (std::fgets(line, sizeof line, stdin)) {
    char action[8];
    char code[16];
    if (std::sscanf(line, "%7s %15s", action, code) != 2) return 2;
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    if (std::strncmp(code, "vk", 2) == 0) {
      input.ki.wVk = static_cast<WORD>(std::strtoul(code + 2, nullptr, 16));
    } else {
      const bool extended = std::strncmp(code, "e0", 2) == 0;
      input.ki.wScan = static_cast<WORD>(std::strtoul(code + (extended ? 2 : 0), nullptr, 16));
      input.ki.dwFlags = KEYEVENTF_SCANCODE | (extended ? KEYEVENTF_EXTENDEDKEY : 0);
    }
    if (std::strcmp(action, "up") == 0) input.ki.dwFlags |= KEYEVENTF_KEYUP;
    if (SendInput(1, &input, sizeof input) != 1) return 1;
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "ok\n", 3, &written, nullptr);
  }
  return 0;
}
