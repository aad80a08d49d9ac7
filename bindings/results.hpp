// Building Python results straight from the map. Every function here runs
// no Python code of the caller's: only the interpreter's object
// constructors, and a garbage collection that one of those may start
// (hence GcPause wherever a pointer into the map is held).
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "convert.hpp"
#include "search.hpp"

namespace vornic::py_binding {

// The result types as the signatures help() shows name them. Each is its
// plain type under another name: nothing is checked or converted for them.
using StrSet = py::typing::Set<py::str>;
using StrList = py::typing::List<py::str>;
using Item = py::typing::Tuple<py::str, StrSet>;

/// `obj` as T, a typing wrapper of its own Python type; checks nothing.
template <class T>
T typed(py::object&& obj) {
  return py::reinterpret_steal<T>(obj.release());
}

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

/// A tuple of `items`. The binding library's own tuples raise RuntimeError
/// when memory runs out; this raises MemoryError.
template <class... Items>
py::tuple new_tuple(const Items&... items) {
  PyObject* tuple = PyTuple_Pack(sizeof...(Items), py::handle(items).ptr()...);
  if (tuple == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::tuple>(tuple);
}

/// A new set with one str per tag (new reference). The caller holds the
/// collector off when `tags` lives in the map.
inline PyObject* new_tag_set(const TagSet& tags) {
  py::set result = new_set();
  for (const std::string& tag : tags) set_add_str(result.ptr(), tag);
  return result.release().ptr();
}

/// A new Python set with one str per tag.
inline StrSet tagset_py(const TagSet& tags) {
  GcPause pause;  // `tags` usually lives in the map
  return py::reinterpret_steal<StrSet>(new_tag_set(tags));
}

/// A new (key, tags) tuple (new reference); the collector is held off by the caller.
inline PyObject* new_item(const Record& record) {
  py::tuple item = py::reinterpret_steal<py::tuple>(PyTuple_New(2));
  if (!item) throw py::error_already_set();
  PyTuple_SET_ITEM(item.ptr(), 0, new_str(record.data));
  PyTuple_SET_ITEM(item.ptr(), 1, new_tag_set(record.tags));
  return item.release().ptr();
}

/// A new (key, tags) tuple.
inline py::tuple item_py(const Record& record) {
  GcPause pause;
  return py::reinterpret_steal<py::tuple>(new_item(record));
}

using Table = decltype(Map::objecttable);

/// The nodes the walk of table_order starts from, by address: the first
/// node of the table and of buckets spread evenly over the bucket array.
inline std::vector<const Table::value_type*> run_starts(const Table& table) {
  constexpr size_t per_run = 4096;  // below this many nodes a run costs more than it saves
  const size_t wanted = std::min<size_t>(256, table.size() / per_run);
  std::vector<const Table::value_type*> starts{&*table.begin()};
  const size_t buckets = table.bucket_count();
  for (size_t i = 1; i <= wanted; ++i) {
    for (size_t b = i * buckets / (wanted + 1); b < buckets; ++b) {
      if (table.begin(b) != table.end(b)) {
        starts.push_back(&*table.begin(b));
        break;
      }
    }
  }
  std::sort(starts.begin(), starts.end(), std::less<const Table::value_type*>());
  starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
  return starts;
}

/// Every record, in table order: the order of objecttable's node list, which
/// iteration and popitem follow too.
///
/// Following the list waits out one cache miss per node, since each node's
/// address is read from the one before. So the list is followed from many
/// places at once, a step of each in turn, each node fetched a turn before
/// it is read, and each run stops where another one starts; the runs are
/// then joined in list order. The places are the first nodes of buckets
/// spread over the bucket array, found without following the list.
inline RecordList table_order(const Map& map) {
  const Table& table = map.objecttable;
  if (table.empty()) return RecordList();
  const std::vector<const Table::value_type*> starts = run_starts(table);
  const size_t none = starts.size();
  auto start_index = [&starts, none](const Table::value_type* node) {
    auto found = std::lower_bound(starts.begin(), starts.end(), node, std::less<const Table::value_type*>());
    return found != starts.end() && *found == node ? static_cast<size_t>(found - starts.begin()) : none;
  };
  std::vector<Table::const_iterator> at;
  at.reserve(starts.size());
  for (const Table::value_type* start : starts) at.push_back(table.find(start->first));
  std::vector<RecordList> runs(starts.size());
  std::vector<size_t> next(starts.size(), none);  // the run met at the end of each run
  std::vector<size_t> active(starts.size());
  for (size_t r = 0; r < active.size(); ++r) active[r] = r;
  while (!active.empty()) {
    for (size_t k = 0; k < active.size();) {
      const size_t r = active[k];
      runs[r].push_back(&at[r]->second);
      ++at[r];
      const size_t met = at[r] == table.end() ? none : start_index(&*at[r]);
      if (at[r] == table.end() || met != none) {
        next[r] = met;
        active[k] = active.back();
        active.pop_back();
        continue;
      }
      prefetch(&*at[r]);
      ++k;
    }
  }
  RecordList joined;
  joined.reserve(table.size());
  for (size_t r = start_index(&*table.begin()); r != none; r = next[r]) {
    joined.insert(joined.end(), runs[r].begin(), runs[r].end());
    RecordList().swap(runs[r]);
  }
  return joined;
}

/// Fetches record i + ahead of `records`, to be read that many turns later:
/// the records lie far apart in memory, even in address order. The
/// listings read more of each record, so they fetch further ahead.
template <size_t ahead = 32>
void fetch_entry(const RecordList& records, size_t i) {
  if (i + ahead < records.size()) prefetch(records[i + ahead]);
}

/// A new list of one element per entry, in table order; `make` returns a new
/// reference for a record.
template <class Make>
py::list entries_list(const Map& map, Make make) {
  GcPause pause;
  const RecordList records = table_order(map);
  py::list result = new_list(records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    fetch_entry(records, i);
    PyList_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(i), make(*records[i]));
  }
  return result;
}

/// A new list of every key, as str, in table order.
inline StrList keys_list(const Map& map) {
  return typed<StrList>(entries_list(map, [](const Record& r) { return new_str(r.data); }));
}

/// A new list of every tag set, in table order.
inline py::typing::List<StrSet> values_list(const Map& map) {
  py::list values = entries_list(map, [](const Record& r) { return new_tag_set(r.tags); });
  return typed<py::typing::List<StrSet>>(std::move(values));
}

/// A new list of every (key, tags) tuple, in table order.
inline py::typing::List<Item> items_list(const Map& map) {
  return typed<py::typing::List<Item>>(entries_list(map, new_item));
}

/// A new list of every tag in use, in index order.
inline StrList tags_list(const Map& map) {
  GcPause pause;  // else a __del__ run by allocating the list could change the count of tags
  py::list result = new_list(map.tagindex.size());
  Py_ssize_t i = 0;
  for (const auto& entry : map.tagindex) PyList_SET_ITEM(result.ptr(), i++, new_str(entry.first));
  return typed<StrList>(std::move(result));
}

/// A new dict from each key to a new set of its tags, filled in table order.
inline py::typing::Dict<py::str, StrSet> to_dict_py(const Map& map) {
  GcPause pause;
  const RecordList records = table_order(map);
  py::dict result = new_dict();
  for (size_t i = 0; i < records.size(); ++i) {
    fetch_entry(records, i);
    py::object key = py::reinterpret_steal<py::object>(new_str(records[i]->data));
    py::object tags = py::reinterpret_steal<py::object>(new_tag_set(records[i]->tags));
    if (PyDict_SetItem(result.ptr(), key.ptr(), tags.ptr()) != 0) throw py::error_already_set();
  }
  return typed<py::typing::Dict<py::str, StrSet>>(std::move(result));
}

/// A new set of every key.
inline StrSet all_keys_py(const Map& map) {
  py::set result = new_set();
  for (const auto& entry : map.objecttable) set_add_str(result.ptr(), entry.first);
  return typed<StrSet>(std::move(result));
}

/// Adds a new str of each record's key to `set`.
inline void add_keys(PyObject* set, const RecordList& records) {
  for (size_t i = 0; i < records.size(); ++i) {
    fetch_entry<16>(records, i);
    set_add_str(set, records[i]->data);
  }
}

/// A new set of the keys of `records`.
inline StrSet keys_set_py(const RecordList& records) {
  py::set result = new_set();
  add_keys(result.ptr(), records);
  return typed<StrSet>(std::move(result));
}

/// A new list of the keys of `records`, in their order.
inline StrList keys_list_py(const RecordList& records) {
  py::list result = new_list(records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    fetch_entry<16>(records, i);
    PyList_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(i), new_str(records[i]->data));
  }
  return typed<StrList>(std::move(result));
}

/// A new set of the keys carrying all of `tags`; every key for an empty set.
inline StrSet query_all_of_py(const Map& map, const TagSet& tags) {
  if (tags.empty()) return all_keys_py(map);
  GcPause pause;  // the matches point into the map while the set is allocated
  return keys_set_py(all_of_matches(map, tags));
}

/// A new set of the keys carrying any of `tags`; every key for an empty set.
inline StrSet query_any_of_py(const Map& map, const TagSet& tags) {
  if (tags.empty()) return all_keys_py(map);
  GcPause pause;  // the matches point into the map while the set is allocated
  return keys_set_py(any_of_matches(map, tags));
}

}  // namespace vornic::py_binding
