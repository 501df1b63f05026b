// Python-callable cost: one call per structure with a fresh str and a fresh list of
// [x, y, z] lists, the result read as a float.
#include "cost.hpp"

#include "py_ref.hpp"
#include "stop.hpp"

#include <string>

namespace vexa {

namespace {

std::string text_of(PyObject *object, PyObject *(*to_text)(PyObject *)) {
  const PyRef text = PyRef::steal(to_text(object));
  if (text) {
    Py_ssize_t size = 0;
    if (const char *data = PyUnicode_AsUTF8AndSize(text.get(), &size)) {
      return std::string(data, static_cast<std::size_t>(size));
    }
  }
  PyErr_Clear();
  return std::string("<unprintable ") + Py_TYPE(object)->tp_name + " object>";
}

// Takes the pending exception (it does not propagate) and describes it: its repr, then the
// traceback module's report, which names the type and shows the frames.
std::string take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  const PyRef value = PyRef::steal(PyErr_GetRaisedException());
  const PyRef type = PyRef::borrow(value ? reinterpret_cast<PyObject *>(Py_TYPE(value.get()))
                                         : nullptr);
  const PyRef traceback = PyRef::steal(value ? PyException_GetTraceback(value.get()) : nullptr);
#else
  PyObject *raw_type = nullptr;
  PyObject *raw_value = nullptr;
  PyObject *raw_traceback = nullptr;
  PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
  PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
  const PyRef type = PyRef::steal(raw_type);
  const PyRef value = PyRef::steal(raw_value);
  const PyRef traceback = PyRef::steal(raw_traceback);
#endif
  if (!type || !value) {
    return "unknown error";
  }
  std::string description = text_of(value.get(), PyObject_Repr);
  const PyRef module = PyRef::steal(PyImport_ImportModule("traceback"));
  const PyRef lines =
      module ? PyRef::steal(PyObject_CallMethod(module.get(), "format_exception", "OOO",
                                                type.get(), value.get(),
                                                traceback ? traceback.get() : Py_None))
             : PyRef();
  const PyRef separator = PyRef::steal(PyUnicode_FromString(""));
  const PyRef report =
      lines && separator ? PyRef::steal(PyUnicode_Join(separator.get(), lines.get())) : PyRef();
  if (report) {
    std::string text = text_of(report.get(), PyObject_Str);
    while (!text.empty() && text.back() == '\n') {
      text.pop_back();
    }
    description += "\n" + text;
  }
  PyErr_Clear(); // a failure of the report itself only shortens the description
  return description;
}

[[noreturn]] void stop_with_exception(const char *message) {
  throw Stop(std::string(message) + ": " + take_exception());
}

} // namespace

double evaluate_python_cost(const PythonCost &cost, std::span<const Vec3> structure) {
  constexpr const char *call_failed = "Python function failed to run !";
  const PyRef sequence = PyRef::steal(PyUnicode_FromStringAndSize(
      cost.sequence.data(), static_cast<Py_ssize_t>(cost.sequence.size())));
  const PyRef coordinates = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(structure.size())));
  if (!sequence || !coordinates) {
    stop_with_exception(call_failed);
  }
  for (std::size_t i = 0; i < structure.size(); ++i) {
    PyRef point = PyRef::steal(PyList_New(3));
    if (!point) {
      stop_with_exception(call_failed);
    }
    const double xyz[3] = {structure[i].x, structure[i].y, structure[i].z};
    for (Py_ssize_t axis = 0; axis < 3; ++axis) {
      PyObject *number = PyFloat_FromDouble(xyz[axis]);
      if (number == nullptr) {
        stop_with_exception(call_failed);
      }
      PyList_SET_ITEM(point.get(), axis, number); // steals
    }
    PyList_SET_ITEM(coordinates.get(), static_cast<Py_ssize_t>(i), point.release());
  }

  // The spare slot in front lets a bound method prepend self without copying the arguments.
  PyObject *arguments[3] = {nullptr, sequence.get(), coordinates.get()};
  const PyRef result = PyRef::steal(PyObject_Vectorcall(
      cost.callable, arguments + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!result) {
    stop_with_exception(call_failed);
  }
  if (PyFloat_CheckExact(result.get())) {
    return PyFloat_AS_DOUBLE(result.get());
  }
  const double value = PyFloat_AsDouble(result.get());
  if (value == -1.0 && PyErr_Occurred() != nullptr) {
    stop_with_exception("Python function did not return a float !");
  }
  return value;
}

} // namespace vexa
