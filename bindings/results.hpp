// Building Python results straight from the map, and the shared removal
// helpers. Every function here runs no Python code of the caller's: only the
// interpreter's object constructors, and a garbage collection that one of
// those may start (hence GcPause wherever a pointer into the map is held).
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "convert.hpp"
#include "search.hpp"

namespace vornic::py_binding {

using StrSet = py::typing::Set<py::str>;

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

/// A new str decoded from `s` as strict UTF-8 (new reference). Raises
/// UnicodeDecodeError for bytes that are not valid UTF-8.
inline PyObject* new_str(const std::string& s) {
  PyObject* text = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
  if (text == nullptr) throw py::error_already_set();
  return text;
}

inline py::str str_py(const std::string& s) { return py::reinterpret_steal<py::str>(new_str(s)); }

/// Adds a new str of `s` to the Python set `set`.
inline void set_add_str(PyObject* set, const std::string& s) {
  PyObject* text = new_str(s);
  int failed = PySet_Add(set, text);
  Py_DECREF(text);
  if (failed != 0) throw py::error_already_set();
}

inline py::set new_set() {
  PyObject* set = PySet_New(nullptr);
  if (set == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::set>(set);
}

inline py::dict new_dict() {
  PyObject* dict = PyDict_New();
  if (dict == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::dict>(dict);
}

inline py::list new_list(size_t size) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(size));
  if (list == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::list>(list);
}

/// A new Python set with one str per tag.
inline StrSet tagset_py(const TagSet& tags) {
  GcPause pause;  // `tags` usually lives in the map
  py::set result = new_set();
  for (const std::string& tag : tags) set_add_str(result.ptr(), tag);
  return py::reinterpret_steal<StrSet>(result.release());
}

/// A new (key, tags) tuple.
inline py::tuple item_py(const Record& record) {
  py::tuple item = py::reinterpret_steal<py::tuple>(PyTuple_New(2));
  if (!item) throw py::error_already_set();
  PyTuple_SET_ITEM(item.ptr(), 0, new_str(record.data));
  PyTuple_SET_ITEM(item.ptr(), 1, tagset_py(record.tags).release().ptr());
  return item;
}

/// A new list of one element per entry, in table order; `make` returns a new
/// reference for a record.
template <class Make>
py::list entries_list(const Map& map, Make make) {
  GcPause pause;
  py::list result = new_list(map.objecttable.size());
  Py_ssize_t i = 0;
  for (const auto& entry : map.objecttable) PyList_SET_ITEM(result.ptr(), i++, make(entry.second));
  return result;
}

/// A new list of every key, as str, in table order.
inline py::list keys_list(const Map& map) {
  return entries_list(map, [](const Record& r) { return new_str(r.data); });
}

/// A new list of every tag in use, in index order.
inline py::typing::List<py::str> tags_list(const Map& map) {
  GcPause pause;  // else a __del__ run by allocating the list could change the count of tags
  py::list result = new_list(map.tagindex.size());
  Py_ssize_t i = 0;
  for (const auto& entry : map.tagindex) PyList_SET_ITEM(result.ptr(), i++, new_str(entry.first));
  return py::reinterpret_steal<py::typing::List<py::str>>(result.release());
}

/// A new dict from each key to a new set of its tags, filled in table order.
inline py::dict to_dict_py(const Map& map) {
  GcPause pause;
  py::dict result = new_dict();
  for (const auto& entry : map.objecttable) {
    py::object key = py::reinterpret_steal<py::object>(new_str(entry.first));
    StrSet tags = tagset_py(entry.second.tags);
    if (PyDict_SetItem(result.ptr(), key.ptr(), tags.ptr()) != 0) throw py::error_already_set();
  }
  return result;
}

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

/// Removes `key` and returns the removed record; KeyError when absent, and
/// then nothing changes.
inline Record erase_data_or_throw(Map& map, const std::string& key) {
  return map.erase(&lookup_or_throw(map, key));
}

/// Removes `key` if present and returns the removed record.
inline std::optional<Record> erase_data_if_exists(Map& map, const std::string& key) {
  const Record* record = lookup(map, key);
  if (record == nullptr) return std::nullopt;
  return map.erase(record);
}

/// A new set of every key.
inline py::set all_keys_py(const Map& map) {
  py::set result = new_set();
  for (const auto& entry : map.objecttable) set_add_str(result.ptr(), entry.first);
  return result;
}

/// Adds a new str of each record's key to `set`. Each record is fetched a few
/// iterations before it is read: even in address order they lie far apart.
inline void add_keys(PyObject* set, const RecordList& records) {
  constexpr size_t ahead = 16;
  for (size_t i = 0; i < records.size(); ++i) {
    if (i + ahead < records.size()) __builtin_prefetch(&records[i + ahead]->data);
    set_add_str(set, records[i]->data);
  }
}

/// A new set of the keys of `records`.
inline py::set keys_set_py(const RecordList& records) {
  py::set result = new_set();
  add_keys(result.ptr(), records);
  return result;
}

/// A new list of the keys of `records`, in their order.
inline py::list keys_list_py(const RecordList& records) {
  py::list result = new_list(records.size());
  constexpr size_t ahead = 16;  // as in add_keys
  for (size_t i = 0; i < records.size(); ++i) {
    if (i + ahead < records.size()) __builtin_prefetch(&records[i + ahead]->data);
    PyList_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(i), new_str(records[i]->data));
  }
  return result;
}

/// A new set of the keys carrying all of `tags`; every key for an empty set.
inline py::set query_all_of_py(const Map& map, const TagSet& tags) {
  if (tags.empty()) return all_keys_py(map);
  GcPause pause;  // the matches point into the map while the set is allocated
  return keys_set_py(all_of_matches(map, tags));
}

/// A new set of the keys carrying any of `tags`; every key for an empty set.
inline py::set query_any_of_py(const Map& map, const TagSet& tags) {
  if (tags.empty()) return all_keys_py(map);
  GcPause pause;  // the matches point into the map while the set is allocated
  return keys_set_py(any_of_matches(map, tags));
}

}  // namespace vornic::py_binding
