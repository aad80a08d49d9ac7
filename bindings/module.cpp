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

// Each row's docstring follows its signature in help(); vornic-stubs gives
// the same text, which tests/test_stubs.py holds to these.

void register_object(py::module_& m) {
  py::class_<Record> cls(m, "Object",
                         "A standalone record: a key `data` and a tag set `tags`.\n"
                         "The map neither takes nor returns it.",
                         py::custom_type_setup(&own_layout));
  cls.def(py::init<>(), "A record with an empty `data` and no tags.")
      .def(py::init<const std::string&, const TagSet&>(), py::arg("data"), py::arg("tags"),
           "A record of `data` and a copy of `tags`, which must be set-like (set, frozenset,\n"
           "dict.keys()). Raises TypeError for a list, a str or another kind.")
      .def_readwrite("data", &Record::data,
                     "The key, read and assignable. Reading raises UnicodeDecodeError if it was\n"
                     "given as bytes that are not UTF-8.")
      // Not the library's set conversion, which reports a failed allocation
      // as RuntimeError; the set is handed over whole, so a failure keeps the old tags.
      .def_property("tags",
                    py::cpp_function([](const Record& r) { return tagset_py(r.tags); }, py::is_method(cls)),
                    py::cpp_function([](Record& r, TagSet tags) { r.tags = std::move(tags); },
                                     py::is_method(cls)),
                    "A new set copy of the tags; assign a set-like collection to change them.\n"
                    "Raises TypeError on assigning a list.");
  cls.def("__reduce__", &reduce_object, "Helper for pickle and copy.");
  use_reserved_instances<Record>(cls);
}

void register_constructors(MapClass& cls) {
  cls.def(py::init<>(), "An empty map.")
      .def(py::init(&map_from_dict), py::arg("d"),
           "A map from a dict {key: tags}; keys with no tags are left out.")
      .def(py::init(&map_from_keys_values), py::arg("keys"), py::arg("values"),
           "A map from two iterables of equal length, paired in order; a key given twice\n"
           "takes its later tags. Raises ValueError if the lengths differ.")
      .def(py::init(&map_from_items), py::arg("items"),
           "A map from an iterable of (key, tags) tuples, e.g. another map's items().\n"
           "Raises TypeError for an item that is not such a pair.")
      .def_static("from_keys_values", returning_new(&map_from_keys_values), py::arg("keys"),
                  py::arg("values"),
                  "Static; the same as Vornic(keys, values). Raises ValueError if the lengths differ.")
      .def_static("from_dict", returning_new(&map_from_dict), py::arg("d"), "Static; the same as Vornic(d).");
  use_reserved_instances<Map>(cls);
}

void register_mapping(MapClass& cls) {
  cls.def(
         "__len__", [](const Map& m) { return int_py(m.objecttable.size()); }, "The number of keys.")
      .def(
          "__bool__", [](const Map& m) { return !m.objecttable.empty(); }, "Whether there is any key.")
      .def(
          "__contains__", [](const Map& m, const std::string& key) { return lookup(m, key) != nullptr; },
          py::arg("key"), "Whether the key has an entry.")
      .def(
          "__iter__",
          [](const Map& m) { return typed<py::typing::Iterator<py::str>>(py::iter(keys_list(m))); },
          "Iterates over a snapshot of the keys, taken when the loop starts.")
      .def("__str__", &text_py, "The map as Vornic({'key': {'tag', ...}, ...}).")
      .def("__repr__", &text_py, "The map as Vornic({'key': {'tag', ...}, ...}).")
      .def(
          "__getitem__",
          [](const Map& m, const std::string& key) { return tagset_py(lookup_or_throw(m, key).tags); },
          py::arg("key"), "The key's tags, as a new set. Raises KeyError if the key is absent.")
      .def("__setitem__", &set_item, py::arg("key"), py::arg("tags"),
           "Replaces the key's tags; an empty collection deletes the key.")
      .def(
          "__delitem__", [](Map& m, const std::string& key) { erase_data_or_throw(m, key); }, py::arg("key"),
          "Removes the key. Raises KeyError if it is absent.")
      .def(
          "clear", [](Map& m) { m.clear(); }, "Removes every key.")
      .def("keys", &keys_list, "A new list of the keys, in listing order.")
      .def("values", &values_list, "A new list of the tag sets, in the order of keys().")
      .def("items", &items_list, "A new list of (key, tags) tuples, in the order of keys().")
      .def("tags", &tags_list, "A new list of every tag in use, each once.")
      .def("to_dict", &to_dict_py, "A new dict {key: tags}, in the order of keys().")
      .def("get", &get, py::arg("key"), py::arg("default") = py::none(),
           "The key's tags as a new set, or `default` if the key is absent.")
      .def("setdefault", &setdefault, py::arg("key"), py::arg("default"),
           "The key's tags; if the key is absent, first stores `default` (an iterable\n"
           "of tags, which stores nothing if empty).")
      .def("pop", &pop, py::arg("key"), py::arg("default") = py::none(),
           "Removes the key and returns its tags, or returns `default` if it is absent.")
      .def("popitem", &popitem,
           "Removes and returns the first (key, tags) in listing order.\n"
           "Raises KeyError if the map is empty.")
      .def("update", &update, py::arg("d"),
           "Stores each {key: tags} of a dict, replacing tags; empty tags delete the key.\n"
           "If a value fails to convert, the items before it stay stored.");
}

void register_tag_editing(MapClass& cls) {
  cls.def(
         "add_tag",
         [](Map& m, const std::string& key, const std::string& tag) { add_tags(m, key, TagSet{tag}); },
         py::arg("key"), py::arg("tag"), "Adds one tag to the key; creates the key if absent.")
      .def(
          "add_tags",
          [](Map& m, const std::string& key, const IterableArg& tags) { add_tags(m, key, to_tagset(tags)); },
          py::arg("key"), py::arg("tags"),
          "Adds every tag of the collection to the key; creates the key if absent and\n"
          "`tags` is not empty.")
      .def("remove_tag", &remove_tag, py::arg("key"), py::arg("tag"),
           "Removes one tag; removing the last one removes the key.\n"
           "Raises KeyError if the key is absent or does not carry the tag.")
      .def("discard_tag", &discard_tag, py::arg("key"), py::arg("tag"),
           "As remove_tag, but silent when the key or the tag is absent.")
      .def("has_tag", &has_tag, py::arg("key"), py::arg("tag"),
           "Whether the key exists and carries the tag.");
}

void register_queries(MapClass& cls) {
  cls.def(
         "find", [](const Map& m, const IterableArg& tags) { return query_all_of_py(m, query_tags(m, tags)); },
         py::arg("tags"), "A new set of the keys that carry every tag (all keys if `tags` is empty).")
      .def(
          "query",
          [](const Map& m, const py::Args<py::str>& args) { return query_all_of_py(m, args_tagset(args)); },
          "As find, one tag per argument. Raises RuntimeError if an argument is not a string.")
      .def(
          "find_any",
          [](const Map& m, const IterableArg& tags) { return query_any_of_py(m, query_tags(m, tags)); },
          py::arg("tags"),
          "A new set of the keys that carry at least one of the tags (all keys if `tags`\n"
          "is empty).")
      .def(
          "query_any",
          [](const Map& m, const py::Args<py::str>& args) { return query_any_of_py(m, args_tagset(args)); },
          "As find_any, one tag per argument. Raises RuntimeError if an argument is not a string.")
      .def("count", &count, py::arg("tags"), "How many keys find would return, without building the set.")
      .def("count_any", &count_any, py::arg("tags"),
           "How many keys find_any would return, without building the set.")
      .def("retain_where", &retain_where, py::arg("tags"),
           "Keeps only the keys that carry every tag (all if `tags` is empty); returns\n"
           "the kept keys.")
      .def("retain_where_any", &retain_where_any, py::arg("tags"),
           "Keeps only the keys that carry at least one of the tags (all if `tags` is\n"
           "empty); returns the kept keys.")
      .def("erase", &erase, py::arg("key"),
           "Removes the key and returns its tags. Raises KeyError if it is absent.")
      .def(
          "discard", [](Map& m, const std::string& key) { return erase_data_if_exists(m, key).has_value(); },
          py::arg("key"), "Removes the key if present; returns whether it was.")
      .def("erase_where", &erase_where, py::arg("tags"),
           "Removes every key that carries every tag (none if `tags` is empty); returns\n"
           "the removed keys.");
}

}  // namespace

// The library's own entry point, renamed: PyInit_vornic below runs first.
#define PyInit_vornic library_init_vornic

PYBIND11_MODULE(vornic, m) {
  m.doc() = "vornic: fast tagged object map (pybind interface)";
  seed_keyed_hash();
  take_first_blocks_from_python();
  intern_iter_name();
  guard_base_class();
  guard_metaclass();
  register_object(m);
  MapClass cls(m, "Vornic",
               "A map from string keys to non-empty sets of string tags, with an inverted tag\n"
               "index for all-of and any-of queries. Keys and tags are given as str, bytes or\n"
               "bytearray and come back as str.",
               py::custom_type_setup(&own_layout));
  register_constructors(cls);
  register_mapping(cls);
  register_tag_editing(cls);
  register_queries(cls);
  cls.def(
         "__reduce__", [](const py::object& self) { return reduce_map(self, 4); }, "Helper for pickle and copy.")
      .def("__reduce_ex__", &reduce_map, py::arg("protocol"),
           "Helper for pickle and copy: the map as one compact snapshot, passed out of band\n"
           "from protocol 5 on when pickle is given a buffer_callback.");
  register_set_state(cls);
  guard_uninitialized<Record>();
  guard_uninitialized<Map>();
  guard_init<Record>(m.attr("Object"));
  guard_init<Map>(cls);
}

#undef PyInit_vornic

namespace {

/// The module's execution in the importing interpreter. From 3.13 the entry
/// point below runs in the main interpreter whichever one imports, and only
/// this in the importing one. A subinterpreter with a lock of its own is
/// refused before this by CPython itself (no support for that is declared),
/// one that shares the main lock here: before the library makes its state
/// for that interpreter, which nothing frees once the import has failed.
int exec_vornic(PyObject* m) {
  if (!in_main_interpreter()) {
    PyErr_SetString(PyExc_ImportError, subinterpreter_refusal);
    return -1;
  }
  return pybind11_exec_vornic(m);
}

}  // namespace

/// The module's entry point. In a subinterpreter of 3.11 the library's would
/// wait forever for the interpreter lock, which it takes through the API that
/// knows only the main interpreter; refuse the import there instead. The
/// definition the library returns runs exec_vornic in place of its own.
extern "C" PYBIND11_EXPORT PyObject* PyInit_vornic() {
  if (!in_main_interpreter()) {
    PyErr_SetString(PyExc_ImportError, subinterpreter_refusal);
    return nullptr;
  }
  PyObject* def = library_init_vornic();
  if (def == nullptr) return nullptr;
  for (PyModuleDef_Slot* slot = reinterpret_cast<PyModuleDef*>(def)->m_slots; slot->slot != 0; ++slot) {
    if (slot->slot == Py_mod_exec && slot->value == reinterpret_cast<void*>(&pybind11_exec_vornic)) {
      slot->value = reinterpret_cast<void*>(&exec_vornic);
    }
  }
  return def;
}
