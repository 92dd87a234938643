// Fuzzes the command path: any bytes as one input line, repaired and handled as keytap does,
// followed by key events taken from the same bytes. Checks the invariants itself.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/state.h"
#include "host/handle.h"
#include "host/reader.h"
#include "keyboard/tap.h"
#include "support/capture.h"
#include "support/fake_platform.h"

namespace {

using nlohmann::json;

void require(bool condition) {
  if (!condition) std::abort();
}

// Every registration is in the index under its own key code, once.
bool indexMatchesRegistry() {
  size_t indexed = 0;
  for (const auto& [keyCode, sameKey] : registeredByKey) {
    for (const Registration* entry : sameKey) {
      if (entry->second.keyCode != keyCode || !registered.contains(entry->first)) return false;
    }
    indexed += sameKey.size();
  }
  return indexed == registered.size();
}

bool heldIsInRegistry() {
  for (const std::string& text : held) {
    if (!registered.contains(text)) return false;
  }
  return true;
}

// One reply: one line of JSON, exactly "t" and "d", "t" a reply type.
json checkedReply(const std::string& bytes) {
  require(!bytes.empty() && bytes.back() == '\n' && bytes.find('\n') == bytes.size() - 1);
  const json reply = json::parse(bytes.substr(0, bytes.size() - 1), nullptr, false);
  require(reply.is_object() && reply.size() == 2 && reply.contains("t") && reply.contains("d"));
  require(reply["d"].is_object());
  const std::string type = reply["t"].is_string() ? reply["t"].get<std::string>() : "";
  require(type == "registered" || type == "unregistered" || type == "error");
  return reply;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static CapturedOutput* output = [] {
    fakeReset();
    return new CapturedOutput;
  }();
  if (registered.size() > 1000) fakeReset();  // keep the state small across runs

  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t lineEnd = std::min(input.find('\n'), input.size());
  std::string line;
  appendLine(line, input.substr(0, lineEnd));
  fake.tapOpens = size % 7 != 0;

  const Registry registeredBefore = registered;
  const HeldSet heldBefore = held;
  serveLines(line);
  const json reply = checkedReply(output->bytes());
  if (reply["t"] == "error") require(registered == registeredBefore && held == heldBefore);
  require(heldIsInRegistry() && indexMatchesRegistry());

  // The rest: key events of three bytes each (type, key code, modifiers).
  for (size_t at = lineEnd + 1; at + 3 <= size; at += 3) {
    const uint32_t type = data[at] % 2 == 0 ? keyDownEvent : keyUpEvent;
    Event event{data[at + 1] % 128, data[at] & 0x80 ? 1 : 0,
                static_cast<uint64_t>(data[at + 2]) << 16};
    require(fakeDeliver(type, &event) == &event);
    require(heldIsInRegistry());
  }
  output->bytes();
  return 0;
}
