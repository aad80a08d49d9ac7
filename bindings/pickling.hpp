// Pickling and copying. __reduce__ hands pickle and the copy module what
// rebuilds an instance: for Vornic and Object the class and the arguments of
// a public constructor, Vornic(keys, values) or Object(data, tags), so their
// pickles name no private function.
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
// - A subclass pickles as any Python class does: its instance carries its
//   __getstate__() (by default its __dict__ and slot values), which pickle
//   and copy restore through __setstate__ or into the same places. A map
//   subclass is rebuilt by the standard reconstructor of copyreg, which makes
//   the instance with Vornic.__new__ and fills it with Vornic.__init__ from a
//   list of (key, tags) pairs, so the subclass's own __init__ and __new__,
//   whatever their arguments, do not run. Object takes no single argument
//   that reconstructor could hand it, so an Object subclass is rebuilt by
//   calling the class, which must then keep Object's __init__ and __new__.
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

/// What pickle and copy carry beside an instance's contents: its
/// __getstate__(), by default its __dict__ and slot values; None when there is
/// nothing to carry. Runs the subclass's code.
inline py::object instance_state(const py::object& self) {
  // The C call itself: the binding library's would hold references in
  // frames of its own (see calling_python).
  PyObject* state = calling_python([&self] { return PyObject_CallMethod(self.ptr(), "__getstate__", nullptr); });
  if (state == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(state);
}

/// Every entry as a (key, tags) pair, the tags a tuple; in table order.
inline py::list map_items(const Map& map) {
  GcPause pause;  // `map` is read while Python objects are allocated
  TagObjects tags = tag_objects(map);
  py::list items = new_list(map.objecttable.size());
  Py_ssize_t i = 0;
  for (const auto& entry : map.objecttable) {
    py::object key = py::reinterpret_steal<py::object>(new_str_or_bytes(entry.first));
    py::object value = py::reinterpret_steal<py::object>(tags_tuple(entry.second.tags, tags));
    PyObject* pair = PyTuple_Pack(2, key.ptr(), value.ptr());
    if (pair == nullptr) throw py::error_already_set();
    PyList_SET_ITEM(items.ptr(), i++, pair);
  }
  return items;
}

/// (keys, values): a list of every key and a list of tuples of their tags,
/// in table order.
inline py::tuple map_keys_values(const Map& map) {
  GcPause pause;  // `map` is read while Python objects are allocated
  TagObjects tags = tag_objects(map);
  py::list keys = new_list(map.objecttable.size());
  py::list values = new_list(map.objecttable.size());
  Py_ssize_t i = 0;
  for (const auto& entry : map.objecttable) {
    PyList_SET_ITEM(keys.ptr(), i, new_str_or_bytes(entry.first));
    PyList_SET_ITEM(values.ptr(), i++, tags_tuple(entry.second.tags, tags));
  }
  return py::make_tuple(keys, values);
}

/// For pickle and copy: (Vornic, (keys, values)) for a Vornic; for an
/// instance of a subclass, (copyreg._reconstructor, (class, Vornic, items),
/// state) (see map_items and instance_state). Raises TypeError for an
/// instance never initialized.
inline py::object reduce_map(const py::object& self) {
  self.cast<const Map&>();  // refuses an instance never initialized
  py::type cls = py::type::of(self);
  py::type base = py::type::of<Map>();
  if (cls.is(base)) return py::make_tuple(cls, map_keys_values(self.cast<const Map&>()));
  py::object state = instance_state(self);
  py::object items = map_items(self.cast<const Map&>());  // refuses a map left half changed meanwhile
  py::object reconstructor = py::module_::import("copyreg").attr("_reconstructor");
  return py::make_tuple(reconstructor, py::make_tuple(cls, base, items), state);
}

/// For pickle and copy: (class, (data, tags)), the tags as a set, and for an
/// instance of a subclass its state (instance_state) after them. Raises
/// TypeError for an instance never initialized, or of a subclass whose own
/// __init__ or __new__ the call of its class would run.
inline py::object reduce_object(const py::object& self) {
  self.cast<const Record&>();  // refuses an instance never initialized
  py::type cls = py::type::of(self);
  py::type base = py::type::of<Record>();
  py::object state = py::none();
  if (!cls.is(base)) {
    if (!cls.attr("__init__").is(base.attr("__init__")) || !cls.attr("__new__").is(base.attr("__new__"))) {
      throw py::type_error(std::string("cannot pickle '") + Py_TYPE(self.ptr())->tp_name +
                           "' object: its class overrides __init__ or __new__, which unpickling would call "
                           "with the base class's constructor arguments");
    }
    state = instance_state(self);
  }
  const Record& record = self.cast<const Record&>();
  GcPause pause;  // a finaliser could replace the record's tags meanwhile
  py::object data = py::reinterpret_steal<py::object>(new_str_or_bytes(record.data));
  py::set tags = new_set();
  for (const std::string& tag : record.tags) {
    py::object item = py::reinterpret_steal<py::object>(new_str_or_bytes(tag));
    if (PySet_Add(tags.ptr(), item.ptr()) != 0) throw py::error_already_set();
  }
  py::tuple args = py::make_tuple(data, tags);
  if (cls.is(base)) return py::make_tuple(cls, args);
  return py::make_tuple(cls, args, state);
}

}  // namespace vornic::py_binding
