#include "wire/messages.h"

using json = nlohmann::ordered_json;

namespace {

// Built member by member: an initializer list would build each pair as an array first.
json envelope(std::string_view type, json payload) {
  json message = json::object();
  message["t"] = type;
  message["d"] = std::move(payload);
  return message;
}

}  // namespace

json readyMessage(bool permissionGranted) {
  json payload = json::object();
  payload["available"] = true;
  payload["permission"] = permissionGranted ? "granted" : "denied";
  return envelope("ready", std::move(payload));
}

json acceleratorMessage(std::string_view type, std::string_view accelerator) {
  json payload = json::object();
  payload["accelerator"] = accelerator;
  return envelope(type, std::move(payload));
}

json keyMessage(std::string_view type, std::string_view accelerator, double at,
                std::optional<bool> alone) {
  json payload = json::object();
  payload["accelerator"] = accelerator;
  payload["at"] = at;
  if (alone) payload["alone"] = *alone;
  return envelope(type, std::move(payload));
}

json statusMessage(bool listening, std::string_view reason) {
  json payload = json::object();
  payload["listening"] = listening;
  if (!listening) payload["reason"] = reason;
  return envelope("status", std::move(payload));
}

json errorMessage(std::string_view code, std::string_view message) {
  json payload = json::object();
  payload["code"] = code;
  payload["message"] = message;
  return envelope("error", std::move(payload));
}

json emptyMessage(std::string_view type) {
  return envelope(type, json::object());
}

json describedMessage(std::string_view type, std::string_view accelerator, std::string_view label,
                      std::string_view taken) {
  json payload = json::object();
  payload["accelerator"] = accelerator;
  payload["label"] = label;
  if (!taken.empty()) payload["taken"] = taken;
  return envelope(type, std::move(payload));
}

json bindingMessage(std::string_view accelerator, std::string_view state,
                    std::string_view trigger) {
  json payload = json::object();
  payload["accelerator"] = accelerator;
  payload["state"] = state;
  payload["trigger"] = trigger;
  return envelope("binding", std::move(payload));
}
