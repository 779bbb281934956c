// Owns the waits that run when the interpreter exits, so that work a part still has in flight (the CAN frames
// a device has queued) gets a bounded moment to finish. A part registers its wait when it first has such
// work; the Python gate runs them all at exit without knowing whose they are.
#pragma once

#include <chrono>

namespace kestro::rt {

// Waits until the part's work is done or `limit` has passed; true when nothing was left.
using ExitFlush = bool (*)(std::chrono::milliseconds limit);

// Registers `flush` once (a second registration of the same function changes nothing).
void on_exit_flush(ExitFlush flush);

// Runs every registered wait in the order they were registered, each within `limit`. True when none had
// anything left.
bool run_exit_flushes(std::chrono::milliseconds limit);

}  // namespace kestro::rt
