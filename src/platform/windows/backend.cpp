// Windows backend: Raw Input from every keyboard, delivered to a message-only window of the main
// thread. Raw Input only reads a copy of each key: it consumes nothing, cannot slow other
// programs' input, and unlike a low-level keyboard hook nothing can switch it off.
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <algorithm>
#include <array>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/accel.h"
#include "core/state.h"
#include "platform/key_positions.h"
#include "platform/line_queue.h"
#include "platform/platform.h"
#include "platform/windows/diagnosis.h"
#include "platform/windows/hooks.h"
#include "platform/windows/layout.h"
#include "platform/windows/raw_input.h"

struct Tap {
  TapCallback callback;
  KeysDown down;
  // The virtual key each key down was pressed as; 0 when the system gave none.
  std::array<USHORT, KeysDown().size()> virtualKeys;
};

namespace {

// The open tap, or null.
Tap* openedTap = nullptr;

HookedKeys hooked;  // what the hooks of --consume keep

constexpr USHORT genericDesktopPage = 0x01;
constexpr USHORT keyboardUsage = 0x06;
constexpr USHORT mouseUsage = 0x02;
static_assert(RI_KEY_BREAK == rawKeyBreak && RI_KEY_E0 == rawKeyE0 && RI_KEY_E1 == rawKeyE1);
static_assert(VK_PACKET == virtualKeyPacket);
static_assert(VK_LSHIFT == modifierVirtualKeys[0].virtualKey &&
              VK_RSHIFT == modifierVirtualKeys[1].virtualKey &&
              VK_LCONTROL == modifierVirtualKeys[2].virtualKey &&
              VK_RCONTROL == modifierVirtualKeys[3].virtualKey &&
              VK_LMENU == modifierVirtualKeys[4].virtualKey &&
              VK_RMENU == modifierVirtualKeys[5].virtualKey &&
              VK_LWIN == modifierVirtualKeys[6].virtualKey &&
              VK_RWIN == modifierVirtualKeys[7].virtualKey);
static_assert(RI_MOUSE_MIDDLE_BUTTON_DOWN == rawMouseButtons[0].downFlag &&
              RI_MOUSE_MIDDLE_BUTTON_UP == rawMouseButtons[0].upFlag &&
              VK_MBUTTON == rawMouseButtons[0].virtualKey);
static_assert(RI_MOUSE_BUTTON_4_DOWN == rawMouseButtons[1].downFlag &&
              RI_MOUSE_BUTTON_4_UP == rawMouseButtons[1].upFlag &&
              VK_XBUTTON1 == rawMouseButtons[1].virtualKey);
static_assert(RI_MOUSE_BUTTON_5_DOWN == rawMouseButtons[2].downFlag &&
              RI_MOUSE_BUTTON_5_UP == rawMouseButtons[2].upFlag &&
              VK_XBUTTON2 == rawMouseButtons[2].virtualKey);

HWND window = nullptr;  // the message-only window of the main thread: keys, lines and ticks
// Whether the mouse buttons are wanted (--mouse-buttons, with a button registered): only then is
// the mouse registered, since every move of it is a message.
bool buttonsWanted = false;
// The keyboard report read last, and Left Control reports waiting to be told from AltGr's.
RawKey previousKey{};
AltGrFilter altGr;

// Raw Input hears nothing while the secure desktop is up (Win+L, Ctrl+Alt+Del, UAC) or an
// elevated window has the focus, so releases go missing: a Windows key that stays down would
// break every exact match. The system's own key state forgets them again, for the keys it knows
// by a virtual key. Only at a press that the system's state shows as down itself: while the
// secure desktop or an elevated window has the keyboard, it answers "up" for every key, held
// ones too. Only at the last event read and once no raw input waits: an earlier event describes
// a moment the system's state has already left (a buffered read empties the queue, so the queue
// alone cannot tell).
void forgetMissed(Tap& opened, unsigned eventKey, USHORT eventVirtualKey, bool press, bool latest) {
  forgetMissedReleases(
      opened.down, eventKey, press, latest,
      [] { return !(HIWORD(GetQueueStatus(QS_RAWINPUT)) & QS_RAWINPUT); },
      [&](unsigned evdev) -> std::optional<bool> {
        const USHORT virtualKey = evdev == eventKey ? eventVirtualKey : opened.virtualKeys[evdev];
        // A key kept from the windows (--consume) never shows down there.
        if (virtualKey == 0 || hooked.kept[evdev]) return std::nullopt;
        return GetAsyncKeyState(virtualKey) < 0;
      });
}

unsigned scanCodeOfVirtualKey(unsigned virtualKey) {
  return MapVirtualKeyW(virtualKey, MAPVK_VK_TO_VSC_EX);
}

// One report, in the one call it costs.
bool readReport(HRAWINPUT input, RAWINPUT& raw) {
  UINT size = sizeof raw;
  return GetRawInputData(input, RID_INPUT, &raw, &size, sizeof raw.header) != static_cast<UINT>(-1);
}

RawKey keyOf(const RAWKEYBOARD& key) {
  return RawKey{key.VKey, key.MakeCode, key.Flags};
}

// Made-up keys of Windows' own have the virtual key 0xFF; none is worth asking about.
USHORT knownVirtualKey(USHORT virtualKey) {
  return virtualKey == 0xFF ? 0 : virtualKey;
}

// Keys are told apart by scan code, their position, never by virtual key, which follows the
// layout. Modifiers are tracked from these events themselves: GetAsyncKeyState would describe a
// later moment than the one the event reports.
// `latest`: no event was read after this one.
void handleKey(const RawKey& key, bool latest) {
  const std::optional<unsigned> evdev = evdevFromRawKey(key, scanCodeOfVirtualKey);
  if (!evdev) return;
  const bool press = !(key.flags & RI_KEY_BREAK);
  if (toldByHook(hooked, *evdev, press)) return;
  forgetMissed(*openedTap, *evdev, knownVirtualKey(key.virtualKey), press, latest);
  std::optional<Event> event = trackKey(openedTap->down, *evdev, press, modifierKeysHeard());
  if (press && *evdev < openedTap->virtualKeys.size())
    openedTap->virtualKeys[*evdev] = key.virtualKey;
  if (event) openedTap->callback(press ? keyDownEvent : keyUpEvent, &*event);
}

// What the timer of a waiting Left Control is called.
constexpr UINT_PTR altGrTimer = 2;
// How long a Left Control report waits for AltGr's Right Alt: USER_TIMER_MINIMUM, 10 ms, rounded
// up to the system's tick; both halves of AltGr come from one key stroke.
constexpr UINT altGrWaitMs = USER_TIMER_MINIMUM;

// A Left Control report that waited is a real key: handled now, before anything after it.
// `latest`: nothing read comes after it.
void releaseWaitingControl(bool latest) {
  KillTimer(window, altGrTimer);
  if (const std::optional<RawKey> control = releaseAltGr(altGr)) handleKey(*control, latest);
}

void handleKeyboardReport(const RAWKEYBOARD& raw, bool latest) {
  const RawKey key = keyOf(raw);
  const RawKey previous = std::exchange(previousKey, key);
  if (isPauseFollower(previous, key)) return;
  // Where the side of a modifier counts, AltGr is Right Alt alone.
  if (!options.extendedKeys) return handleKey(key, latest);
  KillTimer(window, altGrTimer);
  const RawKeys now = filterAltGr(altGr, key, frontLayoutHasAltGr);
  for (const RawKey& each : now) handleKey(each, latest && &each == now.end() - 1);
  if (altGr.pending) SetTimer(window, altGrTimer, altGrWaitMs, nullptr);
}

// Most mouse reports are motion alone: they end at the first test, after the one read. Events
// injected with SendInput come without a device and count like any other.
void handleMouseReport(const RAWMOUSE& mouse, bool latest) {
  if (!mouse.usButtonFlags || !buttonsWanted) return;
  releaseWaitingControl(false);
  // Only the report's last change describes the moment after it.
  int changes = 0;
  forEachButtonChange(mouse.usButtonFlags, [&](const RawMouseButton&, bool) { ++changes; });
  forEachButtonChange(mouse.usButtonFlags, [&](const RawMouseButton& button, bool press) {
    if (toldByHook(hooked, button.evdev, press)) return;
    forgetMissed(*openedTap, button.evdev, button.virtualKey, press, latest && --changes == 0);
    std::optional<Event> event =
        trackKey(openedTap->down, button.evdev, press, options.extendedKeys);
    if (!event) return;
    // A button has no autorepeat: a press of one recorded as down follows a missed release.
    event->autorepeat = 0;
    if (press) openedTap->virtualKeys[button.evdev] = button.virtualKey;
    openedTap->callback(press ? keyDownEvent : keyUpEvent, &*event);
  });
}

// NEXTRAWINPUTBLOCK, whose mingw-w64 spelling needs a QWORD it lacks: in a buffered read each
// report starts at the next 8-byte boundary after the one before. A 32-bit process under WOW64
// gets 64-bit headers from GetRawInputBuffer, which RAWINPUT does not describe.
static_assert(sizeof(void*) == 8, "the buffered read of Raw Input is walked for 64-bit builds");
const RAWINPUT* nextRawInputBlock(const RAWINPUT* report) {
  const uintptr_t end = reinterpret_cast<uintptr_t>(report) + report->header.dwSize;
  return reinterpret_cast<const RAWINPUT*>((end + 7) & ~uintptr_t{7});
}

// `latest`: no report was read after this one.
void handleReport(const RAWINPUT& raw, bool latest) {
  if (raw.header.dwType == RIM_TYPEMOUSE) {
    handleMouseReport(raw.data.mouse, latest);
  } else if (raw.header.dwType == RIM_TYPEKEYBOARD) {
    handleKeyboardReport(raw.data.keyboard, latest);
  }
}

// A gaming mouse reports up to 8,000 times a second: after the report that woke us, what else
// waits is read in one call each bufferful rather than one message each, in the order it came.
void handleRawInput(HRAWINPUT input) {
  RAWINPUT raw;
  if (readReport(input, raw)) handleReport(raw, true);
  alignas(RAWINPUT) static BYTE waiting[16 * 1024];
  for (;;) {
    UINT size = sizeof waiting;
    const UINT count =
        GetRawInputBuffer(reinterpret_cast<RAWINPUT*>(waiting), &size, sizeof(RAWINPUTHEADER));
    if (count == 0 || count == static_cast<UINT>(-1)) return;
    forEachBuffered(reinterpret_cast<const RAWINPUT*>(waiting), count, nextRawInputBlock,
                    [](const RAWINPUT& report, bool last) {
                      if (openedTap) handleReport(report, last);
                    });
  }
}

void drainRawInput() {
  MSG message;
  while (PeekMessageW(&message, window, WM_INPUT, WM_INPUT, PM_REMOVE)) DispatchMessageW(&message);
}

// An event the hooks kept, with the modifiers they kept it with. What Raw Input heard before it
// comes first, since Windows hands out posted messages before input; so may a modifier let go
// just after it, which is why the hooks' modifiers are the event's.
void handleKeptKey(unsigned evdev, bool press, uint64_t flags) {
  drainRawInput();
  if (!openedTap || evdev >= openedTap->down.size()) return;
  releaseWaitingControl(false);
  if (!takeHooksWord(hooked, evdev, press, openedTap->down[evdev])) return;
  std::optional<Event> event = trackKey(openedTap->down, evdev, press, options.extendedKeys);
  if (!event) return;
  if (isMouseButton(event->keyCode)) event->autorepeat = 0;
  event->flags = flags;
  openedTap->callback(press ? keyDownEvent : keyUpEvent, &*event);
}

// Registers the mouse for Raw Input, or removes it.
bool registerMice(bool on) {
  const RAWINPUTDEVICE mice{genericDesktopPage, mouseUsage,
                            static_cast<DWORD>(on ? RIDEV_INPUTSINK : RIDEV_REMOVE),
                            on ? window : nullptr};
  return RegisterRawInputDevices(&mice, 1, sizeof mice);
}

// What the reader thread posts when it has queued lines, and the ticker's timer.
constexpr UINT linesPosted = WM_APP;
constexpr UINT_PTR tickTimer = 1;

LinesHandler serveLinesWith = nullptr;
Tick tickWith = nullptr;

void serveLines() {
  // Key events first: a key that reached us before a line is handled before it, although
  // Windows hands out posted messages before input.
  drainRawInput();
  if (openedTap) releaseWaitingControl(true);
  for (const std::string& lines : takeLines()) serveLinesWith(lines);
}

LRESULT CALLBACK receive(HWND to, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INPUT && openedTap) handleRawInput(reinterpret_cast<HRAWINPUT>(lParam));
  if (message == linesPosted) {
    serveLines();
    return 0;
  }
  if (message == keptKeyPosted) {
    const bool press = lParam & 1;
    handleKeptKey(static_cast<unsigned>(wParam), press, static_cast<uint64_t>(lParam) >> 1);
    if (!press) settleHooks();
    return 0;
  }
  if (message == WM_TIMER && wParam == tickTimer) {
    if (tickWith) tickWith();
    return 0;
  }
  if (message == WM_TIMER && wParam == altGrTimer) {
    if (openedTap) releaseWaitingControl(true);
    return 0;
  }
  return DefWindowProcW(to, message, wParam, lParam);
}

HWND createWindow() {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = receive;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"keytap";
  if (!RegisterClassW(&windowClass)) return nullptr;
  return CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                         windowClass.hInstance, nullptr);
}

void writeTo(HANDLE output, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD written = 0;
    if (!WriteFile(output, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
      return;
    }
    bytes.remove_prefix(written);
  }
}

bool runsElevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = sizeof elevation;
  const bool elevated = GetTokenInformation(token, TokenElevation, &elevation, size, &size) &&
                        elevation.TokenIsElevated;
  CloseHandle(token);
  return elevated;
}

// The mandatory integrity level of a process's token (SECURITY_MANDATORY_*_RID).
std::optional<DWORD> integrityLevel(HANDLE process) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return std::nullopt;
  alignas(TOKEN_MANDATORY_LABEL) BYTE buffer[64];
  DWORD size = sizeof buffer;
  std::optional<DWORD> level;
  if (GetTokenInformation(token, TokenIntegrityLevel, buffer, size, &size)) {
    const PSID sid = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(buffer)->Label.Sid;
    level = *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1);
  }
  CloseHandle(token);
  return level;
}

// The file name of a process's program in UTF-8; empty when it cannot be read.
std::string programName(HANDLE process) {
  wchar_t path[MAX_PATH];
  DWORD length = MAX_PATH;
  if (!QueryFullProcessImageNameW(process, 0, path, &length)) return "";
  const wchar_t* name = path;
  for (DWORD i = 0; i < length; ++i) {
    if (path[i] == L'\\') name = path + i + 1;
  }
  const int nameLength = static_cast<int>(path + length - name);
  std::string utf8(static_cast<size_t>(nameLength) * 3, '\0');
  utf8.resize(static_cast<size_t>(WideCharToMultiByte(
      CP_UTF8, 0, name, nameLength, utf8.data(), static_cast<int>(utf8.size()), nullptr, nullptr)));
  return utf8;
}

// The file name of a program by its process id, from the list of processes, which names even
// those that cannot be opened; empty when it has gone.
std::string programNameOf(DWORD processId) {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return "";
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  std::string name;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID != processId) continue;
    const int length = static_cast<int>(wcslen(entry.szExeFile));
    name.resize(static_cast<size_t>(length) * 3);
    name.resize(
        static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, entry.szExeFile, length, name.data(),
                                                static_cast<int>(name.size()), nullptr, nullptr)));
    break;
  }
  CloseHandle(snapshot);
  return name;
}

// Whose visible windows Windows keeps keys from keytap: the programs of every visible top-level
// window that run at a higher integrity level than keytap, and those whose level cannot be read.
// Not only the window in front: when a person runs --doctor, that is their terminal.
std::vector<ElevatedProgram> elevatedWindows() {
  struct Search {
    std::optional<DWORD> ours;
    std::vector<DWORD> seen;
    std::vector<ElevatedProgram> found;
  } search{integrityLevel(GetCurrentProcess()), {GetCurrentProcessId()}, {}};
  if (!search.ours) return {};
  EnumWindows(
      [](HWND shown, LPARAM context) -> BOOL {
        auto& state = *reinterpret_cast<Search*>(context);
        DWORD processId = 0;
        if (!IsWindowVisible(shown) || GetWindow(shown, GW_OWNER) ||
            !GetWindowThreadProcessId(shown, &processId) ||
            std::find(state.seen.begin(), state.seen.end(), processId) != state.seen.end()) {
          return TRUE;
        }
        state.seen.push_back(processId);
        const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
        const std::optional<DWORD> theirs = process ? integrityLevel(process) : std::nullopt;
        if (!theirs) {
          state.found.push_back({process ? programName(process) : programNameOf(processId), false});
        } else if (*theirs > *state.ours) {
          state.found.push_back({programName(process), true});
        }
        if (process) CloseHandle(process);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

}  // namespace

void prepareProcess() {
  // A helper process never shows a dialog box, not even for its own crash.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  // Before the reader thread exists, which posts to it.
  window = createWindow();
}

size_t readInput(char* buffer, size_t size) {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  for (;;) {
    DWORD got = 0;
    // A closed pipe fails with ERROR_BROKEN_PIPE.
    if (!ReadFile(input, buffer, static_cast<DWORD>(size), &got, nullptr)) return 0;
    if (got > 0) return got;
    // A host's zero-length write reads as 0 bytes from a pipe that is still open; a file at its
    // end (and wine's closed pipe) reads the same, but is no open pipe.
    if (!PeekNamedPipe(input, nullptr, 0, nullptr, nullptr, nullptr)) return 0;
  }
}

std::string_view takePlatformArguments(std::span<const char* const>) {
  return {};
}

void writeOutput(std::string_view bytes) {
  writeTo(GetStdHandle(STD_OUTPUT_HANDLE), bytes);
}

void writeError(std::string_view bytes) {
  writeTo(GetStdHandle(STD_ERROR_HANDLE), bytes);
}

// Not ExitProcess: it kills the other threads first and then runs DLL detach code, which
// deadlocks when a killed thread held a lock that code needs (the heap's, mid-allocation).
// Output is unbuffered, so nothing is lost.
void endProcess() {
  TerminateProcess(GetCurrentProcess(), 0);
  __builtin_unreachable();  // terminating the calling process does not return
}

// Windows asks no permission to read keyboards.
bool preflightListenAccess() {
  return true;
}
bool requestListenAccess() {
  return true;
}

Diagnosis diagnose() {
  // Registering is the whole test; the process ends right after --doctor.
  const WindowsFacts facts{openTap(nullptr) != nullptr, runsElevated(), elevatedWindows()};
  return {windowsFindings(facts), facts.rawInputRegisters};
}

Tap* openTap(TapCallback onEvent) {
  if (!window) return nullptr;
  // RIDEV_INPUTSINK: every key of the session, whichever window has the focus.
  const RAWINPUTDEVICE keyboards{genericDesktopPage, keyboardUsage, RIDEV_INPUTSINK, window};
  if (!RegisterRawInputDevices(&keyboards, 1, sizeof keyboards)) return nullptr;
  if (buttonsWanted) registerMice(true);
  openedTap = new Tap{onEvent, {}, {}};
  // The modifiers already down, so that they count from the first event.
  for (const ModifierVirtualKey& modifier : modifierVirtualKeys) {
    if (GetAsyncKeyState(modifier.virtualKey) >= 0) continue;
    openedTap->down[modifier.evdev] = true;
    openedTap->virtualKeys[modifier.evdev] = modifier.virtualKey;
  }
  return openedTap;
}

void watchMouseButtons(bool watch) {
  if (watch == buttonsWanted) return;
  buttonsWanted = watch;
  if (!openedTap) return;
  registerMice(watch);
  // Unwatched, a button's release is never heard: forget what was down.
  if (!watch) {
    for (const RawMouseButton& button : rawMouseButtons) openedTap->down.reset(button.evdev);
  }
}

// Nothing switches Raw Input off.
void enableTap(Tap*) {}
bool tapIsEnabled(Tap*) {
  return true;
}

KeepAnswer keepFromOthers(const Accel& accel, bool keep) {
  if (keepChord(accel, keep, window)) return {};
  return {Keeping::unavailable, "the system refused a low-level hook"};
}

bool keyIsDown(uint16_t keyCode) {
  return openedTap && isDownAt(openedTap->down, keyCode);
}

// Keyboards keep Fn to themselves: Windows never sees it.
std::string_view whyUnavailable(const Accel& accel) {
  return accel.flags & fnFlag ? notAvailable : "";
}

std::string whyNoTap() {
  return "";
}

bool keyPressesHidden() {
  return false;
}

bool hearsEveryKey() {
  return true;
}

// Every registered accelerator is matched against Raw Input's keys here.
void registrationsChanged() {}

// Control is the shortcut key of Windows.
uint64_t commandOrControlFlag() {
  return controlFlag;
}

// The queue wakes the main thread only when it was empty, so a wake-up that fails (a full
// message queue) is tried again until it goes through; otherwise no line would ever be served.
void postLines(std::string lines) {
  if (!queueLines(std::move(lines))) return;
  while (!PostMessageW(window, linesPosted, 0, 0)) Sleep(1);
}

void tickEverySecond(Tick tick) {
  if (tick && !tickWith) SetTimer(window, tickTimer, 1000, nullptr);
  if (!tick && tickWith) KillTimer(window, tickTimer);
  tickWith = tick;
}

// One queue for keys, lines and ticks: a key costs one wait, as for any Windows program.
void runMainLoop(LinesHandler handleLines) {
  serveLinesWith = handleLines;
  serveLines();  // what came before the loop ran
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  endProcess();
}
