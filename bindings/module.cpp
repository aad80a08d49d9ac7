// The vornic extension module: entry point and registration, in the order
// help() shows the classes and their methods.

// The binding library's shared state (its base class among others) stays
// private to this module, so what guard_base_class() sets on it reaches no
// other extension module in the process.
#define PYBIND11_STDLIB "_vornic"
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "methods.hpp"
#include "pickling.hpp"

namespace py = pybind11;
using namespace vornic::py_binding;

namespace {

using MapClass = py::class_<Map>;

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

newfunc library_object_new = nullptr;

// The library uses the memory from tp_alloc unchecked, and crashes when memory
// runs out. So our classes' instances are allocated ahead, where a failure can
// still be reported (reserve_instance), and their tp_alloc hands them over.
template <class T>
PyObject* reserved_instance = nullptr;

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
PyObject* checked_object_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
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
void guard_base_class() {
  auto* base = reinterpret_cast<PyTypeObject*>(py::detail::get_internals().instance_base);
  if (base->tp_new == &checked_object_new) return;
  library_object_new = base->tp_new;
  base->tp_new = &checked_object_new;
}

/// The tp_free of class T: the library's, PyObject_Free, under an address of
/// its own. CPython allows `obj.__class__ = other` only between classes that
/// free their instances alike, and both classes would otherwise share the
/// library's layout and tp_free: the methods would then read one class's C++
/// object as the other's.
template <class T>
void free_instance(void* self) {
  PyObject_Free(self);
}

template <class T>
void own_deallocator(PyHeapTypeObject* heap_type) {
  heap_type->ht_type.tp_free = &free_instance<T>;
}

/// The instances whose __init__ is running. Reading its arguments can run the
/// caller's code, which could start __init__ again on the same instance: both
/// would construct it, and deallocation would then abort the process.
std::vector<PyObject*> under_construction;
vectorcallfunc library_dispatch = nullptr;

/// Marks `self` as under construction for its lifetime; refuses a second
/// mark with TypeError.
class ConstructionMark {
 public:
  explicit ConstructionMark(PyObject* self) : self_(self) {
    if (std::find(under_construction.begin(), under_construction.end(), self) != under_construction.end()) {
      throw py::type_error(std::string(Py_TYPE(self)->tp_name) +
                           ".__init__() is already running on this instance");
    }
    under_construction.push_back(self);
  }
  ~ConstructionMark() {
    under_construction.erase(std::find(under_construction.begin(), under_construction.end(), self_));
  }
  ConstructionMark(const ConstructionMark&) = delete;
  ConstructionMark& operator=(const ConstructionMark&) = delete;

 private:
  PyObject* self_;
};

/// Stands in for the library's dispatcher of __init__: the same call, with
/// the instance marked throughout, argument conversion included.
PyObject* guarded_init(PyObject* function, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  if (PyVectorcall_NARGS(nargsf) == 0) return library_dispatch(function, args, nargsf, kwnames);
  try {
    ConstructionMark mark(args[0]);
    return library_dispatch(function, args, nargsf, kwnames);
  } catch (py::builtin_exception& e) {
    e.set_error();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return nullptr;
}

/// Routes every call of cls.__init__ through guarded_init. The method stays
/// the same object (help() and the signatures are unchanged); only the C
/// function behind it is replaced.
void guard_reentry(py::handle cls) {
  PyObject* init = PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict, "__init__");
  PyObject* function = init != nullptr && PyInstanceMethod_Check(init) ? PyInstanceMethod_GET_FUNCTION(init)
                                                                       : nullptr;
  if (function == nullptr || !PyCFunction_Check(function) ||
      PyCFunction_GET_FLAGS(function) != (METH_FASTCALL | METH_KEYWORDS)) {
    throw std::runtime_error("__init__ is not the binding library's dispatcher");
  }
  PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(function)->m_ml;
  auto dispatch = reinterpret_cast<vectorcallfunc>(reinterpret_cast<void (*)()>(def->ml_meth));
  if (dispatch == &guarded_init) return;
  if (library_dispatch != nullptr && dispatch != library_dispatch) {
    throw std::runtime_error("the classes' __init__ dispatchers differ");
  }
  library_dispatch = dispatch;
  def->ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&guarded_init));
}

void register_object(py::module_& m) {
  py::class_<Record> cls(m, "Object", py::custom_type_setup(&own_deallocator<Record>));
  cls.def(py::init<>())
      .def(py::init<const std::string&, const TagSet&>(), py::arg("data"), py::arg("tags"))
      .def_readwrite("data", &Record::data)
      // Not the library's set conversion, which reports a failed allocation
      // as RuntimeError; the set is handed over whole, so a failure keeps the old tags.
      .def_property("tags",
                    py::cpp_function([](const Record& r) { return tagset_py(r.tags); }, py::is_method(cls)),
                    py::cpp_function([](Record& r, TagSet tags) { r.tags = std::move(tags); },
                                     py::is_method(cls)));
  cls.def("__reduce__", &reduce_object);
  use_reserved_instances<Record>(cls);
}

void register_constructors(MapClass& cls) {
  cls.def(py::init<>())
      .def(py::init(&map_from_dict), py::arg("d"))
      .def(py::init(&map_from_keys_values), py::arg("keys"), py::arg("values"))
      .def(py::init(&map_from_items), py::arg("items"))
      .def_static("from_keys_values", returning_new(&map_from_keys_values), py::arg("keys"),
                  py::arg("values"))
      .def_static("from_dict", returning_new(&map_from_dict), py::arg("d"));
  use_reserved_instances<Map>(cls);
}

void register_mapping(MapClass& cls) {
  cls.def("__len__", [](const Map& m) { return int_py(m.objecttable.size()); })
      .def("__bool__", [](const Map& m) { return !m.objecttable.empty(); })
      .def(
          "__contains__", [](const Map& m, const std::string& key) { return lookup(m, key) != nullptr; },
          py::arg("key"))
      .def("__iter__", [](const Map& m) { return py::iter(keys_list(m)); })
      .def("__str__", &text_py)
      .def("__repr__", &text_py)
      .def(
          "__getitem__",
          [](const Map& m, const std::string& key) { return tagset_py(lookup_or_throw(m, key).tags); },
          py::arg("key"))
      .def(
          "__setitem__",
          [](Map& m, const std::string& key, const py::iterable& tags) { m.insert(key, to_tagset(tags)); },
          py::arg("key"), py::arg("tags"))
      .def(
          "__delitem__", [](Map& m, const std::string& key) { erase_data_or_throw(m, key); }, py::arg("key"))
      .def("clear",
           [](Map& m) {
             m.objecttable.clear();
             m.tagindex.clear();
           })
      .def("keys", &keys_list)
      .def("values",
           [](const Map& m) {
             return entries_list(m, [](const Record& r) { return tagset_py(r.tags).release().ptr(); });
           })
      .def("items",
           [](const Map& m) {
             return entries_list(m, [](const Record& r) { return item_py(r).release().ptr(); });
           })
      .def("tags", &tags_list)
      .def("to_dict", &to_dict_py)
      .def("get", &get, py::arg("key"), py::arg("default") = py::none())
      .def("setdefault", &setdefault, py::arg("key"), py::arg("default"))
      .def("pop", &pop, py::arg("key"), py::arg("default") = py::none())
      .def("popitem", &popitem)
      .def("update", &insert_dict_items, py::arg("d"));
}

void register_tag_editing(MapClass& cls) {
  cls.def(
         "add_tag",
         [](Map& m, const std::string& key, const std::string& tag) { add_tags(m, key, TagSet{tag}); },
         py::arg("key"), py::arg("tag"))
      .def(
          "add_tags",
          [](Map& m, const std::string& key, const py::iterable& tags) { add_tags(m, key, to_tagset(tags)); },
          py::arg("key"), py::arg("tags"))
      .def("remove_tag", &remove_tag, py::arg("key"), py::arg("tag"))
      .def("discard_tag", &discard_tag, py::arg("key"), py::arg("tag"))
      .def("has_tag", &has_tag, py::arg("key"), py::arg("tag"));
}

void register_queries(MapClass& cls) {
  cls.def(
         "find", [](const Map& m, const py::iterable& tags) { return query_all_of_py(m, to_tagset(tags)); },
         py::arg("tags"))
      .def("query", [](const Map& m, const py::args& args) { return query_all_of_py(m, args_tagset(args)); })
      .def(
          "find_any",
          [](const Map& m, const py::iterable& tags) { return query_any_of_py(m, to_tagset(tags)); },
          py::arg("tags"))
      .def("query_any",
           [](const Map& m, const py::args& args) { return query_any_of_py(m, args_tagset(args)); })
      .def("count", &count, py::arg("tags"))
      .def("count_any", &count_any, py::arg("tags"))
      .def("retain_where", &retain_where, py::arg("tags"))
      .def("retain_where_any", &retain_where_any, py::arg("tags"))
      .def("erase", &erase, py::arg("key"))
      .def(
          "discard", [](Map& m, const std::string& key) { return erase_data_if_exists(m, key).has_value(); },
          py::arg("key"))
      .def("erase_where", &erase_where, py::arg("tags"));
}

}  // namespace

// The library's own entry point, renamed: PyInit_vornic below runs first.
#define PyInit_vornic library_init_vornic

PYBIND11_MODULE(vornic, m) {
  m.doc() = "vornic: fast tagged object map (pybind interface)";
  seed_keyed_hash();
  guard_base_class();
  register_object(m);
  MapClass cls(m, "Vornic", py::custom_type_setup(&own_deallocator<Map>));
  register_constructors(cls);
  register_mapping(cls);
  register_tag_editing(cls);
  register_queries(cls);
  cls.def("__reduce__", &reduce_map);
  guard_uninitialized<Record>();
  guard_uninitialized<Map>();
  guard_reentry(m.attr("Object"));
  guard_reentry(cls);
}

#undef PyInit_vornic

/// The module's entry point. In a subinterpreter of 3.11 the library's would
/// wait forever for the interpreter lock, which it takes through the API that
/// knows only the main interpreter; refuse the import there instead.
extern "C" PYBIND11_EXPORT PyObject* PyInit_vornic() {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError, "vornic cannot be imported in a subinterpreter, only in the main one");
    return nullptr;
  }
  return library_init_vornic();
}
