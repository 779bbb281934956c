// Owns running C++ work with the interpreter lock released. The lock is taken back by an explicit call, not
// a destructor: taking it can end the thread (CPython does so at interpreter exit), which must not happen
// inside a destructor.
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include <type_traits>
#include <utility>

#include "runtime/forced_unwind.hpp"

namespace kestro::py {

template <class F>
KESTRO_CATCHES_FORCED_UNWIND decltype(auto) without_gil(F&& f) {
  PyThreadState* ts = PyEval_SaveThread();
  try {
    if constexpr (std::is_void_v<std::invoke_result_t<F&&>>) {
      std::forward<F>(f)();
      PyEval_RestoreThread(ts);
    } else {
      auto result = std::forward<F>(f)();
      PyEval_RestoreThread(ts);
      return result;
    }
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    PyEval_RestoreThread(ts);
    throw;
  }
}

}  // namespace kestro::py
