// The hand-off of input lines from the reader thread to a main loop that is woken on its own
// terms (the Linux poll loop, the Windows message queue).
#pragma once

#include <string>
#include <vector>

/// Queues a batch of lines; true when the queue was empty, so that the main loop needs waking.
/// Any thread.
bool queueLines(std::string lines);

/// Every batch queued so far, in order; the queue is empty afterwards. Main thread.
std::vector<std::string> takeLines();
