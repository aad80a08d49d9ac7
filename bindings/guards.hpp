// Guards around the binding library's handling of our instances: where its
// own code would abort the process, crash or corrupt memory on hostile or
// unlucky input (an instance never initialised, the bare base class, a failed
// instance allocation, `obj.__class__ = other`, an __init__ re-entered by its
// own argument), these hooks refuse the call with a Python exception instead.
// The module installs them once at import.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "convert.hpp"

namespace vornic::py_binding {

// An instance made by __new__ alone has no bound object. The library then
// hands methods freshly allocated, unconstructed memory; its allocation hook
// is the one place where we can refuse such a call instead.
template <class T>
[[noreturn]] void* refuse_uninitialized(size_t) {
  throw py::type_error(std::string(py::detail::get_type_info(typeid(T))->type->tp_name) +
                       " instance is not initialized: its __init__ was never called");
}

template <class T>
void guard_uninitialized() {
  py::detail::get_type_info(typeid(T))->operator_new = &refuse_uninitialized<T>;
}

inline newfunc library_object_new = nullptr;

// The library uses the memory from tp_alloc unchecked, and crashes when memory
// runs out. So our classes' instances are allocated ahead, where a failure can
// still be reported (reserve_instance), and their tp_alloc hands them over.
template <class T>
inline PyObject* reserved_instance = nullptr;

template <class T>
PyObject* alloc_reserved(PyTypeObject* type, Py_ssize_t items) {
  if (reserved_instance<T> != nullptr && Py_TYPE(reserved_instance<T>) == type && items == 0) {
    return std::exchange(reserved_instance<T>, nullptr);
  }
  return PyType_GenericAlloc(type, items);
}

/// Allocates the instance that the next tp_alloc of `type` returns, if that is
/// T's class. Returns false, with MemoryError set, when the allocation fails.
template <class T>
bool reserve_instance(PyTypeObject* type) {
  if (type->tp_alloc != &alloc_reserved<T> || reserved_instance<T> != nullptr) return true;
  reserved_instance<T> = PyType_GenericAlloc(type, 0);
  return reserved_instance<T> != nullptr;
}

template <class T>
void use_reserved_instances(py::handle cls) {
  reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_alloc = &alloc_reserved<T>;
}

/// A static factory returning a new Map through `make`, its instance reserved.
template <class... Args>
auto returning_new(Map (*make)(Args...)) {
  return [make](Args... args) {
    Map map = make(std::forward<Args>(args)...);
    if (!reserve_instance<Map>(py::detail::get_type_info(typeid(Map))->type)) throw py::error_already_set();
    return map;
  };
}

/// The base class's tp_new, inherited by ours: refuses a class with no bound
/// C++ type (the base class itself, reached through __base__ or pickle
/// protocols 0 and 1 by copyreg, or a Python subclass of it), on which the
/// library would abort the process.
inline PyObject* checked_object_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  try {
    if (py::detail::all_type_info(type).empty()) {
      return PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
    }
  } catch (py::error_already_set& e) {
    e.restore();
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (!reserve_instance<Record>(type) || !reserve_instance<Map>(type)) return nullptr;
  return library_object_new(type, args, kwargs);
}

/// Must run before the classes are made, so that they inherit the check.
inline void guard_base_class() {
  auto* base = reinterpret_cast<PyTypeObject*>(py::detail::get_internals().instance_base);
  if (base->tp_new == &checked_object_new) return;
  library_object_new = base->tp_new;
  base->tp_new = &checked_object_new;
}

/// Gives a class a layout of its own: one pointer more than the library's
/// shared instance. Vornic and Object then differ in layout, so CPython itself
/// refuses whatever would mix them: a class with both among its bases or in
/// its mro() (however that is reached: a class statement, a metaclass's own
/// mro(), `__bases__` assignment, even through type's own descriptor), and
/// `obj.__class__ = other` between their families. The methods of one class
/// would otherwise read the other's C++ object.
inline void own_layout(PyHeapTypeObject* heap_type) {
  heap_type->ht_type.tp_basicsize += static_cast<Py_ssize_t>(sizeof(PyObject*));
}

/// Whether the classes in `bases` include subclasses of both Vornic and Object.
inline bool derive_from_both(PyObject* bases) {
  py::detail::type_info* map = py::detail::get_type_info(typeid(Map));
  py::detail::type_info* record = py::detail::get_type_info(typeid(Record));
  if (map == nullptr || record == nullptr || !PyTuple_Check(bases)) return false;
  bool to_map = false;
  bool to_record = false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
    PyObject* base = PyTuple_GET_ITEM(bases, i);
    if (!PyType_Check(base)) continue;
    to_map = to_map || PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(base), map->type);
    to_record = to_record || PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(base), record->type);
  }
  return to_map && to_record;
}

inline void refuse_both() {
  PyErr_Format(PyExc_TypeError, "a class cannot derive from both %s and %s",
               py::detail::get_type_info(typeid(Map))->type->tp_name,
               py::detail::get_type_info(typeid(Record))->type->tp_name);
}

inline newfunc library_type_new = nullptr;

/// The tp_new of the classes' metaclass: refuses a class derived from both
/// Vornic and Object before it exists, so that no code run while a class is
/// made (__init_subclass__, __set_name__) can keep it. CPython would refuse it
/// too (own_layout), with a message that names neither class.
inline PyObject* checked_type_new(PyTypeObject* meta, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) == 3 && derive_from_both(PyTuple_GET_ITEM(args, 1))) {
    refuse_both();
    return nullptr;
  }
  return library_type_new(meta, args, kwargs);
}

/// type's own descriptor of `__bases__`, to which the metaclass's delegates.
inline PyObject* type_bases = nullptr;

inline PyObject* get_bases(PyObject* cls, void*) {
  return Py_TYPE(type_bases)->tp_descr_get(type_bases, cls, reinterpret_cast<PyObject*>(Py_TYPE(cls)));
}

/// Refuses new bases derived from both classes with the same message as a
/// class statement, before anything changes.
inline int set_bases(PyObject* cls, PyObject* bases, void*) {
  if (bases != nullptr && derive_from_both(bases)) {
    refuse_both();
    return -1;
  }
  return Py_TYPE(type_bases)->tp_descr_set(type_bases, cls, bases);
}

inline PyGetSetDef bases_descriptor{"__bases__", &get_bases, &set_bases, nullptr, nullptr};

/// Installs checked_type_new and the `__bases__` descriptor on the metaclass,
/// which is this module's own.
inline void guard_metaclass() {
  auto* meta = reinterpret_cast<PyTypeObject*>(py::detail::get_internals().default_metaclass);
  if (meta->tp_new == &checked_type_new) return;
  py::object own = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type))
                       .attr("__dict__")["__bases__"];
  if (Py_TYPE(own.ptr())->tp_descr_get == nullptr || Py_TYPE(own.ptr())->tp_descr_set == nullptr) {
    throw std::runtime_error("type's __bases__ is not a data descriptor");
  }
  type_bases = own.release().ptr();  // kept for the process, like the metaclass
  auto descriptor = py::reinterpret_steal<py::object>(PyDescr_NewGetSet(meta, &bases_descriptor));
  if (!descriptor || PyDict_SetItemString(meta->tp_dict, "__bases__", descriptor.ptr()) != 0) {
    throw py::error_already_set();
  }
  PyType_Modified(meta);
  library_type_new = meta->tp_new;
  meta->tp_new = &checked_type_new;
}

/// The instances whose __init__ is running, each with the thread running it.
/// Reading the arguments can run the caller's code, which could start
/// __init__ again on the same instance: that nested call is refused. Another
/// thread's call on the same instance is not nested; each call builds apart
/// and hands its result over at the end, so both may run.
struct Construction {
  PyObject* self;
  unsigned long thread;
};
inline std::vector<Construction> under_construction;
inline vectorcallfunc library_dispatch = nullptr;

/// Marks `self` as under construction by this thread for its lifetime;
/// refuses a second mark by the same thread with TypeError.
class ConstructionMark {
 public:
  explicit ConstructionMark(PyObject* self) : self_(self), thread_(PyThread_get_thread_ident()) {
    if (find() != under_construction.end()) {
      throw py::type_error(std::string(Py_TYPE(self)->tp_name) +
                           ".__init__() is already running on this instance");
    }
    under_construction.push_back({self_, thread_});
  }
  ~ConstructionMark() { under_construction.erase(find()); }
  ConstructionMark(const ConstructionMark&) = delete;
  ConstructionMark& operator=(const ConstructionMark&) = delete;

 private:
  std::vector<Construction>::iterator find() const {
    return std::find_if(under_construction.begin(), under_construction.end(),
                        [this](const Construction& c) { return c.self == self_ && c.thread == thread_; });
  }

  PyObject* self_;
  unsigned long thread_;
};

/// T's object in `self` when `self` is an initialised instance of T's class,
/// else null.
template <class T>
T* initialized_value(PyObject* self) {
  py::detail::type_info* info = py::detail::get_type_info(typeid(T));
  if (!PyObject_TypeCheck(self, info->type)) return nullptr;
  auto held = reinterpret_cast<py::detail::instance*>(self)->get_value_and_holder(info, false);
  return held && held.instance_registered() ? held.template value_ptr<T>() : nullptr;
}

/// Hands `from`'s contents to `to` without allocating. A map moves whole, so
/// its records keep their addresses; a record swaps its parts, tag set and
/// allocator together, where a move could copy between unequal allocators.
inline void take_contents(Map& to, Map& from) noexcept { to = std::move(from); }
inline void take_contents(Record& to, Record& from) noexcept {
  to.data.swap(from.data);
  to.tags.swap(from.tags);
}

/// `self`'s T, made by the library's own __init__ without arguments if
/// `self` has none yet; null with a Python error set if that fails. Runs no
/// Python code.
template <class T>
T* initialized_or_empty(PyObject* function, PyObject* self) {
  if (T* value = initialized_value<T>(self)) return value;
  PyObject* result = library_dispatch(function, &self, 1, nullptr);
  if (result == nullptr) return nullptr;
  Py_DECREF(result);
  T* value = initialized_value<T>(self);
  if (value == nullptr) PyErr_Format(PyExc_TypeError, "%s.__init__() built nothing", Py_TYPE(self)->tp_name);
  return value;
}

/// Whether `value` may be replaced now; else a Python error is set. A map
/// half changed under a signal handler may not (see maps_mid_change).
inline bool replaceable(const Record&) noexcept { return true; }
inline bool replaceable(const Map& map) {
  try {
    check_not_mid_change(map);
  } catch (py::error_already_set& e) {
    e.restore();
    return false;
  }
  return true;
}

/// The same call builds a new T in a fresh instance of T's class, which is
/// then moved into `target`. Until that call has succeeded, `target` is left
/// exactly as it was; the library itself would construct `target` in place,
/// twice when two threads' calls overlap, or ignore the call on an instance
/// already initialised.
template <class T>
PyObject* build_then_take(PyObject* function, PyObject* const* args, size_t nargs, PyObject* kwnames) {
  PyTypeObject* type = py::detail::get_type_info(typeid(T))->type;
  auto fresh = py::reinterpret_steal<py::object>(type->tp_new(type, py::tuple().ptr(), nullptr));
  if (!fresh) return nullptr;
  size_t count = nargs + (kwnames != nullptr ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0);
  std::vector<PyObject*> forwarded(args, args + count);
  forwarded[0] = fresh.ptr();
  PyObject* result = library_dispatch(function, forwarded.data(), nargs, kwnames);
  if (result == nullptr) return nullptr;
  T* built = initialized_value<T>(fresh.ptr());
  if (built == nullptr) {
    Py_DECREF(result);
    PyErr_Format(PyExc_TypeError, "%s.__init__() built nothing", type->tp_name);
    return nullptr;
  }
  // From here on no Python code runs, so no other thread sees a step between.
  T* target = initialized_or_empty<T>(function, args[0]);
  if (target == nullptr || !replaceable(*target)) {
    Py_DECREF(result);
    return nullptr;
  }
  take_contents(*target, *built);  // cannot fail: the new contents go in whole
  return result;
}

/// Stands in for the library's dispatcher of T's __init__: the same call,
/// with the instance marked throughout, argument conversion included. A call
/// with arguments builds apart and replaces the instance's contents at the
/// end; one without, on an instance not initialised yet, runs no Python code
/// and constructs it in place.
template <class T>
PyObject* guarded_init(PyObject* function, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  size_t nargs = PyVectorcall_NARGS(nargsf);
  PyTypeObject* type = py::detail::get_type_info(typeid(T))->type;
  if (nargs == 0 || !PyObject_TypeCheck(args[0], type)) return library_dispatch(function, args, nargsf, kwnames);
  try {
    ConstructionMark mark(args[0]);
    bool no_arguments = nargs == 1 && (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0);
    if (no_arguments && initialized_value<T>(args[0]) == nullptr) {
      return library_dispatch(function, args, nargsf, kwnames);
    }
    return build_then_take<T>(function, args, nargs, kwnames);
  } catch (py::builtin_exception& e) {
    e.set_error();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return nullptr;
}

/// Routes every call of T's __init__ through guarded_init. The method stays
/// the same object (help() and the signatures are unchanged); only the C
/// function behind it is replaced.
template <class T>
void guard_init(py::handle cls) {
  PyObject* init = PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict, "__init__");
  PyObject* function = init != nullptr && PyInstanceMethod_Check(init) ? PyInstanceMethod_GET_FUNCTION(init)
                                                                       : nullptr;
  if (function == nullptr || !PyCFunction_Check(function) ||
      PyCFunction_GET_FLAGS(function) != (METH_FASTCALL | METH_KEYWORDS)) {
    throw std::runtime_error("__init__ is not the binding library's dispatcher");
  }
  PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(function)->m_ml;
  auto dispatch = reinterpret_cast<vectorcallfunc>(reinterpret_cast<void (*)()>(def->ml_meth));
  if (dispatch == &guarded_init<T>) return;
  if (library_dispatch != nullptr && dispatch != library_dispatch) {
    throw std::runtime_error("the classes' __init__ dispatchers differ");
  }
  library_dispatch = dispatch;
  def->ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&guarded_init<T>));
}

}  // namespace vornic::py_binding
