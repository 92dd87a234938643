# The sources of each build, in one place: CMake builds from these lists and
# scripts/check-macos prints them (cmake -DKEYTAP_PRINT=macos -P cmake/sources.cmake).
set(KEYTAP_CORE_SOURCES
  src/core/registry.cpp
  src/core/state.cpp
  src/accelerator/describe.cpp
  src/accelerator/key_table.cpp
  src/accelerator/parse.cpp
  src/accelerator/upper_case.cpp
  src/host/command.cpp
  src/host/doctor.cpp
  src/host/emit.cpp
  src/host/handle.cpp
  src/host/messages.cpp
  src/host/reader.cpp
  src/host/startup.cpp
  src/host/utf8.cpp
  src/keyboard/capture.cpp
  src/keyboard/listening.cpp
  src/keyboard/matcher.cpp
  src/keyboard/tap.cpp
)
set(KEYTAP_MAIN_SOURCES src/host/command_line.cpp src/host/main.cpp)
set(KEYTAP_MACOS_SOURCES
  src/platform/macos.cpp
  src/platform/macos_diagnosis.cpp
  src/platform/macos_keys.cpp
  src/platform/posix_io.cpp
)
set(KEYTAP_WINDOWS_SOURCES
  src/platform/windows.cpp
  src/platform/key_positions.cpp
  src/platform/line_queue.cpp
  src/platform/raw_input.cpp
  src/platform/windows_diagnosis.cpp
  src/platform/windows_layout.cpp
)
set(KEYTAP_LINUX_SOURCES
  src/platform/backend_choice.cpp
  src/platform/evdev.cpp
  src/platform/evdev_access.cpp
  src/platform/key_positions.cpp
  src/platform/keysym_table.cpp
  src/platform/keysyms.cpp
  src/platform/line_queue.cpp
  src/platform/linux.cpp
  src/platform/linux_diagnosis.cpp
  src/platform/poll_loop.cpp
  src/platform/portal.cpp
  src/platform/portal_bus.cpp
  src/platform/portal_answers.cpp
  src/platform/portal_shortcuts.cpp
  src/platform/posix_io.cpp
  src/platform/ticker.cpp
  src/platform/x11.cpp
  src/platform/x11_layout.cpp
)

if(CMAKE_SCRIPT_MODE_FILE AND KEYTAP_PRINT STREQUAL "macos")
  foreach(source IN LISTS KEYTAP_CORE_SOURCES KEYTAP_MAIN_SOURCES KEYTAP_MACOS_SOURCES)
    message(NOTICE "${source}")
  endforeach()
endif()
