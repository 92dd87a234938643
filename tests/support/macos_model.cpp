#include "support/macos_model.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace {

constexpr int answerTimeoutMs = 30000;

std::string socketPath(const ModelChannel& channel) {
  return channel.folder + "/control";
}

bool waitFor(int descriptor) {
  pollfd ready{descriptor, POLLIN, 0};
  return poll(&ready, 1, answerTimeoutMs) == 1;
}

}  // namespace

ModelChannel::~ModelChannel() {
  if (connection >= 0) close(connection);
  if (listener >= 0) close(listener);
  if (!folder.empty()) std::filesystem::remove_all(folder);
}

std::unique_ptr<ModelChannel> listenForModel() {
  auto channel = std::make_unique<ModelChannel>();
  std::string folder = (std::filesystem::temp_directory_path() / "keytap-model-XXXXXX").string();
  if (!mkdtemp(folder.data())) return nullptr;
  channel->folder = folder;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath(*channel).c_str(), sizeof address.sun_path - 1);
  channel->listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (channel->listener < 0 ||
      bind(channel->listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(channel->listener, 1) != 0) {
    return nullptr;
  }
  return channel;
}

std::string modelEnvironment(const ModelChannel& channel) {
  return "KEYTAP_MACOS_MODEL=" + socketPath(channel);
}

bool startModel(ModelChannel& channel, const std::vector<std::string>& commands) {
  if (!waitFor(channel.listener)) return false;
  channel.connection = accept4(channel.listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (channel.connection < 0) return false;
  for (const std::string& command : commands) {
    if (tellModel(channel, command) != "ok") return false;
  }
  return tellModel(channel, "start") == "ok";
}

std::string tellModel(ModelChannel& channel, const std::string& command) {
  const std::string line = command + "\n";
  if (write(channel.connection, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    return "";
  }
  // One byte at a time: the answer is one short line, and nothing follows it unasked.
  std::string answer;
  char byte = 0;
  while (waitFor(channel.connection) && read(channel.connection, &byte, 1) == 1) {
    if (byte == '\n') return answer;
    answer += byte;
  }
  return "";
}
