#include <gtest/gtest.h>

#include "platform/linux/backend_choice.h"

namespace {

TEST(BackendChoiceTest, TheSessionChoosesTheRoad) {
  const struct {
    Session session;
    Backend backend;
  } rows[] = {
      {{"wayland-0", "wayland", ":0"},
       Backend::evdev},  // Xwayland's DISPLAY hears X11 windows only
      {{"wayland-0", "", ""}, Backend::evdev},
      {{"", "wayland", ":0"}, Backend::evdev},
      {{"", "x11", ":0"}, Backend::x11},
      {{"", "", ":1"}, Backend::x11},
      {{"", "tty", ""}, Backend::evdev},
      {{"", "", ""}, Backend::evdev},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(chooseBackend(row.session).backend, row.backend)
        << row.session.waylandDisplay << "|" << row.session.sessionType << "|"
        << row.session.display;
  }
}

TEST(BackendChoiceTest, PortalOnlyWhereAskedForAndEvdevReadsNothing) {
  const struct {
    Session session;
    bool portalWanted;
    bool evdevReads;
    Backend backend;
  } rows[] = {
      {{"wayland-0", "wayland", ""}, true, false, Backend::portal},
      {{"", "wayland", ""}, true, false, Backend::portal},
      {{"wayland-0", "wayland", ""}, true, true, Backend::evdev},
      {{"wayland-0", "wayland", ""}, false, false, Backend::evdev},
      {{"", "x11", ":0"}, true, false, Backend::x11},
      {{"", "tty", ""}, true, false, Backend::evdev},
  };
  for (const auto& row : rows) {
    const auto evdevReads = [&row] { return row.evdevReads; };
    EXPECT_EQ(chooseBackend(row.session, row.portalWanted, evdevReads).backend, row.backend)
        << row.session.sessionType << " portal " << row.portalWanted << " evdev " << row.evdevReads;
  }
}

TEST(BackendChoiceTest, ArgumentsForceOneOrAreRefused) {
  const struct {
    std::vector<const char*> args;
    bool valid;
    std::optional<Backend> backend;
  } rows[] = {
      {{"keytap"}, true, std::nullopt},
      {{"keytap", "--backend=x11"}, true, Backend::x11},
      {{"keytap", "--status", "--backend=evdev"}, true, Backend::evdev},
      {{"keytap", "--backend=x11", "--backend=evdev"}, true, Backend::evdev},
      {{"keytap", "--backend=portal"}, true, Backend::portal},
      {{"keytap", "--backend=wayland"}, false, std::nullopt},
      {{"keytap", "--backend="}, false, std::nullopt},
      {{"keytap", "--backend"}, false, std::nullopt},
      {{"keytap", "--backends=x11"}, true, std::nullopt},  // another word, ignored like any
  };
  for (const auto& row : rows) {
    const BackendRequest request = requestedBackend(row.args);
    EXPECT_EQ(request.valid, row.valid) << row.args.back();
    EXPECT_EQ(request.backend, row.backend) << row.args.back();
  }
}

TEST(BackendChoiceTest, PortalAppIdFromTheArguments) {
  const struct {
    std::vector<const char*> args;
    std::optional<std::string_view> appId;
  } rows[] = {
      {{"keytap"}, std::nullopt},
      {{"keytap", "--portal"}, ""},
      {{"keytap", "--portal=org.example.App"}, "org.example.App"},
      {{"keytap", "--portals"}, std::nullopt},
  };
  for (const auto& row : rows) EXPECT_EQ(requestedBackend(row.args).portalAppId, row.appId);
}

TEST(BackendChoiceTest, AppIds) {
  const struct {
    std::string_view text;
    bool valid;
  } rows[] = {
      {"org.example.App", true},
      {"org.example.my-app_2", true},
      {"org.example", true},
      {"example", false},
      {"", false},
      {"org..example", false},
      {"org.example.", false},
      {".org.example", false},
      {"org.7zip.App", false},
      {"org.example.\xff", false},
      {"org.example/App", false},
      {"org.example.App\n", false},
  };
  for (const auto& row : rows) EXPECT_EQ(isAppId(row.text), row.valid) << row.text;
  const std::string longest = "org." + std::string(251, 'a');
  EXPECT_TRUE(isAppId(longest));
  EXPECT_FALSE(isAppId(longest + "a"));
  const std::vector<const char*> args = {"keytap", "--portal=org.example.\xff"};
  EXPECT_FALSE(requestedBackend(args).validAppId);
}

}  // namespace
