// Reads of memory that maps a file which another process may cut short meanwhile.
#pragma once

#include <cstddef>
#include <functional>

namespace gemlo::core {

// Runs `read`, which reads [begin, begin + size) on any of its threads. A read past the
// end of a file that shrank behind its map (SIGBUS) finds zero pages instead of ending
// the program; returns whether that happened, so that the caller refuses what it read.
// One guarded read at a time: a second caller waits.
bool read_guarded(const void *begin, std::size_t size, const std::function<void()> &read);

}  // namespace gemlo::core
