// Marks the functions that catch abi::__forced_unwind to let it pass: CPython ends a thread that takes the
// interpreter lock back after finalization began by unwinding it (pthread_exit), and that unwinding carries no
// C++ object, so the catch binds its reference to null. That is how the C++ runtime hands it over, not a fault:
// UndefinedBehaviorSanitizer's null check is switched off in these functions alone.
#pragma once

#define KESTRO_CATCHES_FORCED_UNWIND __attribute__((no_sanitize("null")))
