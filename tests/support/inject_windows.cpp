// Injects keys and mouse buttons with SendInput for the end-to-end tests of keytap.exe under
// wine. Reads one command a line, "down 25" or "up e04b", and answers "ok" once the input has
// been sent. The code says how: a scan code in hexadecimal (e0 before an extended key's), "vk13"
// a virtual key alone, "u004b" a character typed as text (KEYEVENTF_UNICODE), "m3", "m4" or
// "m5" the middle or a side mouse button, and "move" a move of the mouse (the action is then
// ignored). Windows does not promise that SendInput has delivered the input when it returns, so the
// answer waits, a second at most, until the system's key state shows the key or button pressed or
// released.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

// The virtual key whose state shows the input; 0 for what has none (motion, text).
int virtualKeyOf(const INPUT& input) {
  if (input.type == INPUT_MOUSE) {
    if (input.mi.dwFlags & (MOUSEEVENTF_MIDDLEDOWN | MOUSEEVENTF_MIDDLEUP)) return VK_MBUTTON;
    if (input.mi.dwFlags & (MOUSEEVENTF_XDOWN | MOUSEEVENTF_XUP)) {
      return input.mi.mouseData == XBUTTON1 ? VK_XBUTTON1 : VK_XBUTTON2;
    }
    return 0;
  }
  if (input.ki.dwFlags & KEYEVENTF_UNICODE) return 0;
  if (input.ki.wVk) return input.ki.wVk;
  const UINT scanCode = input.ki.wScan | ((input.ki.dwFlags & KEYEVENTF_EXTENDEDKEY) ? 0xE000 : 0);
  return static_cast<int>(MapVirtualKeyW(scanCode, MAPVK_VSC_TO_VK_EX));
}

// Where the system's key state does not follow injected input at all (wine), the first wait
// that runs out is the last one.
void waitUntilDelivered(int virtualKey, bool down) {
  static bool stateFollowsInput = true;
  if (virtualKey == 0 || !stateFollowsInput) return;
  for (int waited = 0; waited < 1000; ++waited) {
    if ((GetAsyncKeyState(virtualKey) < 0) == down) return;
    Sleep(1);
  }
  stateFollowsInput = false;
}

int main() {
  char line[64];
  while (std::fgets(line, sizeof line, stdin)) {
    char action[8];
    char code[16];
    if (std::sscanf(line, "%7s %15s", action, code) != 2) return 2;
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    const bool up = std::strcmp(action, "up") == 0;
    if (std::strcmp(code, "move") == 0) {
      input.type = INPUT_MOUSE;
      input.mi.dx = 3;
      input.mi.dwFlags = MOUSEEVENTF_MOVE;
    } else if (std::strcmp(code, "m3") == 0) {
      input.type = INPUT_MOUSE;
      input.mi.dwFlags = up ? MOUSEEVENTF_MIDDLEUP : MOUSEEVENTF_MIDDLEDOWN;
    } else if (std::strcmp(code, "m4") == 0 || std::strcmp(code, "m5") == 0) {
      input.type = INPUT_MOUSE;
      input.mi.dwFlags = up ? MOUSEEVENTF_XUP : MOUSEEVENTF_XDOWN;
      input.mi.mouseData = code[1] == '4' ? XBUTTON1 : XBUTTON2;
    } else if (code[0] == 'u') {
      input.ki.wScan = static_cast<WORD>(std::strtoul(code + 1, nullptr, 16));
      input.ki.dwFlags = KEYEVENTF_UNICODE;
    } else if (std::strncmp(code, "vk", 2) == 0) {
      input.ki.wVk = static_cast<WORD>(std::strtoul(code + 2, nullptr, 16));
    } else {
      const bool extended = std::strncmp(code, "e0", 2) == 0;
      input.ki.wScan = static_cast<WORD>(std::strtoul(code + (extended ? 2 : 0), nullptr, 16));
      input.ki.dwFlags = KEYEVENTF_SCANCODE | (extended ? KEYEVENTF_EXTENDEDKEY : 0);
    }
    if (input.type == INPUT_KEYBOARD && up) input.ki.dwFlags |= KEYEVENTF_KEYUP;
    if (SendInput(1, &input, sizeof input) != 1) return 1;
    waitUntilDelivered(virtualKeyOf(input), !up);
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "ok\n", 3, &written, nullptr);
  }
  return 0;
}
