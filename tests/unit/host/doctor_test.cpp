#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "host/doctor.h"
#include "platform/linux/diagnosis.h"
#include "platform/macos/diagnosis.h"
#include "platform/windows/diagnosis.h"

namespace {

// Each finding as "subject: seen" with " | fix" when it has one.
std::vector<std::string> said(const std::vector<Finding>& findings) {
  std::vector<std::string> lines;
  for (const Finding& finding : findings) {
    lines.push_back(finding.subject + ": " + finding.seen +
                    (finding.fix.empty() ? "" : " | " + finding.fix));
  }
  return lines;
}

bool mentions(const std::vector<Finding>& findings, std::string_view words) {
  return std::any_of(findings.begin(), findings.end(), [&](const Finding& finding) {
    return (finding.seen + finding.fix).find(words) != std::string::npos;
  });
}

TEST(DoctorTest, X11SaysWhatIsMissing) {
  const struct {
    X11Facts facts;
    const char* seen;
    bool fix;
  } rows[] = {
      {{"", false, 0, 0}, "DISPLAY is not set", true},
      {{":3", false, 0, 0}, "The display :3 does not open.", true},
      {{":3", true, 0, 0}, "no XInput extension", true},
      {{":3", true, 2, 0}, "speaks XInput 2.0", true},
      {{":3", true, 2, 2}, "The display :3 opens, with XInput 2.2.", false},
  };
  for (const auto& row : rows) {
    const std::vector<Finding> findings = x11Findings(row.facts);
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_NE(findings[0].seen.find(row.seen), std::string::npos) << findings[0].seen;
    EXPECT_EQ(!findings[0].fix.empty(), row.fix) << row.seen;
    EXPECT_EQ(mentions(findings, "--backend=evdev"), row.fix) << row.seen;
  }
}

TEST(DoctorTest, EvdevSaysWhoMayReadTheKeyboards) {
  const std::vector<InputDevice> unreadable{
      {"/dev/input/event3", "AT keyboard", false, {"1", "2", "3"}}};
  const std::vector<InputDevice> readable{{"/dev/input/event3", "AT keyboard", true, {"1"}}};
  const struct {
    const char* name;
    EvdevFacts facts;
    const char* fix;  // what the fix must say; empty for none
  } rows[] = {
      {"outside the group",
       {unreadable, "ada", {"ada", "audio"}, false, {}},
       "usermod -aG input ada"},
      {"added, not logged in again",
       {unreadable, "ada", {"ada"}, true, {}},
       "log out and in again"},
      {"in the group", {readable, "ada", {"ada", "input"}, true, {}}, ""},
      {"no keyboard", {{}, "ada", {"ada"}, false, {}}, "Plug a keyboard in"},
  };
  for (const auto& row : rows) {
    const std::vector<Finding> findings = evdevFindings(row.facts);
    const bool anyFix = std::any_of(findings.begin(), findings.end(),
                                    [](const Finding& finding) { return !finding.fix.empty(); });
    EXPECT_EQ(anyFix, *row.fix != '\0') << row.name;
    if (*row.fix) {
      EXPECT_TRUE(mentions(findings, row.fix)) << row.name;
    }
  }
  EXPECT_EQ(said(evdevFindings(rows[0].facts))[0],
            "/dev/input/event3: \"AT keyboard\", with keys keytap knows (1, 2, 3), which this user "
            "cannot read.");
  // With --mouse-buttons the mice are listed too, and one this user cannot read needs the fix.
  const EvdevFacts withMouse{
      readable, "ada", {"ada", "input"}, true, {{"/dev/input/event5", "USB mouse", false, {}}}};
  EXPECT_EQ(said(evdevFindings(withMouse))[1],
            "/dev/input/event5: \"USB mouse\", a mouse with a middle or side button, which this "
            "user cannot read.");
  EXPECT_TRUE(mentions(evdevFindings(withMouse), "usermod -aG input ada"));
}

TEST(DoctorTest, PortalSaysWhatTheDesktopOffers) {
  const struct {
    PortalFacts facts;
    bool suggest;
    const char* said;
  } rows[] = {
      {{false, std::nullopt, "", "", ""},
       true,
       "portal: No D-Bus session bus answers, so there is no desktop portal to ask. | Start keytap "
       "from within the desktop session."},
      {{true, std::nullopt, "No such interface", "", ""},
       true,
       "portal: The desktop's portal does not offer global shortcuts (No such interface)."},
      {{true, 1, "", "", ""},
       false,
       "portal: The desktop's portal offers global shortcuts (GlobalShortcuts version 1)."},
      {{true, 2, "", "", ""},
       true,
       "portal: The desktop's portal offers global shortcuts (GlobalShortcuts version 2). | Start "
       "keytap with --portal to have the desktop bind the shortcuts; it takes their keys from the "
       "windows."},
      {{true, 1, "", "org.example.App", "App info not found"},
       false,
       "portal: The desktop's portal offers global shortcuts (GlobalShortcuts version 1). It "
       "refused the app id org.example.App (App info not found). | Install org.example.App.desktop "
       "in ~/.local/share/applications or /usr/share/applications."},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(said({portalFinding(row.facts, row.suggest)})[0], row.said);
  }
}

TEST(DoctorTest, NamesComeFromEtcWithoutNameServices) {
  constexpr std::string_view etcGroup =
      "root:x:0:\n# a comment\ninput:x:104:bob,ada\naudio:x:29:ada\nbroken\n";
  constexpr std::string_view etcPasswd = "root:x:0:0::/root:/bin/sh\nada:x:1000:1000::/:/bin/sh\n";
  EXPECT_EQ(groupNames({1000, 29, 104, 29}, etcGroup),
            (std::vector<std::string>{"1000", "audio", "input"}));
  EXPECT_TRUE(groupListsUser(etcGroup, "input", "ada"));
  EXPECT_FALSE(groupListsUser(etcGroup, "input", "ad"));
  EXPECT_FALSE(groupListsUser(etcGroup, "audio", "bob"));
  EXPECT_EQ(userName(1000, etcPasswd), "ada");
  EXPECT_EQ(userName(4242, etcPasswd), "4242");
}

TEST(DoctorTest, MacosAndWindowsSayWhatTheySee) {
  EXPECT_EQ(said(macosFindings({true, std::nullopt, std::nullopt})),
            (std::vector<std::string>{"Input Monitoring: Granted to the app that started keytap.",
                                      "Secure Input: Off."}));
  const std::vector<Finding> denied =
      macosFindings({false, SecureInput{88, "Terminal"}, std::nullopt});
  EXPECT_TRUE(mentions(denied, "Privacy & Security > Input Monitoring"));
  EXPECT_TRUE(mentions(denied, "held by process 88 (Terminal)"));
  EXPECT_TRUE(
      mentions(macosFindings({true, SecureInput{88, ""}, std::nullopt}), "held by process 88:"));
  EXPECT_TRUE(
      mentions(macosFindings({true, std::nullopt, false}), "Privacy & Security > Accessibility"));
  EXPECT_EQ(said(macosFindings({true, std::nullopt, true}))[1],
            "Accessibility: Granted to the app that started keytap: --consume can keep keys.");

  EXPECT_TRUE(mentions(windowsFindings({false, false, {}}), "Registration fails"));
  EXPECT_TRUE(mentions(windowsFindings({true, false, {}}), "do not reach it"));
  EXPECT_TRUE(mentions(windowsFindings({true, true, {}}), "also hears keys typed into elevated"));
  const std::vector<Finding> windows =
      windowsFindings({true, false, {{"game.exe", true}, {"anticheat.exe", false}, {"", false}}});
  EXPECT_TRUE(mentions(windows, "game.exe is open, which runs elevated: keys typed into it"));
  EXPECT_TRUE(mentions(windows, "anticheat.exe is open, which keytap may not inspect"));
  EXPECT_TRUE(mentions(windows, "A window of a program is open, which keytap may not inspect"));
  EXPECT_FALSE(mentions(windowsFindings({true, false, {}}), "which runs elevated"));
}

TEST(DoctorTest, ReportsForPeopleAndForHosts) {
  const Diagnosis diagnosis{{{"display", "It opens.", ""}, {"user", "Outside.", "Join."}}, false};
  EXPECT_EQ(doctorText(diagnosis),
            "display: It opens.\nuser: Outside.\n  To fix: Join.\nkeytap cannot listen.\n");
  const std::string json = doctorJson(diagnosis);
  EXPECT_EQ(json.find('\n'), json.size() - 1);
  EXPECT_EQ(nlohmann::json::parse(json), nlohmann::json::parse(R"({"listening":false,"findings":[
              {"subject":"display","seen":"It opens."},
              {"subject":"user","seen":"Outside.","fix":"Join."}]})"));
}

}  // namespace
