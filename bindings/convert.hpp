// Conversions from Python arguments into keys, tag sets and whole maps.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "map_builder.hpp"
#include "map_type.hpp"
#include "signals.hpp"

namespace vornic::py_binding {

namespace py = pybind11;

/// The name __iter__, made at import, so that matching an argument
/// allocates nothing.
inline PyObject* iter_name = nullptr;

inline void intern_iter_name() {
  if (iter_name == nullptr) iter_name = PyUnicode_InternFromString("__iter__");
  if (iter_name == nullptr) throw py::error_already_set();
}

/// Whether iter(obj) has a way to make an iterator: its type's iteration
/// slot or the sequence protocol. Calls neither, so that the method calls
/// __iter__ exactly once and whatever it raises reaches the caller. A class
/// whose __iter__ is None has the slot but declares itself not iterable.
///
/// _PyType_Lookup is private, but 3.11 to 3.15 all export it and nothing
/// public does its work: a lookup through the MRO that runs no descriptor,
/// no metaclass __getattr__, no Python code at all. Switch to the public
/// PyType_Lookup(type, name, &attr) once a release ships it: proposed in
/// https://github.com/python/cpython/issues/139847, not in 3.15; it returns 1
/// found, 0 not, -1 on error, and a strong reference to release.
inline bool has_iteration(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type->tp_iter == nullptr) return PySequence_Check(obj) != 0;
  return _PyType_Lookup(type, iter_name) != Py_None;
}

/// An iterable argument: matched by has_iteration, iterated by the method
/// itself. Element only names the elements' type in the signatures help()
/// shows; nothing checks the elements before the method reads them.
template <class Element>
class IterableOf : public py::object {
 public:
  PYBIND11_OBJECT_DEFAULT(IterableOf, object, has_iteration)
};

/// A tag collection, or the keys of a constructor.
using IterableArg = IterableOf<py::str>;
/// The tag collections of a constructor.
using ValuesArg = IterableOf<IterableArg>;
/// The (key, tags) pairs of a constructor.
using ItemsArg = IterableOf<py::typing::Tuple<py::str, IterableArg>>;
/// A dict of {key: tags}.
using DictArg = py::typing::Dict<py::str, IterableArg>;

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
  PyObject* item = calling_python([it] { return PyIter_Next(it); });
  if (item == nullptr && PyErr_Occurred()) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(item);
}

/// iter(obj) as a new reference; raises what iter() raises.
inline py::object get_iterator(py::handle obj) {
  PyObject* it = calling_python([obj] { return PyObject_GetIter(obj.ptr()); });
  if (it == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(it);
}

/// The number of elements `obj` holds if it is a list, tuple or dict (their
/// storage, unlike __len__, cannot overstate it), else 0. Runs no Python code.
inline size_t stored_size(py::handle obj) {
  PyObject* o = obj.ptr();
  if (PyList_Check(o)) return static_cast<size_t>(PyList_GET_SIZE(o));
  if (PyTuple_Check(o)) return static_cast<size_t>(PyTuple_GET_SIZE(o));
  if (PyDict_Check(o)) return static_cast<size_t>(PyDict_GET_SIZE(o));
  return 0;
}

/// Room to reserve for the elements of `obj`: its __len__, capped, or 0 when
/// __len__ is missing or fails with an Exception (that error is discarded).
/// Raises what is not an Exception, such as KeyboardInterrupt.
inline size_t reserve_hint(py::handle obj) {
  Py_ssize_t n = calling_python([obj] { return PyObject_Size(obj.ptr()); });
  if (n < 0) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
    PyErr_Clear();
    return 0;
  }
  return static_cast<size_t>(std::min(n, max_reserve_hint));
}

/// Converts any iterable into a new tag set drawing from `alloc` (a map's,
/// for a set the map will keep); a str yields its characters. Runs the
/// argument's __len__, __iter__ and __next__; raises TypeError if it is not
/// iterable, RuntimeError for an element that is not a string, and whatever
/// the iterator raises.
inline TagSet to_tagset(py::handle obj, const Allocator& alloc = Allocator()) {
  TagSet tags(alloc);
  // A list or tuple gets room for all its elements at once: grown as they
  // come, a set of millions would rehash all it holds at each doubling,
  // each a long stretch without a look at signals. Repeats leave it sparse.
  size_t hint = std::max(stored_size(obj), reserve_hint(obj));
  if (hint > 0) tags.reserve(hint);
  py::object it = get_iterator(obj);
  for (size_t n = 1; py::object item = next_item(it.ptr()); ++n) {
    tags.insert(string_cast(item));
    if (n % signal_interval == 0) check_signals();
  }
  if (hint > static_cast<size_t>(max_reserve_hint)) shrink_if_sparse(tags);
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
/// converting the key first and then the value (into a set drawing from
/// `alloc`). Raises what the conversions raise, and RuntimeError if
/// converting a value changed the dict's size.
template <class F>
void for_each_dict_item(const py::dict& d, const Allocator& alloc, F&& fn) {
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
    TagSet tags = to_tagset(held_value, alloc);
    check_dict_unchanged(dict, size);
    fn(std::move(k), std::move(tags));
    check_dict_unchanged(dict, size);  // a signal handler that fn ran may have changed it
  }
}

/// A new map holding the items of `d`; later keys that convert to the same
/// string win. Each key is converted before its value.
inline Map map_from_dict(const DictArg& d) {
  MapBuilder builder(stored_size(d));
  for_each_dict_item(d, builder.allocator(), [&builder](std::string&& key, TagSet&& tags) {
    builder.store(std::move(key), std::move(tags));
  });
  return builder.finish();
}

[[noreturn]] inline void raise_length_mismatch() {
  throw py::value_error("keys and values must have equal length");
}

/// A new map from parallel iterables. A length mismatch is found when the
/// shorter side ends.
inline Map map_from_keys_values(const IterableArg& keys, const ValuesArg& values) {
  MapBuilder builder(stored_size(keys));
  py::object key_it = get_iterator(keys);
  py::object value_it = get_iterator(values);
  while (py::object key = next_item(key_it.ptr())) {
    py::object value = next_item(value_it.ptr());
    if (!value) raise_length_mismatch();
    std::string k = string_cast(key);
    builder.store(std::move(k), to_tagset(value, builder.allocator()));
  }
  if (next_item(value_it.ptr())) raise_length_mismatch();
  return builder.finish();
}

/// A new map from an iterable of (key, tags) tuples.
inline Map map_from_items(const ItemsArg& items) {
  MapBuilder builder(stored_size(items));
  py::object it = get_iterator(items);
  while (py::object item = next_item(it.ptr())) {
    if (!PyTuple_Check(item.ptr())) throw py::type_error("each item must be a (key, tags) tuple");
    if (PyTuple_GET_SIZE(item.ptr()) != 2) throw py::type_error("each item must be a (key, tags) pair");
    std::string k = string_cast(PyTuple_GET_ITEM(item.ptr(), 0));
    builder.store(std::move(k), to_tagset(PyTuple_GET_ITEM(item.ptr(), 1), builder.allocator()));
  }
  return builder.finish();
}

}  // namespace vornic::py_binding

template <class Element>
struct pybind11::detail::handle_type_name<vornic::py_binding::IterableOf<Element>> {
  static constexpr auto name =
      const_name("collections.abc.Iterable[") + make_caster<Element>::name + const_name("]");
};
