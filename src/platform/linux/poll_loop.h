// The main loop of the Linux backends (X11, evdev): one poll() over a wake-up descriptor that the
// reader thread writes and the backend's own descriptors, with no timeout while nothing ticks,
// so that an idle keytap never wakes. It defines postLines and runMainLoop; the backend defines
// the two functions below.
#pragma once

#include <poll.h>

#include <span>
#include <vector>

/// Appends the descriptors the backend waits on, if any. Main thread.
void addTapSources(std::vector<pollfd>& sources);

/// Serves what the backend has ready: the descriptors it added, as poll() left them (none before
/// a wait), and whatever it has buffered already. Main thread.
void serveTap(std::span<const pollfd> ready);
