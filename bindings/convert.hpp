// Conversions from Python arguments into keys, tag sets and whole maps.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "keyed_hash.hpp"
#include "vornic.hpp"

namespace vornic::py_binding {

namespace py = pybind11;

// Keys and tags come from callers, so every table of strings is keyed; the
// set and record types follow from the map so they cannot drift apart.
using Map = Vornic<std::string, std::string, keyed_hash, keyed_hash>;
using TagSet = Map::tag_set;
using Record = Map::object_type;

// Whether a table's nodes store their element's hash code: a string is then
// hashed once on insertion, not again on every rehash and probe. Only
// libstdc++ leaves that to the hasher, and only its internal node types show
// the outcome, so the check is for it alone; libc++ stores the code in every
// node whatever the hasher.
#if defined(__GLIBCXX__)
template <class Alloc>
struct node_caches_hash;
template <class Value, bool Cached>
struct node_caches_hash<std::allocator<std::__detail::_Hash_node<Value, Cached>>>
    : std::bool_constant<Cached> {};
template <class Table>
struct table_caches_hash;
template <class Key, class Value, class Alloc>
struct table_caches_hash<std::_Node_handle<Key, Value, Alloc>> : node_caches_hash<Alloc> {};

static_assert(table_caches_hash<TagSet::node_type>::value, "tag sets must cache hash codes");
static_assert(table_caches_hash<decltype(Map::tagindex)::node_type>::value, "tagindex must cache hash codes");
static_assert(table_caches_hash<decltype(Map::objecttable)::node_type>::value, "objecttable must cache them");
#endif

/// Keys the string hash from the interpreter's own hash secret, through the
/// hashes of fixed bytes, so that PYTHONHASHSEED governs our tables as it
/// governs dicts. Runs at import, before any table exists; raises what hash()
/// raises.
inline void seed_keyed_hash() {
  auto hash_of = [](const char* label) {
    Py_hash_t h = PyObject_Hash(py::bytes(label).ptr());
    if (h == -1) throw py::error_already_set();
    return static_cast<std::uint64_t>(static_cast<std::make_unsigned_t<Py_hash_t>>(h));
  };
  auto key_word = [&hash_of](const std::string& label) {
    std::uint64_t word = hash_of((label + "a").c_str());
    // Where Py_hash_t is narrower than 64 bits, fill the word from two hashes.
    if (sizeof(Py_hash_t) < sizeof(std::uint64_t)) word = (word << 32) ^ hash_of((label + "b").c_str());
    return word;
  };
  keyed_hash::set_key(key_word("vornic key 0"), key_word("vornic key 1"));
}

/// Upper bound on the room reserved from an argument's __len__: the length
/// is only a hint, and a lying __len__ must not make us allocate gigabytes.
constexpr Py_ssize_t max_reserve_hint = 4096;

/// Points `data`/`size` at the UTF-8 bytes of a str, or the raw bytes of a
/// bytes or bytearray. Returns false (no Python error set) for anything else,
/// including a str with no UTF-8 encoding. Runs no Python code.
inline bool string_bytes(PyObject* obj, const char*& data, Py_ssize_t& size) {
  if (PyUnicode_Check(obj)) {
    data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) {
      PyErr_Clear();
      return false;
    }
    return true;
  }
  if (PyBytes_Check(obj)) {
    data = PyBytes_AS_STRING(obj);
    size = PyBytes_GET_SIZE(obj);
    return true;
  }
  if (PyByteArray_Check(obj)) {
    data = PyByteArray_AS_STRING(obj);
    size = PyByteArray_GET_SIZE(obj);
    return true;
  }
  return false;
}

/// The string cast of a key or tag taken out of a container argument.
/// Raises the library's cast error (RuntimeError) for anything but str,
/// bytes and bytearray.
inline std::string string_cast(py::handle obj) {
  const char* data = nullptr;
  Py_ssize_t size = 0;
  if (string_bytes(obj.ptr(), data, size)) return std::string(data, static_cast<size_t>(size));
  return py::cast<std::string>(obj);  // fails, with the library's own message
}

/// The next item of iterator `it` as a new reference; an empty object when it
/// is exhausted. Raises whatever the iterator raises.
inline py::object next_item(PyObject* it) {
  PyObject* item = PyIter_Next(it);
  if (item == nullptr && PyErr_Occurred()) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(item);
}

/// iter(obj) as a new reference; raises what iter() raises.
inline py::object get_iterator(py::handle obj) {
  PyObject* it = PyObject_GetIter(obj.ptr());
  if (it == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(it);
}

/// Room to reserve for the elements of `obj`: its __len__, capped, or 0 when
/// __len__ is missing or fails with an Exception (that error is discarded).
/// Raises what is not an Exception, such as KeyboardInterrupt.
inline size_t reserve_hint(py::handle obj) {
  Py_ssize_t n = PyObject_Size(obj.ptr());
  if (n < 0) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
    PyErr_Clear();
    return 0;
  }
  return static_cast<size_t>(std::min(n, max_reserve_hint));
}

/// Converts any iterable into a new tag set; a str yields its characters.
/// Runs the argument's __len__, __iter__ and __next__; raises TypeError if it
/// is not iterable, RuntimeError for an element that is not a string, and
/// whatever the iterator raises.
inline TagSet to_tagset(py::handle obj) {
  TagSet tags;
  size_t hint = reserve_hint(obj);
  if (hint > 0) tags.reserve(hint);
  py::object it = get_iterator(obj);
  while (py::object item = next_item(it.ptr())) tags.insert(string_cast(item));
  return tags;
}

/// Raises RuntimeError if a dict we are walking changed size under us (its
/// values' __iter__ can run arbitrary code); the walk would skip or repeat.
inline void check_dict_unchanged(PyObject* dict, Py_ssize_t size) {
  if (PyDict_GET_SIZE(dict) != size) {
    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
    throw py::error_already_set();
  }
}

/// Calls fn(key, tags) for every item of `d`, in the dict's own order,
/// converting the key first and then the value. Raises what the conversions
/// raise, and RuntimeError if converting a value changed the dict's size.
template <class F>
void for_each_dict_item(const py::dict& d, F&& fn) {
  PyObject* dict = d.ptr();
  Py_ssize_t size = PyDict_GET_SIZE(dict);
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    // Strong references: converting the value may run code that drops them.
    py::object held_key = py::reinterpret_borrow<py::object>(key);
    py::object held_value = py::reinterpret_borrow<py::object>(value);
    std::string k = string_cast(held_key);
    TagSet tags = to_tagset(held_value);
    check_dict_unchanged(dict, size);
    fn(std::move(k), std::move(tags));
  }
}

/// Calls insert(key, tags) on `map` for every item of `d`, in the dict's own
/// order. Items are applied one at a time: on failure the earlier ones stay
/// applied.
inline void insert_dict_items(Map& map, const py::dict& d) {
  for_each_dict_item(d, [&map](std::string&& key, TagSet&& tags) { map.insert(key, std::move(tags)); });
}

/// Converted (key, tags) pairs, in the order they were read.
using Entries = std::vector<std::pair<std::string, TagSet>>;

/// The number of elements `obj` holds if it is a list, tuple or dict (their
/// storage, unlike __len__, cannot overstate it), else 0. Runs no Python code.
inline size_t stored_size(py::handle obj) {
  PyObject* o = obj.ptr();
  if (PyList_Check(o)) return static_cast<size_t>(PyList_GET_SIZE(o));
  if (PyTuple_Check(o)) return static_cast<size_t>(PyTuple_GET_SIZE(o));
  if (PyDict_Check(o)) return static_cast<size_t>(PyDict_GET_SIZE(o));
  return 0;
}

/// Gives back the buckets of a table that holds far fewer elements than it
/// has room for.
template <class Table>
void shrink_if_sparse(Table& table) {
  if (table.size() * 4 < table.bucket_count()) table.rehash(0);
}

/// A new map holding `entries`, inserted in order, so that a later equal key
/// wins; their tag sets are taken over. All the input is converted before
/// the map is filled, so that the tables can be sized once: a posting set
/// grown record by record would rehash all its records at every doubling.
inline Map map_from_entries(Entries& entries) {
  Map map;
  map.objecttable.reserve(entries.size());
  std::unordered_map<Map::posting_set*, size_t> carriers;
  for (const auto& entry : entries) {
    for (const std::string& tag : entry.second) ++carriers[&map.tagindex[tag]];
  }
  for (const auto& [postings, count] : carriers) postings->reserve(count);
  // Each counted tag is linked by the first entry carrying it, and a posting
  // set emptied later is dropped by insert, so none stays empty.
  for (auto& entry : entries) map.insert(entry.first, std::move(entry.second));
  // A key given more than once was counted each time: give back what the
  // tables reserved beyond their final size (rehashing moves no record).
  shrink_if_sparse(map.objecttable);
  for (auto& entry : map.tagindex) shrink_if_sparse(entry.second);
  return map;
}

/// A new map holding the items of `d`; later keys that convert to the same
/// string win. Each key is converted before its value.
inline Map map_from_dict(const py::dict& d) {
  Entries entries;
  entries.reserve(stored_size(d));
  for_each_dict_item(d, [&entries](std::string&& key, TagSet&& tags) {
    entries.emplace_back(std::move(key), std::move(tags));
  });
  return map_from_entries(entries);
}

[[noreturn]] inline void raise_length_mismatch() {
  throw py::value_error("keys and values must have equal length");
}

/// A new map from parallel iterables. A length mismatch is found when the
/// shorter side ends.
inline Map map_from_keys_values(const py::iterable& keys, const py::iterable& values) {
  Entries entries;
  entries.reserve(stored_size(keys));
  py::object key_it = get_iterator(keys);
  py::object value_it = get_iterator(values);
  while (py::object key = next_item(key_it.ptr())) {
    py::object value = next_item(value_it.ptr());
    if (!value) raise_length_mismatch();
    std::string k = string_cast(key);
    entries.emplace_back(std::move(k), to_tagset(value));
  }
  if (next_item(value_it.ptr())) raise_length_mismatch();
  return map_from_entries(entries);
}

/// A new map from an iterable of (key, tags) tuples.
inline Map map_from_items(const py::iterable& items) {
  Entries entries;
  entries.reserve(stored_size(items));
  py::object it = get_iterator(items);
  while (py::object item = next_item(it.ptr())) {
    if (!PyTuple_Check(item.ptr())) throw py::type_error("each item must be a (key, tags) tuple");
    if (PyTuple_GET_SIZE(item.ptr()) != 2) throw py::type_error("each item must be a (key, tags) pair");
    std::string k = string_cast(PyTuple_GET_ITEM(item.ptr(), 0));
    entries.emplace_back(std::move(k), to_tagset(PyTuple_GET_ITEM(item.ptr(), 1)));
  }
  return map_from_entries(entries);
}

}  // namespace vornic::py_binding
