// What the real binary does for a person at a terminal: --version, --doctor, and a wrong
// --backend, which never reach the wire protocol.
#include <fstream>
#include <sstream>

#include "e2e/e2e.h"
#include "support/xserver.h"

namespace {

struct Ran {
  std::string output;
  std::string errors;
  std::optional<int> status;
};

// Runs keytap to its end.
Ran run(const std::vector<std::string>& args, const std::string& display = "",
        const std::string& environment = "") {
  std::optional<Child> child = spawnKeytap(args, display, environment);
  if (!child) return {};
  Ran ran;
  while (const std::optional<std::string> line = readLine(*child, replyTimeoutMs)) {
    ran.output += *line + "\n";
  }
  ran.status = waitForExit(*child, replyTimeoutMs);
  ran.errors = readErrors(*child);
  return ran;
}

std::string fileText(const std::string& path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

TEST(CommandLineTest, TheVersionComesFromTheOneVersionFile) {
  std::string version = fileText(KEYTAP_SOURCE_DIR "/VERSION");
  version.erase(version.find_last_not_of('\n') + 1);
  const nlohmann::json package =
      nlohmann::json::parse(fileText(KEYTAP_SOURCE_DIR "/clients/node/package.json"));
  EXPECT_EQ(package["version"], version);
  const Ran ran = run({"--version"});
  EXPECT_EQ(ran.output, "keytap " + version + "\n");
  EXPECT_EQ(ran.status, 0);
}

TEST(CommandLineTest, AWrongBackendIsRefusedBeforeReady) {
  const Ran ran = run({"--backend=wayland"});
  EXPECT_EQ(ran.output, "");
  EXPECT_EQ(ran.errors, "keytap: --backend takes x11, evdev or portal\n");
  EXPECT_EQ(ran.status, 2);
}

TEST(CommandLineTest, AWrongAppIdIsRefusedBeforeReady) {
  const Ran ran = run({"--portal=org.example.\xff"});
  EXPECT_EQ(ran.output, "");
  EXPECT_EQ(ran.errors, "keytap: --portal= takes an app id, such as org.example.App\n");
  EXPECT_EQ(ran.status, 2);
}

TEST(CommandLineTest, TheDoctorExplainsWhatItSees) {
  const std::unique_ptr<VirtualDisplay> display = startVirtualDisplay();
  ASSERT_NE(display, nullptr);
  // As on a desktop, the server keeps a client between the runs: one whose last client has just
  // left resets, and a run could land in the reset.
  const std::unique_ptr<Injector> desktop = connectInjector(*display);
  ASSERT_NE(desktop, nullptr);
  const struct {
    const char* name;
    std::string display;
    std::string environment;
    std::vector<const char*> said;
    int status;
  } rows[] = {
      {"no display", "", "", {"There is no display", "keytap reads the keyboards"}, 1},
      {"Wayland",
       display->name,
       "WAYLAND_DISPLAY=wayland-0",
       {"This is a Wayland session", "/dev/input", "keytap cannot listen."},
       1},
      {"X11", display->name, "", {"opens, with XInput 2.", "keytap can listen."}, 0},
  };
  for (const auto& row : rows) {
    const Ran ran = run({"--doctor"}, row.display, row.environment);
    for (const char* words : row.said) {
      EXPECT_NE(ran.output.find(words), std::string::npos) << row.name << ":\n" << ran.output;
    }
    EXPECT_EQ(ran.status, row.status) << row.name;
  }
  const Ran json = run({"--doctor", "--json"}, display->name);
  EXPECT_EQ(nlohmann::json::parse(json.output, nullptr, false)["listening"], true);
}

}  // namespace
