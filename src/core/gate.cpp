// Owns the Python gate for module threads and its closing at interpreter exit.
#include "core/gate.hpp"

#include <atomic>
#include <mutex>
#include <new>

#include "lib/py_ref.hpp"
#include "runtime/diagnostics.hpp"
#include "runtime/exit_flush.hpp"
#include "runtime/runtime.hpp"

namespace kestro::core::gate {

using kestro::py::PyRef;

namespace {

// Leaked: module threads may still look at the gate while the process exits.
std::atomic<std::mutex*> g_entry_mutex{new std::mutex};
std::mutex& entry_mutex() {
  return *g_entry_mutex.load(std::memory_order_acquire);
}
std::atomic<bool> g_closed{false};
constexpr auto kExitFlushLimit = std::chrono::milliseconds(200);
std::atomic<bool> g_installed{false};
// Calls into Python through the gate that this thread has not left yet.
thread_local int tl_calls = 0;

// The thread state a module thread keeps between its calls into Python.
struct KeptState {
  PyThreadState* state = nullptr;
  // Clearing the state may run Python code, which a forced unwind can end (see py_ref.hpp).
  ~KeptState() noexcept(false);
};
thread_local KeptState tl_kept;
std::atomic<long> g_kept_count{0};

// The thread is ending. Its state is deleted only while the gate is open: after that the interpreter may be
// finalizing, frees every state itself, and must not be entered. (A thread that CPython ends at exit passes
// here too, with the gate closed.)
KeptState::~KeptState() noexcept(false) {
  if (!state) return;
  std::unique_lock lock(entry_mutex());
  if (g_closed.load(std::memory_order_seq_cst)) return;
  PyEval_RestoreThread(state);
  lock.unlock();
  PyThreadState_Clear(state);
  PyThreadState_DeleteCurrent();
  state = nullptr;
  g_kept_count.fetch_sub(1, std::memory_order_relaxed);
}

PyObject* close_gate(PyObject*, PyObject*) {
  // Threads between their closed check and holding the interpreter lock hold entry_mutex; let them finish
  // taking the lock so that none enters after this returns.
  Py_BEGIN_ALLOW_THREADS {
    std::lock_guard lock(entry_mutex());
    g_closed.store(true, std::memory_order_seq_cst);
  }
  kestro::py::stop_releasing_references();
  // Work still in flight gets a moment: the frames a program queued last (a zero target before it exits,
  // say) reach the bus.
  kestro::rt::run_exit_flushes(kExitFlushLimit);
  // And the diagnostic lines queued last (a send that failed on the way out) reach standard error, if it
  // drains at all.
  kestro::rt::diag::flush(kExitFlushLimit);
  Py_END_ALLOW_THREADS Py_RETURN_NONE;
}

PyMethodDef close_gate_def = {"_kestro_close_gate", close_gate, METH_NOARGS, nullptr};

// A thread that waits for a runtime lock lets go of the interpreter meanwhile, if it holds it: the holder of
// that lock may be a task that first needs the interpreter, or a worker that another such task occupies.
void* release_interpreter() {
  if (!PyThreadState_GetUnchecked()) return nullptr;
  return PyEval_SaveThread();
}

void reacquire_interpreter(void* state) {
  PyEval_RestoreThread(static_cast<PyThreadState*>(state));
}

// UTF-8 with lone surrogates passed through (an OSError about a surrogate-escaped file name has them), so
// that the text decodes back to the same str when it is raised again.
std::string utf8_or(PyObject* text, const char* fallback) {
  PyRef bytes = PyRef::steal(text ? PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass") : nullptr);
  if (!bytes) {
    PyErr_Clear();
    return fallback;
  }
  return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

}  // namespace

int install() {
  if (g_installed.load()) return 0;
  kestro::rt::set_blocking_hooks({release_interpreter, reacquire_interpreter});
  PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return -1;
  PyRef fn = PyRef::steal(PyCFunction_New(&close_gate_def, nullptr));
  if (!fn) return -1;
  // Marked only here, so that an import retried after a failure above registers the hook after all.
  if (g_installed.exchange(true)) return 0;
  PyRef r = PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", fn.get()));
  if (!r) {
    g_installed.store(false);
    return -1;
  }
  return 0;
}

std::optional<Entry> enter() {
  if (PyThreadState_GetUnchecked() != nullptr) {
    ++tl_calls;
    return Entry{Entry::Kind::AlreadyAttached};
  }
  std::unique_lock lock(entry_mutex());
  if (g_closed.load(std::memory_order_seq_cst)) return std::nullopt;
  Entry entry{Entry::Kind::Attached};
  KeptState& kept = tl_kept;
  if (kept.state) {
    PyEval_RestoreThread(kept.state);
  } else if (PyGILState_GetThisThreadState() != nullptr) {
    // A Python thread: its own state is the one to use.
    entry = Entry{Entry::Kind::GilState, PyGILState_Ensure()};
  } else {
    // In the main interpreter, as PyGILState_Ensure would.
    PyThreadState* state = PyThreadState_New(PyInterpreterState_Main());
    if (!state) {
      // Out of memory: the per-call path may still get through.
      entry = Entry{Entry::Kind::GilState, PyGILState_Ensure()};
    } else {
      kept.state = state;
      g_kept_count.fetch_add(1, std::memory_order_relaxed);
      PyEval_RestoreThread(state);
    }
  }
  lock.unlock();
  ++tl_calls;
  kestro::py::drain_parked_decrefs();
  return entry;
}

void leave(Entry entry) {
  --tl_calls;
  switch (entry.kind) {
    case Entry::Kind::Attached:
      PyEval_SaveThread();
      break;
    case Entry::Kind::GilState:
      PyGILState_Release(entry.gil_state);
      break;
    case Entry::Kind::AlreadyAttached:
      break;
  }
}

void forget_in_forked_child() noexcept {
  // A module thread that was taking the interpreter lock when the process forked held this mutex; it is not
  // in the child to let go of it.
  if (auto* fresh = new (std::nothrow) std::mutex) g_entry_mutex.store(fresh, std::memory_order_release);
}

void report(std::string line) {
  if (tl_calls > 0) {
    kestro::rt::diag::emit(std::move(line));
    return;
  }
  kestro::rt::diag::write_now(line);
}

PyObject* call_in_context(PyObject* func, PyObject* args, PyObject* context) {
  if (PyContext_Enter(context) < 0) return nullptr;
  PyObject* result = PyObject_Call(func, args, nullptr);
  PyObject* raised = result ? nullptr : PyErr_GetRaisedException();
  // Entered just above on this thread, so leaving cannot fail.
  if (PyContext_Exit(context) < 0) PyErr_Clear();
  if (raised) PyErr_SetRaisedException(raised);
  return result;
}

void release(std::initializer_list<kestro::py::AnyThreadRef*> refs) {
  auto gil = enter();
  for (auto* ref : refs) ref->reset();
  if (gil) leave(*gil);
}

long kept_state_count() noexcept {
  return g_kept_count.load(std::memory_order_relaxed);
}

bool is_closed() noexcept {
  return g_closed.load(std::memory_order_seq_cst);
}

std::string describe_raised_exception() {
  PyObject* exc = PyErr_GetRaisedException();
  if (!exc) return "SystemError: attempted to fetch exception but none was set";
  PyRef owned = PyRef::steal(exc);
  PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(exc)));
  std::string text = utf8_or(qualname.get(), "<unknown>");
  PyRef str = PyRef::steal(PyObject_Str(exc));
  text += ": ";
  text += utf8_or(str.get(), "<exception str() failed>");
  return text;
}

}  // namespace kestro::core::gate
