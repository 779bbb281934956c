// Owns what a process forked from this one keeps of the module's state.
//
// fork() copies only the thread that calls it: the runtime's workers, the blocking pool, timer threads and
// the diagnostic writer do not exist in the child, and any lock one of them held stays locked there. The
// child therefore starts over: an empty task registry, its own gate, diagnostic and frame-counter state, no
// signal waits. A runtime that the parent had started is never used again; every call that needs it raises
// RuntimeError at once instead of waiting for threads that are gone.
#pragma once

#include <cstdint>

namespace kestro::core {

// Counts the forks that led to this process: objects that must not be used across a fork (a std::thread of
// the parent's) compare it with the count they were made under.
std::uint64_t process_generation() noexcept;

// Registers the child-side fork handler, once per process. Returns -1 with a Python error set on failure.
int install_fork_handler();

}  // namespace kestro::core
