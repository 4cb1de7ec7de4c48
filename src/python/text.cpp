#include "python/text.h"

#include <exception>
#include <new>

namespace py = pybind11;

namespace mi::python {

py::str to_text(const std::string& s) {
  PyObject* u = PyUnicode_DecodeUTF8(s.data(), py::ssize_t(s.size()), "backslashreplace");
  if (!u) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(u);
}

py::list to_text(const std::vector<std::string>& v) {
  py::list out;
  for (const std::string& s : v) out.append(to_text(s));
  return out;
}

py::dict to_text(const std::map<std::string, double>& m) {
  py::dict out;
  for (const auto& [k, v] : m) out[to_text(k)] = v;
  return out;
}

void translate_engine_errors() {
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const py::builtin_exception&) {
      throw;
    } catch (const py::error_already_set&) {
      throw;
    } catch (const std::exception& e) {
      PyErr_SetObject(PyExc_RuntimeError, to_text(e.what()).ptr());
    }
  });
}

}  // namespace mi::python
