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

}  // namespace vornic::py_binding
