#include "host/doctor.h"

#include <nlohmann/json.hpp>

std::string doctorText(const Diagnosis& diagnosis) {
  std::string text;
  for (const Finding& finding : diagnosis.findings) {
    text += finding.subject + ": " + finding.seen + "\n";
    if (!finding.fix.empty()) text += "  To fix: " + finding.fix + "\n";
  }
  text += diagnosis.canListen ? "keytap can listen.\n" : "keytap cannot listen.\n";
  return text;
}

std::string doctorJson(const Diagnosis& diagnosis) {
  nlohmann::ordered_json findings = nlohmann::ordered_json::array();
  for (const Finding& finding : diagnosis.findings) {
    nlohmann::ordered_json entry{{"subject", finding.subject}, {"seen", finding.seen}};
    if (!finding.fix.empty()) entry["fix"] = finding.fix;
    findings.push_back(std::move(entry));
  }
  const nlohmann::ordered_json report{{"listening", diagnosis.canListen}, {"findings", findings}};
  // Device names come from the kernel and may hold anything: never fail on them.
  return report.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}
