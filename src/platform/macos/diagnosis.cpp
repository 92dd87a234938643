#include "platform/macos/diagnosis.h"

std::vector<Finding> macosFindings(const MacFacts& facts) {
  std::vector<Finding> findings;
  if (facts.granted) {
    findings.push_back({"Input Monitoring", "Granted to the app that started keytap.", ""});
  } else {
    findings.push_back(
        {"Input Monitoring", "Not granted to the app that started keytap.",
         "Open System Settings > Privacy & Security > Input Monitoring and switch on the app "
         "that starts keytap (macOS asks on behalf of that app, not of keytap), then start it "
         "again."});
  }
  // --consume keeps keys with an active tap, which macOS lets a trusted accessibility client
  // alone open.
  if (facts.accessibility == true) {
    findings.push_back(
        {"Accessibility", "Granted to the app that started keytap: --consume can keep keys.", ""});
  } else if (facts.accessibility == false) {
    findings.push_back(
        {"Accessibility",
         "Not granted to the app that started keytap: a register with consume is refused "
         "(forbidden).",
         "Open System Settings > Privacy & Security > Accessibility and switch on the app that "
         "starts keytap."});
  }
  if (!facts.secureInput) {
    findings.push_back({"Secure Input", "Off.", ""});
    return findings;
  }
  const SecureInput& holder = *facts.secureInput;
  const std::string who = "process " + std::to_string(holder.pid) +
                          (holder.process.empty() ? "" : " (" + holder.process + ")");
  findings.push_back(
      {"Secure Input",
       "On, held by " + who +
           ": while it is on, key presses do not reach keytap or any other listener (modifier "
           "keys held alone still do).",
       "Leave the password field, or quit " + who +
           "; a terminal's Secure Keyboard Entry setting is a common cause."});
  return findings;
}
