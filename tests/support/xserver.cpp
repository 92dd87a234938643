#include "support/xserver.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <unistd.h>
#include <xcb/xtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>

namespace {

// An Xauthority entry that matches any display of this host (FamilyWild).
std::string authorityEntry(const std::string& cookie) {
  const auto field = [](const std::string& bytes) {
    return std::string{static_cast<char>(bytes.size() >> 8),
                       static_cast<char>(bytes.size() & 0xFF)} +
           bytes;
  };
  return std::string("\xFF\xFF", 2) + field("") + field("") + field("MIT-MAGIC-COOKIE-1") +
         field(cookie);
}

std::string randomCookie() {
  std::random_device random;
  std::string cookie(16, '\0');
  for (char& byte : cookie) byte = static_cast<char>(random());
  return cookie;
}

}  // namespace

VirtualDisplay::~VirtualDisplay() {
  endChild(server);
  if (!authFile.empty()) unlink(authFile.c_str());
}

std::unique_ptr<VirtualDisplay> startVirtualDisplay(bool locked, bool tcp) {
  auto owned = std::make_unique<VirtualDisplay>();
  VirtualDisplay& display = *owned;
  std::vector<std::string> args{
      "-displayfd", "3", tcp ? "-listen" : "-nolisten", "tcp", "-screen", "0", "320x240x24"};
  if (locked) {
    display.cookie = randomCookie();
    char path[] = "/tmp/keytap-auth-XXXXXX";
    const int file = mkstemp(path);
    if (file < 0) return nullptr;
    const std::string entry = authorityEntry(display.cookie);
    const bool written =
        write(file, entry.data(), entry.size()) == static_cast<ssize_t>(entry.size());
    close(file);
    display.authFile = path;
    if (!written) return nullptr;
    args.insert(args.end(), {"-auth", display.authFile});
  }

  // Xvfb writes the display number it chose to descriptor 3.
  int numberPipe[2];
  if (pipe(numberPipe) != 0) return nullptr;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, numberPipe[1], 3);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> argStrings{"Xvfb"};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argStrings) argv.push_back(arg.data());
  argv.push_back(nullptr);
  extern char** environ;
  const int spawned =
      posix_spawnp(&display.server.pid, "Xvfb", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(numberPipe[1]);
  if (spawned != 0) {
    display.server.pid = -1;
    close(numberPipe[0]);
    return nullptr;
  }

  std::string number;
  pollfd ready{numberPipe[0], POLLIN, 0};
  char byte;
  while (poll(&ready, 1, 10000) > 0 && read(numberPipe[0], &byte, 1) == 1 && byte != '\n') {
    number += byte;
  }
  close(numberPipe[0]);
  if (number.empty()) return nullptr;
  display.name = ":" + number;
  return owned;
}

std::unique_ptr<VirtualDisplay> restartVirtualDisplay(const std::string& name) {
  auto display = std::make_unique<VirtualDisplay>();
  display->name = name;
  // -noreset: the probe below is the server's first client, and its leaving must not make the
  // server reset under the next one.
  std::vector<std::string> args{name, "-noreset", "-nolisten", "tcp", "-screen", "0", "320x240x24"};
  std::optional<Child> server = spawnChild("/usr/bin/Xvfb", args, "");
  if (!server) return nullptr;
  display->server = std::move(*server);
  for (int attempt = 0; attempt < 500; ++attempt) {
    xcb_connection_t* probe = xcb_connect(name.c_str(), nullptr);
    const bool up = !xcb_connection_has_error(probe);
    xcb_disconnect(probe);
    if (up) return display;
    usleep(10000);
  }
  return nullptr;
}

Injector::~Injector() {
  if (connection) xcb_disconnect(connection);
}

std::unique_ptr<Injector> connectInjector(const VirtualDisplay& display) {
  auto owned = std::make_unique<Injector>();
  Injector& injector = *owned;
  if (display.cookie.empty()) {
    injector.connection = xcb_connect(display.name.c_str(), nullptr);
  } else {
    std::string name = "MIT-MAGIC-COOKIE-1";
    std::string cookie = display.cookie;
    xcb_auth_info_t auth{static_cast<int>(name.size()), name.data(),
                         static_cast<int>(cookie.size()), cookie.data()};
    injector.connection =
        xcb_connect_to_display_with_auth_info(display.name.c_str(), &auth, nullptr);
  }
  if (xcb_connection_has_error(injector.connection)) return nullptr;
  return owned;
}

namespace {

// A round trip: once it returns, the server has sent the input's events to every listener.
void awaitServer(Injector& injector) {
  std::free(xcb_get_input_focus_reply(injector.connection, xcb_get_input_focus(injector.connection),
                                      nullptr));
}

}  // namespace

void injectKey(Injector& injector, uint8_t keycode, bool press) {
  xcb_test_fake_input(injector.connection, press ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycode,
                      XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
  awaitServer(injector);
}

void injectButton(Injector& injector, uint8_t button, bool press) {
  xcb_test_fake_input(injector.connection, press ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, button,
                      XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
  awaitServer(injector);
}

void injectMotion(Injector& injector, int16_t dx, int16_t dy) {
  // Detail 1: relative to where the pointer is.
  xcb_test_fake_input(injector.connection, XCB_MOTION_NOTIFY, 1, XCB_CURRENT_TIME, XCB_NONE, dx, dy,
                      0);
  awaitServer(injector);
}

bool grabKeyboard(Injector& injector) {
  xcb_connection_t* connection = injector.connection;
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
  xcb_grab_keyboard_reply_t* grab =
      xcb_grab_keyboard_reply(connection,
                              xcb_grab_keyboard(connection, 0, root, XCB_CURRENT_TIME,
                                                XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                              nullptr);
  const bool granted = grab && grab->status == XCB_GRAB_STATUS_SUCCESS;
  std::free(grab);
  return granted;
}

void mapKey(Injector& injector, uint8_t keycode, uint32_t keysym) {
  const xcb_keysym_t keysyms[] = {keysym, keysym};
  xcb_change_keyboard_mapping(injector.connection, 1, keycode, 2, keysyms);
  awaitServer(injector);
}

bool setLayouts(const VirtualDisplay& display, const std::string& layouts,
                const std::string& option) {
  // An empty -option first clears the options the server had.
  std::vector<std::string> args{"-layout", layouts, "-option", ""};
  if (!option.empty()) args.insert(args.end(), {"-option", option});
  std::optional<Child> setxkbmap = spawnChild("/usr/bin/setxkbmap", args, display.name);
  if (!setxkbmap) return false;
  const std::optional<int> status = waitForExit(*setxkbmap, 10000);
  if (!status) endChild(*setxkbmap);
  return status == 0;
}

void unlockDisplay(Injector& injector) {
  xcb_set_access_control(injector.connection, XCB_ACCESS_CONTROL_DISABLE);
  std::free(xcb_get_input_focus_reply(injector.connection, xcb_get_input_focus(injector.connection),
                                      nullptr));
}
