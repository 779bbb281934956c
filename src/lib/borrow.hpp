// Owns the instance borrow guard: an atomic counter per instance that refuses conflicting use at once
// instead of waiting ("Already borrowed" / "Already mutably borrowed").
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <utility>

namespace kestro::py {

class BorrowFlag {
 public:
  // -1: exclusively borrowed; n > 0: n shared borrows.
  bool try_shared() noexcept {
    std::intptr_t cur = state_.load(std::memory_order_relaxed);
    do {
      if (cur < 0) return false;
    } while (
        !state_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed));
    return true;
  }
  void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }
  bool try_exclusive() noexcept {
    std::intptr_t expected = 0;
    return state_.compare_exchange_strong(expected, -1, std::memory_order_acquire, std::memory_order_relaxed);
  }
  void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

 private:
  std::atomic<std::intptr_t> state_{0};
};

// A borrow held for the duration of one call. Empty (with RuntimeError set) when the borrow was refused.
class Borrow {
 public:
  static Borrow shared(BorrowFlag& f) {
    if (f.try_shared()) return Borrow(&f, false);
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return Borrow(nullptr, false);
  }
  static Borrow exclusive(BorrowFlag& f) {
    if (f.try_exclusive()) return Borrow(&f, true);
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return Borrow(nullptr, true);
  }
  Borrow(Borrow&& o) noexcept : flag_(std::exchange(o.flag_, nullptr)), exclusive_(o.exclusive_) {}
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow() {
    if (!flag_) return;
    if (exclusive_) {
      flag_->release_exclusive();
    } else {
      flag_->release_shared();
    }
  }
  explicit operator bool() const noexcept { return flag_ != nullptr; }

 private:
  Borrow(BorrowFlag* f, bool exclusive) : flag_(f), exclusive_(exclusive) {}
  BorrowFlag* flag_;
  bool exclusive_;
};

}  // namespace kestro::py
