// keytap --doctor: the platform's diagnosis for a person (sentences) or for a host (JSON).
#pragma once

#include <string>

#include "platform/diagnosis.h"

/// One line for each thing seen, its fix indented below it, and a last line that says whether
/// keytap can listen.
std::string doctorText(const Diagnosis& diagnosis);

/// The same as one JSON object: {"listening": bool, "findings": [{"subject", "seen", "fix"}]},
/// "fix" only where something needs doing; one line.
std::string doctorJson(const Diagnosis& diagnosis);
