// Injects keys and mouse buttons with SendInput for the end-to-end tests of keytap.exe under
// wine. Reads one command a line, "down 25" or "up e04b", and answers "ok" once the input has
// been sent. Codes joined by commas ("down 1d,e038,25") go in one SendInput, as remote desktops
// and macro tools send them. The code says how: a scan code in hexadecimal (e0 before an extended
// key's), "vk13" a virtual key alone, "u004b" a character typed as text (KEYEVENTF_UNICODE), "m3",
// "m4" or "m5" the middle or a side mouse button, and "move" a move of the mouse (the action is
// then ignored). Windows does not promise that SendInput has delivered the input when it returns,
// so the answer waits, a second at most, until the system's key state shows each key or button
// pressed or released; when it does not, the answer is "ok, not seen" (wine's key state may not
// follow). "hotkey 2,4b" registers a hotkey for as long as the injector runs, as another program
// would: RegisterHotKey's modifiers and virtual key, in hexadecimal; the answer is "ok" or
// "refused".
// "window" opens a window of its own and gives it the focus and the mouse; "seen" then answers
// which key and button messages it got since the last "seen", as "seen down:1d up:e04b down:m4",
// once a marker key (F12) sent after them has reached it too, so that nothing sent before is
// still on its way.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

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

// Whether the system's key state shows the input within `waitMs`.
bool waitUntilDelivered(int virtualKey, bool down, int waitMs) {
  if (virtualKey == 0) return true;
  for (int waited = 0; waited < waitMs; ++waited) {
    if ((GetAsyncKeyState(virtualKey) < 0) == down) return true;
    Sleep(1);
  }
  return false;
}

// One input from its code.
INPUT inputOf(const char* code, bool up) {
  INPUT input{};
  input.type = INPUT_KEYBOARD;
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
  return input;
}

// The focused window's key messages, by scan code as the codes above name them; written by its
// thread, read by the main one once `markerSeen` says it is done.
std::string seen;
HANDLE markerSeen = nullptr;
HANDLE focused = nullptr;
constexpr const char* marker = "58";  // F12

// The code of a button message as the injector takes it; null for every other message.
const char* buttonOf(UINT message, WPARAM wParam) {
  if (message == WM_MBUTTONDOWN || message == WM_MBUTTONUP) return "m3";
  if (message != WM_XBUTTONDOWN && message != WM_XBUTTONUP) return nullptr;
  return GET_XBUTTON_WPARAM(wParam) == XBUTTON1 ? "m4" : "m5";
}

LRESULT CALLBACK countKeys(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (const char* button = buttonOf(message, wParam)) {
    const bool up = message == WM_MBUTTONUP || message == WM_XBUTTONUP;
    seen += up ? " up:" : " down:";
    seen += button;
    return message == WM_XBUTTONDOWN || message == WM_XBUTTONUP;
  }
  if (message != WM_KEYDOWN && message != WM_KEYUP && message != WM_SYSKEYDOWN &&
      message != WM_SYSKEYUP) {
    return DefWindowProcW(window, message, wParam, lParam);
  }
  char code[8];
  std::snprintf(code, sizeof code, "%s%02lx", (lParam & (1 << 24)) ? "e0" : "",
                static_cast<unsigned long>((lParam >> 16) & 0xFF));
  const bool up = message == WM_KEYUP || message == WM_SYSKEYUP;
  if (std::strcmp(code, marker) != 0) {
    seen += up ? " up:" : " down:";
    seen += code;
  } else if (up) {
    SetEvent(markerSeen);
  }
  return 0;
}

DWORD WINAPI runWindow(void*) {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = countKeys;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"keytap-inject";
  RegisterClassW(&windowClass);
  const HWND window =
      CreateWindowExW(0, windowClass.lpszClassName, L"keytap-inject", WS_OVERLAPPEDWINDOW, 0, 0,
                      200, 100, nullptr, nullptr, windowClass.hInstance, nullptr);
  ShowWindow(window, SW_SHOW);
  SetForegroundWindow(window);
  SetFocus(window);
  // Mouse buttons go to the window wherever the pointer is.
  SetCapture(window);
  if (GetFocus() == window && GetCapture() == window) SetEvent(focused);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  return 0;
}

void answer(const std::string& text) {
  DWORD written;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written,
            nullptr);
}

// Sends the marker and answers what the window got before it; "seen, lost" when it never came.
void answerSeen() {
  INPUT inputs[] = {inputOf(marker, false), inputOf(marker, true)};
  SendInput(2, inputs, sizeof inputs[0]);
  if (WaitForSingleObject(markerSeen, 5000) != WAIT_OBJECT_0) return answer("seen, lost\n");
  answer("seen" + seen + "\n");
  seen.clear();
}

int main() {
  // Where the system's key state does not follow injected input (wine), waiting a second for
  // each input would slow every test down: once a wait runs out, the rest of this run waits
  // no more, and each answer says so.
  bool stateFollowsInput = true;
  char line[256];
  while (std::fgets(line, sizeof line, stdin)) {
    char action[8];
    char codes[200];
    if (std::strcmp(line, "window\n") == 0) {
      markerSeen = CreateEventW(nullptr, FALSE, FALSE, nullptr);
      focused = CreateEventW(nullptr, FALSE, FALSE, nullptr);
      CreateThread(nullptr, 0, runWindow, nullptr, 0, nullptr);
      const bool hasFocus = WaitForSingleObject(focused, 5000) == WAIT_OBJECT_0;
      answer(hasFocus ? "ok\n" : "no focus\n");
      continue;
    }
    if (std::strcmp(line, "seen\n") == 0) {
      answerSeen();
      continue;
    }
    if (std::sscanf(line, "%7s %199s", action, codes) != 2) return 2;
    if (std::strcmp(action, "hotkey") == 0) {
      static int hotKeys = 0;
      char* virtualKey = nullptr;
      const auto modifiers = static_cast<UINT>(std::strtoul(codes, &virtualKey, 16));
      const bool registered =
          *virtualKey == ',' &&
          RegisterHotKey(nullptr, ++hotKeys, modifiers,
                         static_cast<UINT>(std::strtoul(virtualKey + 1, nullptr, 16)));
      answer(registered ? "ok\n" : "refused\n");
      continue;
    }
    const bool up = std::strcmp(action, "up") == 0;
    INPUT inputs[8];
    UINT count = 0;
    for (char* code = std::strtok(codes, ","); code; code = std::strtok(nullptr, ",")) {
      if (count == std::size(inputs)) return 2;
      inputs[count++] = inputOf(code, up);
    }
    if (SendInput(count, inputs, sizeof inputs[0]) != count) return 1;
    for (UINT i = 0; i < count && stateFollowsInput; ++i) {
      stateFollowsInput = waitUntilDelivered(virtualKeyOf(inputs[i]), !up, 1000);
    }
    answer(stateFollowsInput ? "ok\n" : "ok, not seen\n");
  }
  return 0;
}
