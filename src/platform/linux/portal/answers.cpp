#include "platform/linux/portal/answers.h"

#include <algorithm>

void takeListing(DesktopAnswers& answers, const std::vector<ListedShortcut>& shortcuts) {
  answers.listed.clear();
  for (const ListedShortcut& shortcut : shortcuts) {
    if (!shortcut.trigger.empty()) answers.listed[shortcut.id] = shortcut.trigger;
  }
}

void takeBindAnswer(DesktopAnswers& answers, const ShortcutIds& ids, uint32_t response) {
  for (const std::string& id : ids) {
    const auto bound = answers.listed.find(id);
    const BindingState state = bindingState(bound != answers.listed.end(), response);
    answers.outcome[id] = {state, state == BindingState::bound ? bound->second : ""};
  }
}

void takeListingAsBound(DesktopAnswers& answers, const ShortcutIds& ids) {
  for (const std::string& id : ids) answers.outcome[id] = {BindingState::bound, answers.listed[id]};
}

void takeChange(DesktopAnswers& answers, const ShortcutIds& ids) {
  for (const std::string& id : ids) {
    const auto known = answers.outcome.find(id);
    if (known == answers.outcome.end()) continue;
    const auto bound = answers.listed.find(id);
    if (bound != answers.listed.end()) {
      known->second = {BindingState::bound, bound->second};
    } else if (known->second.state == BindingState::bound) {
      known->second = {BindingState::unbound, ""};
    }
  }
}

bool listsExactly(const DesktopAnswers& answers, const ShortcutIds& ids) {
  return answers.listed.size() == ids.size() &&
         std::all_of(ids.begin(), ids.end(),
                     [&](const std::string& id) { return answers.listed.contains(id); });
}

std::optional<Binding> news(DesktopAnswers& answers, const std::string& id) {
  const auto known = answers.outcome.find(id);
  if (known == answers.outcome.end()) return std::nullopt;
  const auto [entry, added] = answers.told.try_emplace(id, known->second);
  if (!added && entry->second == known->second) return std::nullopt;
  entry->second = known->second;
  return known->second;
}
