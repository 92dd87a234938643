// keytap's macOS sources against the model of the Apple calls they make: what only macOS has.
#include "support/macos_model.h"
#include "e2e/e2e.h"

namespace {

TEST(MacosModelTest, Starts) {
  std::unique_ptr<ModelChannel> model = listenForModel();
  ASSERT_NE(model, nullptr);
  std::optional<Child> keytap = spawnKeytap({"--no-prompt"}, "", modelEnvironment(*model));
  ASSERT_TRUE(keytap.has_value());
  ASSERT_TRUE(startModel(*model, {}));
  expectReady(*keytap, "granted");
}

}  // namespace
