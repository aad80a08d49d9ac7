// Looking at signals from long loops in C++, and what a thread does when
// the interpreter ends it inside a call.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <thread>
#include <utility>
#include <vector>

#include "map_type.hpp"

namespace vornic::py_binding {

namespace py = pybind11;

/// How many items a long loop over converted input takes between two looks
/// at signals: a few milliseconds' work at most.
constexpr size_t signal_interval = size_t{1} << 12;

/// Whether this thread holds the interpreter lock. From 3.12 the current
/// thread state is the thread's own and set only while it holds the lock;
/// in 3.11 it is the holder's, whichever thread that is. 3.13 made the
/// unchecked read public, and 3.14 deprecates the private name.
inline bool holds_interpreter_lock() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
  return _PyThreadState_UncheckedGet() != nullptr;
#else
  PyThreadState* holder = _PyThreadState_UncheckedGet();
  return holder != nullptr && holder == PyGILState_GetThisThreadState();
#endif
}

/// Never returns. While the interpreter finalises, a daemon thread that
/// wants the lock back is ended by pthread_exit, whose unwinding would run
/// the destructors of every frame it leaves, ours and the binding library's:
/// freeing into a map's pool, dropping references, storing converted items,
/// all without the lock while the main thread still runs Python code. So
/// such a thread stops where it is instead (CPython itself does so from
/// 3.14) and what it holds is left to the exiting process.
[[noreturn]] inline void wait_for_exit() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

/// fn(), which may run the caller's Python code. A thread the interpreter
/// ends meanwhile (see wait_for_exit) goes no further; whatever else fn
/// throws passes. Such a thread is told apart by not holding the lock: libc++
/// has no type for that unwinding, and libstdc++'s abi::__forced_unwind is no
/// object (a handler bound to it binds a null reference).
/// fn should be a call of the C API alone: a frame of the binding library
/// between it and the Python code would unwind first, dropping references.
template <class F>
decltype(auto) calling_python(F&& fn) {
  try {
    return fn();
  } catch (...) {
    if (!holds_interpreter_lock()) wait_for_exit();
    throw;
  }
}

/// Runs the handlers of signals that arrived meanwhile (Ctrl-C among them);
/// raises what they raise.
inline void check_signals() {
  if (calling_python(&PyErr_CheckSignals) != 0) throw py::error_already_set();
}

/// The maps whose change is half done while a signal handler runs. Any
/// call on one of them, from the handler or from another thread it lets
/// in, is refused, as a dict refuses to go on iterating once it changed.
inline std::vector<const Map*> maps_mid_change;

/// Raises RuntimeError if `map` is half changed (see maps_mid_change).
inline void check_not_mid_change(const Map& map) {
  if (maps_mid_change.empty()) return;
  if (std::find(maps_mid_change.begin(), maps_mid_change.end(), &map) == maps_mid_change.end()) return;
  PyErr_SetString(PyExc_RuntimeError, "Vornic used while a change to it was half done (in a signal handler)");
  throw py::error_already_set();
}

/// Marks a map half changed for its lifetime.
class MidChange {
 public:
  explicit MidChange(const Map& map) : map_(&map) { maps_mid_change.push_back(map_); }
  ~MidChange() { maps_mid_change.erase(std::find(maps_mid_change.begin(), maps_mid_change.end(), map_)); }
  MidChange(const MidChange&) = delete;
  MidChange& operator=(const MidChange&) = delete;

 private:
  const Map* map_;
};

/// Holds the cyclic garbage collector off while a method keeps pointers into
/// the map across allocations of Python containers. In 3.11 such an
/// allocation can run a collection, and with it any __del__, which could
/// change the map under us.
class GcPause {
 public:
  GcPause() : was_enabled_(PyGC_Disable()) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  int was_enabled_;
};

/// A check for the steps of a change to `map` that other threads can see.
/// Every few thousand steps it runs the handlers of signals that arrived,
/// right there, with the map marked half changed and the collector held off
/// (so no finaliser runs, and no other thread either unless a handler lets
/// it in). A handler that returns lets the change go on where it was; what
/// a handler raises is thrown, and the change undoes itself.
class InterruptProbe {
 public:
  explicit InterruptProbe(const Map& map) : map_(map) {}

  void operator()() {
    if (++steps_ % signal_interval == 0) run_handlers();
  }

 private:
  void run_handlers() {
    MidChange mark(map_);
    GcPause pause;
    if (calling_python(&PyErr_CheckSignals) != 0) throw py::error_already_set();
  }

  const Map& map_;
  size_t steps_ = 0;
};

}  // namespace vornic::py_binding

/// Every method reaches its map through this: one that is half changed is
/// refused (see maps_mid_change).
template <>
class pybind11::detail::type_caster<vornic::py_binding::Map>
    : public pybind11::detail::type_caster_base<vornic::py_binding::Map> {
 public:
  using Map = vornic::py_binding::Map;

  // NOLINTNEXTLINE(google-explicit-constructor)
  operator Map*() {
    if (value != nullptr) vornic::py_binding::check_not_mid_change(*static_cast<Map*>(value));
    return static_cast<Map*>(value);
  }
  // NOLINTNEXTLINE(google-explicit-constructor)
  operator Map&() {
    if (value == nullptr) throw reference_cast_error();
    Map& map = *static_cast<Map*>(value);
    vornic::py_binding::check_not_mid_change(map);
    return map;
  }
};
