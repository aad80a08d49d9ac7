// The vornic extension module: entry point and registration, in the order
// help() shows the classes and their methods.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "methods.hpp"

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

/// Pickle protocols 0 and 1 would otherwise instantiate the library's base
/// class, which aborts the process; refuse as protocols 2 and up already do.
template <class Cls>
void refuse_pickling(Cls& cls) {
  cls.def("__reduce__", [](const py::object& self) -> py::object {
    throw py::type_error(std::string("cannot pickle '") + Py_TYPE(self.ptr())->tp_name + "' object");
  });
}

template <class T>
void guard_uninitialized() {
  py::detail::get_type_info(typeid(T))->operator_new = &refuse_uninitialized<T>;
}

void register_object(py::module_& m) {
  py::class_<Record> cls(m, "Object");
  cls.def(py::init<>())
      .def(py::init<const std::string&, const TagSet&>(), py::arg("data"), py::arg("tags"))
      .def_readwrite("data", &Record::data)
      .def_readwrite("tags", &Record::tags);
  refuse_pickling(cls);
}

void register_constructors(MapClass& cls) {
  cls.def(py::init<>())
      .def(py::init(&map_from_dict), py::arg("d"))
      .def(py::init(&map_from_keys_values), py::arg("keys"), py::arg("values"))
      .def(py::init(&map_from_items), py::arg("items"))
      .def_static("from_keys_values", &map_from_keys_values, py::arg("keys"), py::arg("values"))
      .def_static("from_dict", &map_from_dict, py::arg("d"));
}

void register_mapping(MapClass& cls) {
  cls.def("__len__", [](const Map& m) { return m.objecttable.size(); })
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

PYBIND11_MODULE(vornic, m) {
  m.doc() = "vornic: fast tagged object map (pybind interface)";
  register_object(m);
  MapClass cls(m, "Vornic");
  register_constructors(cls);
  register_mapping(cls);
  register_tag_editing(cls);
  register_queries(cls);
  refuse_pickling(cls);
  guard_uninitialized<Record>();
  guard_uninitialized<Map>();
}
