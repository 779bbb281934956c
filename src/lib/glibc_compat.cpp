// What the C++ runtime that a wheel carries inside it asks of glibc beyond 2.31, the oldest glibc our wheels
// install on. Built into wheels only; the export map keeps both symbols local to the module.
#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

extern "C" {

// Newer glibc tells the C++ runtime that the process is still single-threaded so that it may skip atomic
// reference counts. "Not known to be single-threaded" is right in every process.
char __libc_single_threaded = 0;

// Seeds std::random_device. The kernel's generator, retried when a signal interrupts it; a kernel without
// getrandom (older than 3.17) still gets a value that differs per call.
uint32_t arc4random(void) {
  uint32_t value = 0;
  for (;;) {
    const ssize_t got = getrandom(&value, sizeof value, 0);
    if (got == static_cast<ssize_t>(sizeof value)) return value;
    if (got < 0 && errno != EINTR) break;
  }
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint32_t>(now.tv_nsec) ^ static_cast<uint32_t>(now.tv_sec * 2654435761u);
}
}
