#include <gtest/gtest.h>

#include "accelerator/parse.h"
#include "core/registry.h"
#include "host/handle.h"
#include "keyboard/tap.h"
#include "support/capture.h"
#include "support/fake_platform.h"

namespace {

using nlohmann::json;
using Said = std::vector<std::string>;

class ListeningTest : public testing::Test {
 protected:
  void SetUp() override {
    fakeReset();
    ASSERT_TRUE(createTap());
    listening = true;
  }

  // Registers the text and presses its combination.
  static void hold(const std::string& text) {
    const Accel accel = *parse(text);
    addRegistration(text, accel);
    Event down{accel.keyCode, 0, accel.flags};
    fakeDeliver(keyDownEvent, &down);
    fake.keysDown.insert(accel.keyCode);
  }

  static void tick() {
    ASSERT_NE(fake.ticker, nullptr);
    fake.ticker();
  }

  // The messages since the last call, as "up:text", "status:false:reason" or "status:true".
  Said said() {
    Said messages;
    for (const json& line : output.lines()) {
      const json& d = line["d"];
      if (line["t"] == "status") {
        messages.push_back(d["listening"] ? "status:true"
                                          : "status:false:" + d["reason"].get<std::string>());
      } else {
        messages.push_back(line["t"].get<std::string>() + ":" +
                           d["accelerator"].get<std::string>());
      }
    }
    return messages;
  }

  CapturedOutput output;
};

struct Moment {
  const char* name;
  void (*happen)();
  Said saidWhenAsked;
};

// The moments when a release may have been missed, with K's release unheard.
const Moment moments[] = {
    {"tap switched back on",
     [] {
       Event notification{0, 0, 0};
       fakeDeliver(tapDisabledByTimeout, &notification);
     },
     {"up:Cmd+K"}},
    {"a key event of another key",
     [] {
       Event other{38, 0, 0};
       fakeDeliver(keyDownEvent, &other);
     },
     {"up:Cmd+K"}},
    {"display lost", fakeLoseDisplay, {"up:Cmd+K"}},
    {"the same hotkey pressed again",
     [] {
       fake.keysDown.insert(40);
       Event again{40, 0, commandFlag};
       fakeDeliver(keyDownEvent, &again);
     },
     {"up:Cmd+K", "down:Cmd+K"}},
};

TEST_F(ListeningTest, StaleHoldsCloseAtEachMomentOnlyWhenAskedFor) {
  for (const bool asked : {false, true}) {
    for (const Moment& moment : moments) {
      SetUp();
      options.releaseStaleHolds = asked;
      hold("F5");
      hold("Cmd+K");
      said();
      fake.keysDown.erase(40);  // K came up while nothing was heard
      moment.happen();
      EXPECT_EQ(said(), asked ? moment.saidWhenAsked : Said{}) << moment.name;
      EXPECT_TRUE(held.contains("F5")) << moment.name;
      EXPECT_EQ(held.contains("Cmd+K"), !asked || moment.saidWhenAsked.back() == "down:Cmd+K")
          << moment.name;
    }
  }
}

TEST_F(ListeningTest, StatusSaysWhenListeningStopsAndStartsAgain) {
  for (const bool asked : {false, true}) {
    SetUp();
    options.status = asked;
    hold("F5");
    said();
    const auto expect = [&](const Said& messages) { EXPECT_EQ(said(), asked ? messages : Said{}); };

    fakeLoseDisplay();
    expect({"status:false:display lost"});
    EXPECT_EQ(fake.ticker != nullptr, asked);
    if (!asked) continue;
    fake.tapOpens = false;
    tick();
    expect({});
    fake.tapOpens = true;
    tick();
    expect({"status:true"});
    EXPECT_EQ(fake.ticker, nullptr);

    Event notification{0, 0, 0};
    fakeDeliver(tapDisabledByUserInput, &notification);
    expect({"status:false:tap disabled by user input", "status:true"});
    fake.tapEnables = false;
    fakeDeliver(tapDisabledByTimeout, &notification);
    expect({"status:false:tap disabled by timeout"});
    tick();
    expect({});
    fake.tapEnables = true;
    tick();
    expect({"status:true"});
    EXPECT_EQ(fake.ticker, nullptr);
  }
}

TEST_F(ListeningTest, RetriesStopWithTheLastRegistrationAndResumeComesAfterTheReply) {
  options.status = true;
  hold("F5");
  fakeLoseDisplay();
  handle(R"({"t":"unregister","d":{"accelerator":"F5"}})");
  said();
  tick();
  EXPECT_EQ(fake.ticker, nullptr);

  handle(R"({"t":"register","d":{"accelerator":"F6"}})");
  EXPECT_EQ(said(), (Said{"registered:F6", "status:true"}));
}

}  // namespace
