// make demo: keytap on a private virtual display, with keys pressed through XTEST, and every
// line that goes each way printed as it goes.
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

#include "support/process.h"
#include "support/xserver.h"

namespace {

void show(const char* direction, const std::string& line) {
  std::printf("  %s  %s\n", direction, line.c_str());
  std::fflush(stdout);
}

void narrate(const char* what) {
  std::printf("\n%s\n", what);
  std::fflush(stdout);
}

// Prints what keytap says until it has been quiet for a moment.
void showReplies(Child& keytap) {
  while (const std::optional<std::string> line = readLine(keytap, 150)) {
    show("keytap → host", *line);
  }
}

void send(Child& keytap, const std::string& type, const std::string& accelerator) {
  const std::string line =
      R"({"t":")" + type + R"(","d":{"accelerator":")" + accelerator + R"("}})";
  show("host → keytap", line);
  sendText(keytap, line + "\n");
  showReplies(keytap);
}

void press(Injector& injector, Child& keytap, std::initializer_list<uint8_t> keys, int holdMs = 0) {
  for (uint8_t key : keys) injectKey(injector, key, true);
  std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
  for (auto key = std::rbegin(keys); key != std::rend(keys); ++key)
    injectKey(injector, *key, false);
  showReplies(keytap);
}

}  // namespace

int main(int argc, char** argv) {
  // Piped into head or less, the demo must still end the processes it started.
  std::signal(SIGPIPE, SIG_IGN);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s PATH_TO_KEYTAP\n", argv[0]);
    return 2;
  }
  std::unique_ptr<VirtualDisplay> display = startVirtualDisplay();
  if (!display) {
    std::fprintf(stderr, "demo: Xvfb did not start (is it installed? run scripts/install-deps)\n");
    return 1;
  }
  std::unique_ptr<Injector> injector = connectInjector(*display);
  std::optional<Child> keytap = spawnChild(argv[1], {}, display->name);
  if (!injector || !keytap) {
    std::fprintf(stderr, "demo: could not start keytap on %s\n", display->name.c_str());
    return 1;
  }

  std::printf("keytap on a private virtual display (%s); keys are pressed through XTEST.\n",
              display->name.c_str());
  narrate("keytap starts and says it is ready:");
  showReplies(*keytap);

  narrate("The host registers one accelerator per modifier kind, one invalid, one twice:");
  send(*keytap, "register", "CommandOrControl+Shift+K");
  send(*keytap, "register", "Alt+Space");
  send(*keytap, "register", "Super+J");
  send(*keytap, "register", "F5");
  send(*keytap, "register", "Cmd+Plus");
  send(*keytap, "register", "Alt+Space");

  narrate("Ctrl+Shift+K pressed and released (CommandOrControl is Control on Linux):");
  press(*injector, *keytap, {xkey::leftControl, xkey::leftShift, xkey::k});
  narrate("Alt+Space held for half a second (push-to-talk):");
  press(*injector, *keytap, {xkey::leftAlt, xkey::space}, 500);
  narrate("Super+J, then F5:");
  press(*injector, *keytap, {xkey::leftSuper, xkey::j});
  press(*injector, *keytap, {xkey::f5});
  narrate("Shift+F5 and plain typing match nothing, so keytap says nothing:");
  press(*injector, *keytap, {xkey::leftShift, xkey::f5});
  press(*injector, *keytap, {xkey::a});
  press(*injector, *keytap, {xkey::j});

  narrate("The host unregisters F5; pressing it again gives nothing:");
  send(*keytap, "unregister", "F5");
  press(*injector, *keytap, {xkey::f5});

  narrate("The host closes keytap's standard input, and keytap exits:");
  closeInput(*keytap);
  const std::optional<int> status = waitForExit(*keytap, 5000);
  std::printf("  exit status %s\n", status ? std::to_string(*status).c_str() : "(still running)");
  return status == 0 ? 0 : 1;
}
