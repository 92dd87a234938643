#include <gtest/gtest.h>

#include "platform/linux/portal/answers.h"

namespace {

const ShortcutIds ids = {"Control+Shift+K", "F9"};

TEST(PortalAnswersTest, ABindAnsweredAsListed) {
  const struct {
    const char* name;
    std::vector<ListedShortcut> listing;
    uint32_t response;
    Binding chord;
  } rows[] = {
      {"bound", {{"Control+Shift+K", "Ctrl+Shift+K"}}, 0, {BindingState::bound, "Ctrl+Shift+K"}},
      {"listed without keys", {{"Control+Shift+K", ""}}, 0, {BindingState::refused, ""}},
      {"left out", {}, 0, {BindingState::refused, ""}},
      {"failed", {{"Control+Shift+K", ""}}, 2, {BindingState::failed, ""}},
  };
  for (const auto& row : rows) {
    DesktopAnswers answers;
    takeListing(answers, row.listing);
    takeBindAnswer(answers, ids, row.response);
    EXPECT_EQ(news(answers, "Control+Shift+K"), row.chord) << row.name;
    EXPECT_EQ(news(answers, "Control+Shift+K"), std::nullopt) << row.name;  // told once
  }
}

TEST(PortalAnswersTest, ChangesInTheSettings) {
  DesktopAnswers answers;
  // Before the bind is answered a change says nothing of it.
  takeListing(answers, {{"F9", ""}});
  takeChange(answers, ids);
  EXPECT_EQ(news(answers, "F9"), std::nullopt);

  takeListing(answers, {{"F9", "F9"}, {"Control+Shift+K", "Ctrl+Shift+K"}});
  takeBindAnswer(answers, ids, 0);
  news(answers, "F9");
  takeListing(answers, {{"F9", "Ctrl+F9"}, {"Control+Shift+K", ""}});
  takeChange(answers, ids);
  EXPECT_EQ(news(answers, "F9"), (Binding{BindingState::bound, "Ctrl+F9"}));
  EXPECT_EQ(news(answers, "Control+Shift+K"), (Binding{BindingState::unbound, ""}));
}

TEST(PortalAnswersTest, ListsExactly) {
  DesktopAnswers answers;
  takeListing(answers, {{"F9", "F9"}, {"Control+Shift+K", "Ctrl+Shift+K"}});
  EXPECT_TRUE(listsExactly(answers, ids));
  EXPECT_FALSE(listsExactly(answers, {"F9"}));  // a bind drops the other, a listing does not
  takeListing(answers, {{"F9", "F9"}, {"Control+Shift+K", ""}});
  EXPECT_FALSE(listsExactly(answers, ids));
}

}  // namespace
