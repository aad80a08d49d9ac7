// Looking at signals from long loops in C++.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>

namespace vornic::py_binding {

namespace py = pybind11;

/// How many items a long loop over converted input takes between two looks
/// at signals: a few milliseconds' work at most.
constexpr size_t signal_interval = size_t{1} << 12;

/// Runs the handlers of signals that arrived meanwhile (Ctrl-C among them);
/// raises what they raise.
inline void check_signals() {
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

/// Thrown by InterruptProbe to stop a change to a map that other threads can
/// see; its caller undoes the change and then runs the signal handlers.
struct interrupted {};

/// Whether Ctrl-C arrived, with a Python handler to run, without running it:
/// PyOS_InterruptOccurred takes the signal, so it is raised again for the
/// next check_signals. Only the main thread sees signals.
inline bool interrupt_pending() {
  if (PyOS_InterruptOccurred() == 0) return false;
  PyErr_SetInterrupt();
  return true;
}

/// A check for the steps of a change to a map that other threads can see.
/// A signal handler is Python code, which may look at the map or let other
/// threads in, so it must not run halfway through; instead, every few
/// thousand steps, the probe looks whether Ctrl-C arrived and throws
/// `interrupted`.
class InterruptProbe {
 public:
  void operator()() {
    if (++steps_ % signal_interval == 0 && interrupt_pending()) throw interrupted();
  }

 private:
  size_t steps_ = 0;
};

}  // namespace vornic::py_binding
