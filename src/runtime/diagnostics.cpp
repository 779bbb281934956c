// Owns the diagnostic line queue and its writer thread.
#include "runtime/diagnostics.hpp"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

namespace kestro::rt::diag {

void write_now(const std::string& text) {
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(STDERR_FILENO, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nowhere to write: the line is lost, as it would be on a closed stream
    data += n;
    left -= static_cast<std::size_t>(n);
  }
}

namespace {

constexpr std::size_t kMaxQueued = 1024;

struct Line {
  std::string text;
  Wanted wanted;
};

// Leaked: the writer may still run while the process exits.
struct Queue {
  std::mutex mu;
  std::condition_variable ready;  // a line or a drop count for the writer
  std::condition_variable idle;   // the writer has caught up
  std::deque<Line> lines;
  std::size_t dropped = 0;
  bool writing = false;
  bool writer_started = false;
  bool held = false;
};

std::atomic<Queue*> g_queue{new Queue};

Queue& queue() {
  return *g_queue.load(std::memory_order_acquire);
}

void serve(Queue& q) {
  std::unique_lock lock(q.mu);
  for (;;) {
    q.ready.wait(lock, [&] { return !q.held && (!q.lines.empty() || q.dropped > 0); });
    std::string text;
    if (!q.lines.empty()) {
      Line line = std::move(q.lines.front());
      q.lines.pop_front();
      if (!line.wanted || line.wanted->load(std::memory_order_acquire)) text = std::move(line.text);
    } else {
      text = "[kestro] " + std::to_string(q.dropped) +
             " diagnostic lines dropped: standard error is not draining\n";
      q.dropped = 0;
    }
    q.writing = true;
    lock.unlock();
    if (!text.empty()) write_now(text);
    lock.lock();
    q.writing = false;
    if (q.lines.empty() && q.dropped == 0) q.idle.notify_all();
  }
}

// Starts the writer once; false when no thread can be made (the caller then writes the line itself).
bool ensure_writer(Queue& q) {
  if (q.writer_started) return true;
  try {
    std::thread([&q] { serve(q); }).detach();
  } catch (const std::system_error&) {
    return false;
  }
  q.writer_started = true;
  return true;
}

}  // namespace

void emit(std::string line, Wanted wanted) {
  Queue& q = queue();
  {
    std::lock_guard lock(q.mu);
    if (ensure_writer(q)) {
      if (q.lines.size() >= kMaxQueued) {
        ++q.dropped;
      } else {
        q.lines.push_back(Line{std::move(line), std::move(wanted)});
      }
      q.ready.notify_one();
      return;
    }
  }
  if (!wanted || wanted->load(std::memory_order_acquire)) write_now(line);
}

bool flush(std::chrono::milliseconds limit) {
  Queue& q = queue();
  std::unique_lock lock(q.mu);
  return q.idle.wait_for(lock, limit, [&] { return q.lines.empty() && q.dropped == 0 && !q.writing; });
}

std::size_t queued() {
  Queue& q = queue();
  std::lock_guard lock(q.mu);
  return q.lines.size();
}

void forget_in_forked_child() noexcept {
  // The writer is gone and the queue's lock may have been held by a thread that is gone too: the child
  // starts over with its own queue (lines still queued there were the parent's to write).
  if (auto* fresh = new (std::nothrow) Queue) g_queue.store(fresh, std::memory_order_release);
}

void hold_writer_for_tests(bool hold) {
  Queue& q = queue();
  std::lock_guard lock(q.mu);
  q.held = hold;
  q.ready.notify_all();
}

}  // namespace kestro::rt::diag
