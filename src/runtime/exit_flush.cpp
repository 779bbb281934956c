// Owns the registry of exit waits.
#include "runtime/exit_flush.hpp"

#include <algorithm>
#include <mutex>
#include <vector>

namespace kestro::rt {

namespace {

// Leaked: parts may still register while the process exits.
struct Registry {
  std::mutex mu;
  std::vector<ExitFlush> flushes;
};

Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

}  // namespace

void on_exit_flush(ExitFlush flush) {
  auto& r = registry();
  std::lock_guard lock(r.mu);
  if (std::find(r.flushes.begin(), r.flushes.end(), flush) == r.flushes.end()) r.flushes.push_back(flush);
}

bool run_exit_flushes(std::chrono::milliseconds limit) {
  std::vector<ExitFlush> flushes;
  {
    auto& r = registry();
    std::lock_guard lock(r.mu);
    flushes = r.flushes;
  }
  bool all_done = true;
  for (ExitFlush flush : flushes) all_done = flush(limit) && all_done;
  return all_done;
}

}  // namespace kestro::rt
