// A pipe whose ends are closed in programs started later, on every POSIX system (macOS has no
// pipe2).
#pragma once

#include <fcntl.h>
#include <unistd.h>

inline bool openPipe(int ends[2]) {
  if (pipe(ends) != 0) return false;
  fcntl(ends[0], F_SETFD, FD_CLOEXEC);
  fcntl(ends[1], F_SETFD, FD_CLOEXEC);
  return true;
}
