// The floor for any query that returns keys: building a Python set of N new
// str objects from keys already laid out in a contiguous std::vector, with
// the same two calls a result builder has to make per key. A find that also
// has to locate its matches cannot be faster than this. Entries gives the
// same floor for the listings: new lists, tuples, sets and dicts of new str
// built from entries already laid out in vectors.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

namespace py = pybind11;

namespace {

class Keys {
 public:
  explicit Keys(std::vector<std::string> keys) : keys_(std::move(keys)) {}

  /// A new set with one new str per stored key.
  py::set to_set() const {
    py::set result = py::reinterpret_steal<py::set>(PySet_New(nullptr));
    if (!result) throw py::error_already_set();
    for (const std::string& key : keys_) {
      PyObject* text = PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), nullptr);
      if (text == nullptr) throw py::error_already_set();
      int failed = PySet_Add(result.ptr(), text);
      Py_DECREF(text);
      if (failed != 0) throw py::error_already_set();
    }
    return result;
  }

  size_t size() const { return keys_.size(); }

 private:
  std::vector<std::string> keys_;
};

/// A new str of `s` (new reference).
PyObject* new_str(const std::string& s) {
  PyObject* text = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
  if (text == nullptr) throw py::error_already_set();
  return text;
}

/// A new reference checked for failure.
PyObject* checked(PyObject* made) {
  if (made == nullptr) throw py::error_already_set();
  return made;
}

class Entries {
 public:
  Entries(std::vector<std::string> keys, std::vector<std::vector<std::string>> tags)
      : keys_(std::move(keys)), tags_(std::move(tags)) {
    if (keys_.size() != tags_.size()) throw py::value_error("one tag list per key");
  }

  py::list keys() const {
    return list_of([this](size_t i) { return new_str(keys_[i]); });
  }
  py::list values() const {
    return list_of([this](size_t i) { return tag_set(i); });
  }
  py::list items() const {
    return list_of([this](size_t i) {
      py::object key = py::reinterpret_steal<py::object>(new_str(keys_[i]));
      py::object tags = py::reinterpret_steal<py::object>(tag_set(i));
      PyObject* item = checked(PyTuple_New(2));
      PyTuple_SET_ITEM(item, 0, key.release().ptr());
      PyTuple_SET_ITEM(item, 1, tags.release().ptr());
      return item;
    });
  }
  py::dict to_dict() const {
    py::dict result = py::reinterpret_steal<py::dict>(checked(PyDict_New()));
    for (size_t i = 0; i < keys_.size(); ++i) {
      py::object key = py::reinterpret_steal<py::object>(new_str(keys_[i]));
      py::object tags = py::reinterpret_steal<py::object>(tag_set(i));
      if (PyDict_SetItem(result.ptr(), key.ptr(), tags.ptr()) != 0) throw py::error_already_set();
    }
    return result;
  }

 private:
  template <class Make>
  py::list list_of(Make make) const {
    const auto size = static_cast<Py_ssize_t>(keys_.size());
    py::list result = py::reinterpret_steal<py::list>(checked(PyList_New(size)));
    for (Py_ssize_t i = 0; i < size; ++i) PyList_SET_ITEM(result.ptr(), i, make(static_cast<size_t>(i)));
    return result;
  }

  /// A new set of new str, one per tag of entry i (new reference).
  PyObject* tag_set(size_t i) const {
    py::object set = py::reinterpret_steal<py::object>(checked(PySet_New(nullptr)));
    for (const std::string& tag : tags_[i]) {
      PyObject* text = new_str(tag);
      int failed = PySet_Add(set.ptr(), text);
      Py_DECREF(text);
      if (failed != 0) throw py::error_already_set();
    }
    return set.release().ptr();
  }

  std::vector<std::string> keys_;
  std::vector<std::vector<std::string>> tags_;
};

}  // namespace

PYBIND11_MODULE(vornic_floor, m) {
  py::class_<Keys>(m, "Keys")
      .def(py::init<std::vector<std::string>>(), py::arg("keys"))
      .def("to_set", &Keys::to_set)
      .def("__len__", &Keys::size);
  py::class_<Entries>(m, "Entries")
      .def(py::init<std::vector<std::string>, std::vector<std::vector<std::string>>>(), py::arg("keys"),
           py::arg("tags"))
      .def("keys", &Entries::keys)
      .def("values", &Entries::values)
      .def("items", &Entries::items)
      .def("to_dict", &Entries::to_dict);
}
