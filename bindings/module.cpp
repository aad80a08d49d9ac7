// The vornic extension module: entry point and registration, in the order
// help() shows the classes and their methods.

// The binding library's shared state (its base class among others) stays
// private to this module, so what the guards set on it reaches no
// other extension module in the process.
#define PYBIND11_STDLIB "_vornic"
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <utility>

#include "guards.hpp"
#include "methods.hpp"
#include "pickling.hpp"

namespace py = pybind11;
using namespace vornic::py_binding;

namespace {

using MapClass = py::class_<Map>;

const char* const subinterpreter_refusal =
    "vornic cannot be imported in a subinterpreter, only in the main one";

bool in_main_interpreter() { return PyInterpreterState_Get() == PyInterpreterState_Main(); }

void register_object(py::module_& m) {
  py::class_<Record> cls(m, "Object", py::custom_type_setup(&own_layout));
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
      .def("__setitem__", &set_item, py::arg("key"), py::arg("tags"))
      .def(
          "__delitem__", [](Map& m, const std::string& key) { erase_data_or_throw(m, key); }, py::arg("key"))
      .def("clear", [](Map& m) { m.clear(); })
      .def("keys", &keys_list)
      .def("values", &values_list)
      .def("items", &items_list)
      .def("tags", &tags_list)
      .def("to_dict", &to_dict_py)
      .def("get", &get, py::arg("key"), py::arg("default") = py::none())
      .def("setdefault", &setdefault, py::arg("key"), py::arg("default"))
      .def("pop", &pop, py::arg("key"), py::arg("default") = py::none())
      .def("popitem", &popitem)
      .def("update", &update, py::arg("d"));
}

void register_tag_editing(MapClass& cls) {
  cls.def(
         "add_tag",
         [](Map& m, const std::string& key, const std::string& tag) { add_tags(m, key, TagSet{tag}); },
         py::arg("key"), py::arg("tag"))
      .def(
          "add_tags",
          [](Map& m, const std::string& key, const IterableArg& tags) { add_tags(m, key, to_tagset(tags)); },
          py::arg("key"), py::arg("tags"))
      .def("remove_tag", &remove_tag, py::arg("key"), py::arg("tag"))
      .def("discard_tag", &discard_tag, py::arg("key"), py::arg("tag"))
      .def("has_tag", &has_tag, py::arg("key"), py::arg("tag"));
}

void register_queries(MapClass& cls) {
  cls.def(
         "find", [](const Map& m, const IterableArg& tags) { return query_all_of_py(m, query_tags(m, tags)); },
         py::arg("tags"))
      .def("query", [](const Map& m, const py::args& args) { return query_all_of_py(m, args_tagset(args)); })
      .def(
          "find_any",
          [](const Map& m, const IterableArg& tags) { return query_any_of_py(m, query_tags(m, tags)); },
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
  // From 3.13 the entry point below runs in the main interpreter whichever
  // one imports, and only this body in the importing one. A subinterpreter
  // with a lock of its own is refused before this by CPython itself (no
  // support for that is declared), one that shares the main lock here.
  if (!in_main_interpreter()) throw py::import_error(subinterpreter_refusal);
  m.doc() = "vornic: fast tagged object map (pybind interface)";
  seed_keyed_hash();
  take_first_blocks_from_python();
  intern_iter_name();
  guard_base_class();
  guard_metaclass();
  register_object(m);
  MapClass cls(m, "Vornic", py::custom_type_setup(&own_layout));
  register_constructors(cls);
  register_mapping(cls);
  register_tag_editing(cls);
  register_queries(cls);
  cls.def("__reduce__", [](const py::object& self) { return reduce_map(self, 4); })
      .def("__reduce_ex__", &reduce_map, py::arg("protocol"));
  register_set_state(cls);
  guard_uninitialized<Record>();
  guard_uninitialized<Map>();
  guard_init<Record>(m.attr("Object"));
  guard_init<Map>(cls);
}

#undef PyInit_vornic

/// The module's entry point. In a subinterpreter of 3.11 the library's would
/// wait forever for the interpreter lock, which it takes through the API that
/// knows only the main interpreter; refuse the import there instead.
extern "C" PYBIND11_EXPORT PyObject* PyInit_vornic() {
  if (!in_main_interpreter()) {
    PyErr_SetString(PyExc_ImportError, subinterpreter_refusal);
    return nullptr;
  }
  return library_init_vornic();
}
