// Pickling and copying. __reduce__ hands pickle and the copy module the
// class and the arguments of a public constructor, Vornic(keys, values) or
// Object(data, tags), so nothing but those constructors ever rebuilds an
// instance and a pickle names no private function.
//
// Design notes:
// - A map is reduced to a list of keys and a list of tuples of tags. Lists
//   and small tuples are the cheapest containers to pickle and to load, and
//   parallel lists need no dict to be hashed on either side.
// - Each tag in use becomes one Python object shared by every tuple that
//   holds it, so pickle writes it once and refers back to it after; loading
//   then also creates it once.
// - A key or tag stored from bytes that are not valid UTF-8 is handed over as
//   bytes, which the constructors store byte for byte.
#pragma once

#include <string>
#include <unordered_map>

#include "results.hpp"

namespace vornic::py_binding {

/// A new str of `s`, or a new bytes when `s` is not valid UTF-8. Raises
/// MemoryError.
inline PyObject* new_str_or_bytes(const std::string& s) {
  auto size = static_cast<Py_ssize_t>(s.size());
  if (PyObject* text = PyUnicode_DecodeUTF8(s.data(), size, nullptr)) return text;
  if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw py::error_already_set();
  PyErr_Clear();
  PyObject* raw = PyBytes_FromStringAndSize(s.data(), size);
  if (raw == nullptr) throw py::error_already_set();
  return raw;
}

using TagIndex = decltype(Map::tagindex);
/// Tag -> its one Python object; hashed as the index hashes tags.
using TagObjects = std::unordered_map<TagIndex::key_type, py::object, TagIndex::hasher, TagIndex::key_equal>;

/// One new str (or bytes) per tag in use.
inline TagObjects tag_objects(const Map& map) {
  TagObjects objects(map.tagindex.size(), map.tagindex.hash_function(), map.tagindex.key_eq());
  for (const auto& entry : map.tagindex) {
    objects.emplace(entry.first, py::reinterpret_steal<py::object>(new_str_or_bytes(entry.first)));
  }
  return objects;
}

/// A new tuple of the shared objects of `tags`.
inline PyObject* tags_tuple(const TagSet& tags, const TagObjects& objects) {
  py::tuple result = py::reinterpret_steal<py::tuple>(PyTuple_New(static_cast<Py_ssize_t>(tags.size())));
  if (!result) throw py::error_already_set();
  Py_ssize_t i = 0;
  for (const std::string& tag : tags) {
    auto found = objects.find(tag);  // every stored tag is in the index
    PyObject* item = found != objects.end() ? found->second.inc_ref().ptr() : new_str_or_bytes(tag);
    PyTuple_SET_ITEM(result.ptr(), i++, item);
  }
  return result.release().ptr();
}

/// Why constructor arguments would not rebuild `self`, an instance of `cls`,
/// a subclass of `base`; null when they would. Runs the subclass's lookups.
inline const char* not_rebuildable_because(const py::object& self, const py::type& cls,
                                           const py::type& base) {
  if (!cls.attr("__init__").is(base.attr("__init__")) || !cls.attr("__new__").is(base.attr("__new__"))) {
    return "its class overrides __init__ or __new__, which unpickling would call with the base class's "
           "constructor arguments";
  }
  // Slots are the only storage a subclass can add to the instance itself.
  if (reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_basicsize !=
      reinterpret_cast<PyTypeObject*>(base.ptr())->tp_basicsize) {
    return "its class defines __slots__, whose values would be lost";
  }
  py::object attributes = py::getattr(self, "__dict__", py::none());
  if (!attributes.is_none() && py::len(attributes) != 0) {
    return "it has instance attributes, which would be lost";
  }
  return nullptr;
}

/// The class that rebuilds `self` from constructor arguments: its own.
/// Raises TypeError when that would not give an equal instance (see
/// not_rebuildable_because).
inline py::object rebuilding_class(const py::object& self, const py::type& base) {
  py::type cls = py::type::of(self);
  if (cls.is(base)) return std::move(cls);
  if (const char* why = not_rebuildable_because(self, cls, base)) {
    throw py::type_error(std::string("cannot pickle '") + Py_TYPE(self.ptr())->tp_name + "' object: " + why);
  }
  return std::move(cls);
}

/// (class, (keys, values)) for pickle and copy: a list of every key and a
/// list of tuples of their tags, in table order. Raises TypeError for an
/// instance never initialized or that cannot be rebuilt (rebuilding_class).
inline py::object reduce_map(const py::object& self) {
  const Map& map = self.cast<const Map&>();
  py::object cls = rebuilding_class(self, py::type::of<Map>());
  GcPause pause;  // `map` is read while Python objects are allocated
  TagObjects tags = tag_objects(map);
  py::list keys = new_list(map.objecttable.size());
  py::list values = new_list(map.objecttable.size());
  Py_ssize_t i = 0;
  for (const auto& entry : map.objecttable) {
    PyList_SET_ITEM(keys.ptr(), i, new_str_or_bytes(entry.first));
    PyList_SET_ITEM(values.ptr(), i++, tags_tuple(entry.second.tags, tags));
  }
  return py::make_tuple(cls, py::make_tuple(keys, values));
}

/// (class, (data, tags)) for pickle and copy, the tags as a set. Raises as
/// reduce_map.
inline py::object reduce_object(const py::object& self) {
  const Record& record = self.cast<const Record&>();
  py::object cls = rebuilding_class(self, py::type::of<Record>());
  GcPause pause;  // a finaliser could replace the record's tags meanwhile
  py::object data = py::reinterpret_steal<py::object>(new_str_or_bytes(record.data));
  py::set tags = new_set();
  for (const std::string& tag : record.tags) {
    py::object item = py::reinterpret_steal<py::object>(new_str_or_bytes(tag));
    if (PySet_Add(tags.ptr(), item.ptr()) != 0) throw py::error_already_set();
  }
  return py::make_tuple(cls, py::make_tuple(data, tags));
}

}  // namespace vornic::py_binding
