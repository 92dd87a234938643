#include "core/registry.h"

#include <algorithm>

void addRegistration(std::string text, Accel accel) {
  const auto [entry, added] = registered.emplace(std::move(text), accel);
  if (added) registeredByKey[accel.keyCode].push_back(&*entry);
}

void removeRegistration(std::string_view text) {
  const auto entry = registered.find(text);
  if (entry == registered.end()) return;
  std::vector<const Registration*>& sameKey = registeredByKey[entry->second.keyCode];
  // Order within a key code does not matter: the last one takes the removed one's place.
  *std::find(sameKey.begin(), sameKey.end(), &*entry) = sameKey.back();
  sameKey.pop_back();
  registered.erase(entry);
}

void clearRegistrations() {
  registered.clear();
  registeredByKey.clear();
}

bool anyMouseButtonRegistered() {
  return std::any_of(std::begin(mouseButtonCodes), std::end(mouseButtonCodes),
                     [](uint16_t button) { return !registrationsOf(button).empty(); });
}

std::span<const Registration* const> registrationsOf(uint16_t keyCode) {
  const auto sameKey = registeredByKey.find(keyCode);
  if (sameKey == registeredByKey.end()) return {};
  return sameKey->second;
}
