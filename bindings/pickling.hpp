// Pickling and copying. __reduce_ex__ hands pickle and the copy module what
// rebuilds an instance: for Object the class and the arguments of its public
// constructor, Object(data, tags); for Vornic a snapshot of its contents
// (core/snapshot.hpp) that __setstate__ reads back, so that no Python object
// is made per key or tag on either side.
//
// Design notes:
// - A map's reduction is (Vornic, (), snapshot): pickle and copy call
//   Vornic(), then __setstate__(snapshot). From protocol 5 on the snapshot
//   travels as a PickleBuffer, out of band when the caller asks.
// - __setstate__ builds the whole new map apart and hands it over at the
//   end; bytes that are not a snapshot raise ValueError and change nothing.
//   Reading runs no Python code but signal handlers, and after a handler
//   that could have changed the bytes it starts again (map_from_snapshot),
//   so the bytes checked are the bytes read even in a bytearray.
// - Pickles written before snapshots, Vornic(keys, values) and a subclass's
//   (key, tags) pairs with its state, still load: the constructors take them,
//   and __setstate__ applies a state that holds no snapshot as pickle would.
// - A subclass pickles as any Python class does: its instance carries its
//   __getstate__() (by default its __dict__ and slot values) beside the
//   snapshot, restored into the same places, or by the subclass's own
//   __setstate__, which is handed that state alone (the map then travels as
//   (key, tags) pairs). A map subclass is rebuilt by the standard
//   reconstructor of copyreg, which makes the instance with Vornic.__new__
//   and Vornic.__init__, so the subclass's own __init__ and __new__, whatever
//   their arguments, do not run. Object takes no single argument that
//   reconstructor could hand it, so an Object subclass is rebuilt by calling
//   the class, which must then keep Object's __init__ and __new__.
// - A key or tag stored from bytes that are not valid UTF-8 travels as the
//   same bytes.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "guards.hpp"
#include "results.hpp"
#include "snapshot.hpp"

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

/// The map's snapshot (core/snapshot.hpp) as a new bytes object. Signal
/// handlers run while it is written, with the map marked half changed, so
/// that it stays as it is meanwhile (see InterruptProbe).
inline py::bytes snapshot_bytes(const Map& map) {
  snapshot::writer<Map> writer(map);
  // Sized for the widest tag numbers and cut to what was written: pages
  // never written are never touched, so the peak follows the snapshot.
  PyObject* raw = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(writer.bound()));
  if (raw == nullptr) throw py::error_already_set();
  auto held = py::reinterpret_steal<py::bytes>(raw);
  InterruptProbe probe(map);
  const size_t used = writer.write(reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(raw)), probe);
  raw = held.release().ptr();
  if (_PyBytes_Resize(&raw, static_cast<Py_ssize_t>(used)) != 0) throw py::error_already_set();
  return py::reinterpret_steal<py::bytes>(raw);
}

/// Thrown to read a snapshot again from its start: a signal handler ran
/// while the bytes it was read from could be changed.
struct read_again {};

/// The map a snapshot holds, read from any object with a contiguous buffer.
/// Raises ValueError for bytes that are not a snapshot; the buffer is held,
/// so its size cannot change meanwhile. Signal handlers run every few
/// thousand steps; one that returns lets the read go on, from the start
/// when the bytes are not a bytes object, which the handler may have
/// changed after they were checked.
inline Map map_from_snapshot(py::handle payload) {
  Py_buffer view;
  if (PyObject_GetBuffer(payload.ptr(), &view, PyBUF_SIMPLE) != 0) throw py::error_already_set();
  std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> release(&view, &PyBuffer_Release);
  const auto* data = static_cast<const unsigned char*>(view.buf);
  const auto size = static_cast<size_t>(view.len);
  const bool fixed = PyBytes_CheckExact(payload.ptr());  // no handler can change its bytes
  for (;;) {
    size_t steps = 0;
    auto probe = [&steps, fixed] {
      if (++steps % signal_interval != 0) return;
      if (fixed) return check_signals();
      // Other buffers wait for Ctrl-C alone, taken and raised again for the
      // handler, and are read again once it returns.
      if (PyOS_InterruptOccurred() == 0) return;
      PyErr_SetInterrupt();
      check_signals();
      throw read_again();
    };
    try {
      return snapshot::read<Map>(data, size, probe);
    } catch (const read_again&) {
    } catch (const snapshot::format_error& e) {
      throw py::value_error(std::string("not a vornic.Vornic snapshot: ") + e.what());
    }
  }
}

/// What pickle does with an instance's state when its class has no
/// __setstate__ of its own: a dict goes into __dict__, and of a pair
/// (dict, slots) the second is set attribute by attribute.
inline void restore_instance_state(const py::object& self, const py::object& state) {
  if (state.is_none()) return;
  py::object attributes = state;
  py::object slots = py::none();
  if (PyTuple_Check(state.ptr()) && PyTuple_GET_SIZE(state.ptr()) == 2) {
    attributes = state[py::int_(0)];
    slots = state[py::int_(1)];
  }
  if (!attributes.is_none()) self.attr("__dict__").attr("update")(attributes);
  if (slots.is_none()) return;
  for (py::handle item : slots.attr("items")()) {
    py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
    py::setattr(self, pair[0], pair[1]);
  }
}

/// Whether pickle hands `state` to the instance's own __setstate__ rather
/// than ours (see reduce_map).
inline bool own_setstate(const py::type& cls, const py::type& base) {
  return !cls.attr("__setstate__").is(base.attr("__setstate__"));
}

/// __setstate__: replaces the map's contents with those of a snapshot, whole
/// or not at all. The state is the snapshot, or for a subclass (snapshot,
/// instance state); any other state is an instance state alone, as pickles
/// of a subclass written before snapshots carry. The contents change last,
/// once the instance state, which runs Python code, has been restored.
inline void set_state(const py::object& self, const py::object& state) {
  self.cast<Map&>();  // refuses an instance never initialized
  PyObject* s = state.ptr();
  bool pair = PyTuple_Check(s) && PyTuple_GET_SIZE(s) == 2 && PyObject_CheckBuffer(PyTuple_GET_ITEM(s, 0));
  if (!pair && !PyObject_CheckBuffer(s)) return restore_instance_state(self, state);
  Map built = map_from_snapshot(pair ? PyTuple_GET_ITEM(s, 0) : s);
  if (pair) restore_instance_state(self, py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(s, 1)));
  take_contents(self.cast<Map&>(), built);
}

/// set_state as a plain method of the class. The binding library takes a
/// method of that name for a constructor, which it skips on an instance
/// already initialized: the instance pickle and copy hand it is one.
inline PyObject* set_state_method(PyObject* self, PyObject* state) {
  try {
    set_state(py::reinterpret_borrow<py::object>(self), py::reinterpret_borrow<py::object>(state));
    Py_RETURN_NONE;
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (py::builtin_exception& e) {
    e.set_error();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error& e) {  // a table larger than this platform's size_t allows
    PyErr_SetString(PyExc_MemoryError, e.what());
  } catch (const std::overflow_error& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
  }
  return nullptr;
}

inline PyMethodDef set_state_def{
    "__setstate__", &set_state_method, METH_O,
    "__setstate__(self: vornic.Vornic, state: object) -> None\n\n"
    "Replaces the map's contents with those of a snapshot made by __reduce_ex__.\n"
    "Raises ValueError, changing nothing, for bytes that are not one."};

/// Registers set_state as `cls`'s __setstate__.
inline void register_set_state(py::handle cls) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  auto method = py::reinterpret_steal<py::object>(PyDescr_NewMethod(type, &set_state_def));
  if (!method) throw py::error_already_set();
  py::setattr(cls, "__setstate__", method);
}

/// For pickle and copy: (Vornic, (), snapshot) for a Vornic, rebuilt by
/// Vornic() and __setstate__; for an instance of a subclass,
/// (copyreg._reconstructor, (class, Vornic, []), (snapshot, state)), its
/// state being instance_state. From protocol 5 on the snapshot is a
/// PickleBuffer, which pickle may hand out of band. A subclass with a
/// __setstate__ of its own would be handed the pair: it is reduced as before
/// snapshots, to (key, tags) pairs and its state (map_items). Raises
/// TypeError for an instance never initialized.
inline py::object reduce_map(const py::object& self, int protocol) {
  self.cast<const Map&>();  // refuses an instance never initialized
  py::type cls = py::type::of(self);
  py::type base = py::type::of<Map>();
  if (!cls.is(base) && own_setstate(cls, base)) {
    py::object reconstructor = py::module_::import("copyreg").attr("_reconstructor");
    py::object state = instance_state(self);
    py::object items = map_items(self.cast<const Map&>());  // refuses a map left half changed meanwhile
    return new_tuple(reconstructor, new_tuple(cls, base, items), state);
  }
  py::object state = cls.is(base) ? py::none() : instance_state(self);  // runs the subclass's code first
  py::object payload = snapshot_bytes(self.cast<const Map&>());  // refuses it too
  if (protocol >= 5) {
    payload = py::reinterpret_steal<py::object>(PyPickleBuffer_FromObject(payload.ptr()));
    if (!payload) throw py::error_already_set();
  }
  if (cls.is(base)) return new_tuple(cls, py::tuple(), payload);
  py::object reconstructor = py::module_::import("copyreg").attr("_reconstructor");
  return new_tuple(reconstructor, new_tuple(cls, base, new_list(0)), new_tuple(payload, state));
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
  py::tuple args = new_tuple(data, tags);
  if (cls.is(base)) return new_tuple(cls, args);
  return new_tuple(cls, args, state);
}

}  // namespace vornic::py_binding
