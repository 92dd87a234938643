#include "host/command_line.h"

#include <string>

#include "host/doctor.h"
#include "host/startup.h"
#include "platform/platform.h"

namespace {

constexpr std::string_view help =
    "usage: keytap [options]; a host speaks JSON lines with it on standard input and output\n"
    "  --no-prompt            macOS: do not ask for the Input Monitoring permission at start\n"
    "  --release-stale-holds  close every hold whose release may have been missed\n"
    "  --status               say when keytap stops or starts listening\n"
    "  --extended-keys        also sided modifiers (RightAlt), modifiers alone, Fn, the keypad,\n"
    "                         F21-F24 and IntlBackslash\n"
    "  --mouse-buttons        also the middle and side mouse buttons (MouseMiddle, MouseBack,\n"
    "                         MouseForward)\n"
    "  --capture              also capture, cancel_capture and describe: record the next chord\n"
    "                         pressed, and labels of accelerators in the keyboard layout\n"
    "  --consume              a register with \"consume\":true keeps its key from the other\n"
    "                         programs while it is held\n"
    "  --backend=x11|evdev    Linux: the keyboard source, instead of the session's choice\n"
    "  --doctor               say what keytap sees and what to do when it cannot listen\n"
    "  --json                 with --doctor: the same as one JSON object\n"
    "  --version              print keytap's version\n"
    "  --help                 print this\n";

}  // namespace

std::optional<int> runCommandLine(std::span<const char* const> args) {
  if (hasArgument(args, "--version")) {
    writeOutput("keytap " KEYTAP_VERSION "\n");
    return 0;
  }
  if (hasArgument(args, "--help")) {
    writeOutput(help);
    return 0;
  }
  if (const std::string_view wrong = takePlatformArguments(args); !wrong.empty()) {
    writeError(wrong);
    return 2;
  }
  if (hasArgument(args, "--doctor")) {
    // With --mouse-buttons it looks at the pointer devices too.
    options = optionsFrom(args);
    const Diagnosis diagnosis = diagnose();
    writeOutput(hasArgument(args, "--json") ? doctorJson(diagnosis) : doctorText(diagnosis));
    return diagnosis.canListen ? 0 : 1;
  }
  return std::nullopt;
}
