// The floor for any query that returns keys: building a Python set of N new
// str objects from keys already laid out in a contiguous std::vector, with
// the same two calls a result builder has to make per key. A find that also
// has to locate its matches cannot be faster than this.
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

}  // namespace

PYBIND11_MODULE(vornic_floor, m) {
  py::class_<Keys>(m, "Keys")
      .def(py::init<std::vector<std::string>>(), py::arg("keys"))
      .def("to_set", &Keys::to_set)
      .def("__len__", &Keys::size);
}
