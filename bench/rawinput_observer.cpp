// The latency floor on Windows: the least a program can do to report Raw Input keys, one line
// per key ("down|up <wall-clock ms>"), written at once, from a message-only window as keytap's.
// make bench times keytap.exe against it under wine.
#include <windows.h>

#include <cstdio>

#include "wall_clock.h"

namespace {

LRESULT CALLBACK receive(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INPUT) {
    RAWINPUT raw;
    UINT size = sizeof raw;
    if (GetRawInputData(reinterpret_cast<HRAWINPUT>(lParam), RID_INPUT, &raw, &size,
                        sizeof raw.header) != static_cast<UINT>(-1) &&
        raw.header.dwType == RIM_TYPEKEYBOARD) {
      char line[64];
      const int length =
          std::snprintf(line, sizeof line, "%s %.3f\n",
                        (raw.data.keyboard.Flags & RI_KEY_BREAK) ? "up" : "down", wallClockMs());
      DWORD written;
      WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(length), &written,
                nullptr);
    }
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int main() {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = receive;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"keytap-floor";
  if (!RegisterClassW(&windowClass)) return 1;
  const HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0,
                                      HWND_MESSAGE, nullptr, windowClass.hInstance, nullptr);
  const RAWINPUTDEVICE keyboards{0x01, 0x06, RIDEV_INPUTSINK, window};
  if (!window || !RegisterRawInputDevices(&keyboards, 1, sizeof keyboards)) return 1;
  DWORD written;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "ready\n", 6, &written, nullptr);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  return 0;
}
