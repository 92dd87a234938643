#include "host/messages.h"

using json = nlohmann::ordered_json;

json readyMessage(bool permissionGranted) {
  return {{"t", "ready"},
          {"d", {{"available", true}, {"permission", permissionGranted ? "granted" : "denied"}}}};
}

json acceleratorMessage(std::string_view type, std::string_view accelerator) {
  return {{"t", type}, {"d", {{"accelerator", accelerator}}}};
}

json keyMessage(std::string_view type, std::string_view accelerator, double at) {
  return {{"t", type}, {"d", {{"accelerator", accelerator}, {"at", at}}}};
}

json errorMessage(std::string_view code, std::string_view message) {
  return {{"t", "error"}, {"d", {{"code", code}, {"message", message}}}};
}
