# The sources of each build, in one place: CMake builds from these lists and
# scripts/check-macos prints them (cmake -DKEYTAP_PRINT=macos -P cmake/sources.cmake).
set(KEYTAP_CORE_SOURCES
  src/core/registry.cpp
  src/core/state.cpp
  src/accelerator/describe.cpp
  src/core/key_table.cpp
  src/accelerator/parse.cpp
  src/accelerator/upper_case.cpp
  src/host/command.cpp
  src/host/doctor.cpp
  src/wire/emit.cpp
  src/host/handle.cpp
  src/wire/messages.cpp
  src/host/reader.cpp
  src/host/startup.cpp
  src/wire/utf8.cpp
  src/keyboard/capture.cpp
  src/keyboard/listening.cpp
  src/keyboard/matcher.cpp
  src/keyboard/tap.cpp
)
set(KEYTAP_MAIN_SOURCES src/host/command_line.cpp src/host/main.cpp)
set(KEYTAP_MACOS_SOURCES
  src/platform/macos/backend.cpp
  src/platform/macos/diagnosis.cpp
  src/platform/macos/key_events.cpp
  src/platform/macos/symbolic_hotkeys.cpp
  src/platform/kept_keys.cpp
  src/platform/posix_io.cpp
)
set(KEYTAP_WINDOWS_SOURCES
  src/platform/windows/backend.cpp
  src/platform/windows/hooks.cpp
  src/platform/key_positions.cpp
  src/platform/kept_keys.cpp
  src/platform/line_queue.cpp
  src/platform/windows/raw_input.cpp
  src/platform/windows/diagnosis.cpp
  src/platform/windows/layout.cpp
  src/platform/windows/hotkey_probe.cpp
)
set(KEYTAP_LINUX_SOURCES
  src/platform/linux/backend_choice.cpp
  src/platform/linux/evdev/backend.cpp
  src/platform/linux/evdev/access.cpp
  src/platform/key_positions.cpp
  src/platform/linux/x11/keysym_table.cpp
  src/platform/linux/x11/keysyms.cpp
  src/platform/line_queue.cpp
  src/platform/linux/seam.cpp
  src/platform/linux/diagnosis.cpp
  src/platform/linux/poll_loop.cpp
  src/platform/linux/portal/backend.cpp
  src/platform/linux/portal/bus.cpp
  src/platform/linux/portal/answers.cpp
  src/platform/linux/portal/shortcuts.cpp
  src/platform/posix_io.cpp
  src/platform/linux/ticker.cpp
  src/platform/linux/x11/backend.cpp
  src/platform/linux/x11/grabs.cpp
  src/platform/linux/x11/layout.cpp
)

if(CMAKE_SCRIPT_MODE_FILE AND KEYTAP_PRINT STREQUAL "macos")
  foreach(source IN LISTS KEYTAP_CORE_SOURCES KEYTAP_MAIN_SOURCES KEYTAP_MACOS_SOURCES)
    message(NOTICE "${source}")
  endforeach()
endif()
