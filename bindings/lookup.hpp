// Finding one entry by its key, and removing it: the lookups and removals
// that several methods share, with the KeyError they raise.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>

#include "map_type.hpp"

namespace vornic::py_binding {

/// Raises KeyError(prefix + text). The text is kept whole: a NUL byte stays
/// in, and bytes that are not UTF-8 are shown escaped rather than failing.
[[noreturn]] inline void raise_key_error(const char* prefix, const std::string& text) {
  py::object shown = py::reinterpret_steal<py::object>(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace"));
  if (!shown) throw py::error_already_set();
  py::object message = py::reinterpret_steal<py::object>(PyUnicode_FromFormat("%s%U", prefix, shown.ptr()));
  if (!message) throw py::error_already_set();
  PyErr_SetObject(PyExc_KeyError, message.ptr());
  throw py::error_already_set();
}

[[noreturn]] inline void raise_key_not_found(const std::string& key) {
  raise_key_error("key not found: ", key);
}

/// The stored record of `key`, or null.
inline const Record* lookup(const Map& map, const std::string& key) {
  auto found = map.objecttable.find(key);
  return found == map.objecttable.end() ? nullptr : &found->second;
}

/// The stored record of `key`; raises KeyError when it is absent.
inline const Record& lookup_or_throw(const Map& map, const std::string& key) {
  const Record* record = lookup(map, key);
  if (record == nullptr) raise_key_not_found(key);
  return *record;
}

/// Every call that removes ends here: a map far smaller than its pool moves
/// into a fresh one, so the memory of what was removed goes back. Records
/// move, so no record address may be held past this.
inline void removed_some(Map& map) noexcept { compact_if_sparse(map); }

/// Removes `record` and returns it.
inline Record erase_record(Map& map, const Record* record) {
  Record removed = map.erase(record);
  removed_some(map);
  return removed;
}

/// Removes `key` and returns the removed record; KeyError when absent, and
/// then nothing changes.
inline Record erase_data_or_throw(Map& map, const std::string& key) {
  return erase_record(map, &lookup_or_throw(map, key));
}

/// Removes `key` if present and returns the removed record.
inline std::optional<Record> erase_data_if_exists(Map& map, const std::string& key) {
  const Record* record = lookup(map, key);
  if (record == nullptr) return std::nullopt;
  return erase_record(map, record);
}

}  // namespace vornic::py_binding
