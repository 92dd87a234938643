#include "platform/windows/diagnosis.h"

std::vector<Finding> windowsFindings(const WindowsFacts& facts) {
  std::vector<Finding> findings;
  if (facts.rawInputRegisters) {
    findings.push_back({"Raw Input",
                        "Registration succeeds: keytap hears the keyboards of this "
                        "session.",
                        ""});
  } else {
    findings.push_back({"Raw Input", "Registration fails: keytap hears no keyboard.",
                        "Start keytap from a program of the interactive desktop session, not "
                        "from a service."});
  }
  // Windows keeps the input of a window of a higher integrity level from a process of a lower
  // one (User Interface Privilege Isolation): only a process with UIAccess "read[s] input for
  // all integrity levels using low-level hooks, raw input, GetKeyState, GetAsyncKeyState" (the
  // security policy setting "User Account Control: Only elevate UIAccess applications that are
  // installed in secure locations").
  if (facts.elevated) {
    findings.push_back(
        {"elevation", "keytap runs elevated: it also hears keys typed into elevated windows.", ""});
  } else {
    findings.push_back({"elevation",
                        "keytap does not run elevated: keys typed into the windows of elevated "
                        "programs (run as administrator) do not reach it, nor keys typed on the "
                        "secure desktop (lock screen, Ctrl+Alt+Del, UAC).",
                        ""});
  }
  // The commonest "push-to-talk stops working in this game": the game runs as administrator.
  for (const ElevatedProgram& window : facts.elevatedWindows) {
    const std::string program = window.program.empty() ? "a program" : window.program;
    if (window.known) {
      findings.push_back({"elevated window",
                          "A window of " + program +
                              " is open, which runs elevated: keys typed into it do not reach "
                              "keytap.",
                          "Run " + program +
                              " without elevation, or start the app that starts keytap as "
                              "administrator too."});
    } else {
      findings.push_back({"elevated window",
                          "A window of " + program +
                              " is open, which keytap may not inspect (another account's, or a "
                              "protected process): if it runs elevated, keys typed into it do "
                              "not reach keytap.",
                          ""});
    }
  }
  return findings;
}
