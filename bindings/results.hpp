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

using PostingList = std::vector<const Map::posting_set*>;

/// The posting sets of the tags in use among `tags`, largest first: a record
/// is then reported from the largest set that holds it, and the smaller sets
/// do the probing.
inline PostingList postings_largest_first(const Map& map, const TagSet& tags) {
  PostingList sets;
  sets.reserve(tags.size());
  for (const std::string& tag : tags) {
    auto found = map.tagindex.find(tag);
    if (found != map.tagindex.end()) sets.push_back(&found->second);
  }
  std::sort(sets.begin(), sets.end(), [](auto* a, auto* b) { return a->size() > b->size(); });
  return sets;
}

/// Whether `record` is in any of sets[0, end).
inline bool in_any(const PostingList& sets, size_t end, Record* record) {
  for (size_t i = 0; i < end; ++i) {
    if (sets[i]->count(record) != 0) return true;
  }
  return false;
}

/// Up to this many tags, duplicates are found by probing the earlier posting
/// sets; beyond it a set of the addresses seen keeps the work linear.
constexpr size_t max_probed_sets = 8;

/// Calls fn(record) once for every record in any of `sets` (largest first).
/// Duplicates are found by record address, so no key string is hashed.
template <class F>
void for_each_in_any(const PostingList& sets, F&& fn) {
  if (sets.size() > max_probed_sets) {
    std::unordered_set<const Record*> seen;
    seen.reserve(sets[0]->size());
    for (const Map::posting_set* postings : sets) {
      for (const Record* record : *postings) {
        if (seen.insert(record).second) fn(record);
      }
    }
    return;
  }
  for (size_t i = 0; i < sets.size(); ++i) {
    for (Record* record : *sets[i]) {
      if (!in_any(sets, i, record)) fn(static_cast<const Record*>(record));
    }
  }
}

/// Calls fn(record) once for every record carrying at least one of `tags`.
template <class F>
void for_each_any(const Map& map, const TagSet& tags, F&& fn) {
  for_each_in_any(postings_largest_first(map, tags), std::forward<F>(fn));
}

/// Number of records carrying at least one of `tags`: the largest posting
/// set counts whole, the others only for records it does not hold.
inline size_t count_any_of(const Map& map, const TagSet& tags) {
  PostingList sets = postings_largest_first(map, tags);
  if (sets.empty()) return 0;
  size_t n = 0;
  if (sets.size() > max_probed_sets) {
    for_each_in_any(sets, [&n](const Record*) { ++n; });
    return n;
  }
  n = sets[0]->size();
  for (size_t i = 1; i < sets.size(); ++i) {
    for (Record* record : *sets[i]) n += in_any(sets, i, record) ? 0 : 1;
  }
  return n;
}

/// A new set of every key.
inline py::set all_keys_py(const Map& map) {
  py::set result = new_set();
  for (const auto& entry : map.objecttable) set_add_str(result.ptr(), entry.first);
  return result;
}

/// Adds a new str of each record's key to `set`. The records lie scattered
/// in memory, so each one is fetched a few iterations before it is read.
inline void add_keys(PyObject* set, const std::vector<const Record*>& records) {
  constexpr size_t ahead = 8;
  for (size_t i = 0; i < records.size(); ++i) {
    if (i + ahead < records.size()) __builtin_prefetch(&records[i + ahead]->data);
    set_add_str(set, records[i]->data);
  }
}

/// A new set of the keys carrying all of `tags`; every key for an empty set.
inline py::set query_all_of_py(const Map& map, const TagSet& tags) {
  if (tags.empty()) return all_keys_py(map);
  GcPause pause;  // `matches` points into the map while the set is allocated
  std::vector<const Record*> matches;
  map.for_each_match(tags, [&matches](const Record* r) { matches.push_back(r); });
  py::set result = new_set();
  add_keys(result.ptr(), matches);
  return result;
}

/// A new set of the keys carrying any of `tags`; every key for an empty set.
inline py::set query_any_of_py(const Map& map, const TagSet& tags) {
  if (tags.empty()) return all_keys_py(map);
  GcPause pause;  // `matches` points into the map while the set is allocated
  std::vector<const Record*> matches;
  for_each_any(map, tags, [&matches](const Record* r) { matches.push_back(r); });
  py::set result = new_set();
  add_keys(result.ptr(), matches);
  return result;
}

}  // namespace vornic::py_binding
