#include "support/capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "support/pipes.h"

CapturedOutput::CapturedOutput() {
  std::fflush(stdout);
  int ends[2];
  if (!openPipe(ends)) return;
  fcntl(ends[0], F_SETFL, O_NONBLOCK);
#ifdef F_SETPIPE_SZ
  fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);  // Linux: room for every test's output without a reader
#endif
  readEnd = ends[0];
  savedStdout = dup(1);
  dup2(ends[1], 1);
  close(ends[1]);
}

CapturedOutput::~CapturedOutput() {
  dup2(savedStdout, 1);
  close(savedStdout);
  close(readEnd);
}

std::string CapturedOutput::bytes() {
  std::string all;
  char buffer[4096];
  ssize_t got;
  while ((got = read(readEnd, buffer, sizeof buffer)) > 0) all.append(buffer, got);
  return all;
}

std::vector<nlohmann::json> CapturedOutput::lines() {
  std::vector<nlohmann::json> decoded;
  const std::string all = bytes();
  size_t start = 0;
  for (size_t end = all.find('\n'); end != std::string::npos; end = all.find('\n', start)) {
    decoded.push_back(nlohmann::json::parse(all.substr(start, end - start), nullptr, false));
    start = end + 1;
  }
  return decoded;
}
