#include <gtest/gtest.h>

#include "accelerator/parse.h"
#include "core/key_table.h"
#include "core/state.h"
#include "platform/linux/portal/shortcuts.h"
#include "support/fake_platform.h"

namespace {

Accel parsed(const char* text) {
  fakeReset();
  options.extendedKeys = true;
  options.mouseButtons = true;
  buildKeyCodes();
  return parse(text).value();
}

TEST(PortalShortcutsTest, TriggersAndTextKeys) {
  const struct {
    const char* accelerator;
    const char* trigger;  // empty: no desktop binds it
    bool typesText;
  } rows[] = {
      {"Control+Shift+K", "CTRL+SHIFT+k", false},
      {"Super+Alt+Space", "ALT+LOGO+space", false},
      {"Control+PageUp", "CTRL+Prior", false},
      {"Alt+Enter", "ALT+Return", false},
      {"F13", "XF86Tools", false},  // the keysyms that the default keymap's F13 to F24 type
      {"Alt+F20", "ALT+XF86AudioMicMute", false},
      {"F19", "", false},
      {"F24", "", false},
      {"Control+Numpad5", "CTRL+KP_5", false},
      {"Shift+A", "SHIFT+a", true},
      {"Space", "space", true},
      {"NumpadEnter", "KP_Enter", true},
      {"Shift+/", "SHIFT+slash", true},
      {"Control+Shift", "", false},
      {"MouseBack", "", false},
      {"LeftControl+K", "", false},
  };
  for (const auto& row : rows) {
    const Accel accel = parsed(row.accelerator);
    EXPECT_EQ(preferredTrigger(accel, ShiftMatch::keyAndShift), row.trigger) << row.accelerator;
    EXPECT_EQ(typesText(accel), row.typesText) << row.accelerator;
  }
}

TEST(PortalShortcutsTest, ShiftWhereTheDesktopMatchesTheShiftedSymbol) {
  const struct {
    const char* accelerator;
    const char* trigger;
  } rows[] = {
      {"Control+Shift+1", "CTRL+exclam"},    {"Alt+Shift+/", "ALT+question"},
      {"Control+Shift+K", "CTRL+SHIFT+k"},  // a letter keeps Shift
      {"Control+Shift+F5", "CTRL+SHIFT+F5"}, {"Control+1", "CTRL+1"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(preferredTrigger(parsed(row.accelerator), ShiftMatch::shiftedSymbol), row.trigger)
        << row.accelerator;
  }
}

TEST(PortalShortcutsTest, SessionTokensAndDesktops) {
  EXPECT_EQ(sessionTokenFor("/usr/bin/app"), sessionTokenFor("/usr/bin/app"));
  EXPECT_NE(sessionTokenFor("/usr/bin/app"), sessionTokenFor("/usr/bin/other"));
  EXPECT_EQ(sessionTokenFor("/usr/bin/app").size(), 23u);  // keytap_ and 16 hex digits
  EXPECT_EQ(sessionTokenFor(""), "keytap");
  const struct {
    const char* current;
    bool kde;
  } rows[] = {
      {"KDE", true}, {"ubuntu:GNOME", false}, {"foo:KDE", true}, {"KDEX", false}, {"", false}};
  for (const auto& row : rows) EXPECT_EQ(namesDesktop(row.current, "KDE"), row.kde) << row.current;
}

TEST(PortalShortcutsTest, BindingStateFromTheAnswer) {
  const struct {
    bool listed;
    uint32_t response;
    BindingState state;
  } rows[] = {
      {true, 0, BindingState::bound},    {true, 2, BindingState::bound},
      {true, 1, BindingState::bound},    {false, 0, BindingState::refused},
      {false, 1, BindingState::refused}, {false, 2, BindingState::failed},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(bindingState(row.listed, row.response), row.state)
        << row.listed << " " << row.response;
  }
}

}  // namespace
