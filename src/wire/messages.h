// The outbound messages, built as plain values.
#pragma once

#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

/// {"t":"ready","d":{"available":true,"permission":"granted"|"denied"}}
nlohmann::ordered_json readyMessage(bool permissionGranted);
/// A reply or key message whose payload is the accelerator text alone ("registered",
/// "unregistered").
nlohmann::ordered_json acceleratorMessage(std::string_view type, std::string_view accelerator);
/// "down" or "up" with the accelerator text and the time in milliseconds, and "alone" when given
/// (the "up" of a modifier-only accelerator).
nlohmann::ordered_json keyMessage(std::string_view type, std::string_view accelerator, double at,
                                  std::optional<bool> alone = std::nullopt);
/// {"t":"status","d":{"listening":false,"reason":...}}, or {"listening":true} with no reason.
nlohmann::ordered_json statusMessage(bool listening, std::string_view reason);
/// {"t":"error","d":{"code":...,"message":...}}
nlohmann::ordered_json errorMessage(std::string_view code, std::string_view message);
/// A message with an empty payload: "capturing", "capture_cancelled".
nlohmann::ordered_json emptyMessage(std::string_view type);
/// "captured", "described" or "capture_held": the accelerator text and its label for people, and
/// who holds the chord already ("taken") where that is known.
nlohmann::ordered_json describedMessage(std::string_view type, std::string_view accelerator,
                                        std::string_view label, std::string_view taken = {});
/// What became of an accelerator the desktop was asked to bind (--portal): its state ("bound",
/// "refused", "failed", "unbound") and the desktop's description of its trigger, for people.
nlohmann::ordered_json bindingMessage(std::string_view accelerator, std::string_view state,
                                      std::string_view trigger);
