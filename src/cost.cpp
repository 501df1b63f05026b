// Classification of the caller's cost object into a CostFunction, the reading of a
// contact-energy dict, and the per-structure dispatch.
#include "cost.hpp"

#include "py_ref.hpp"
#include "stop.hpp"

#include <optional>
#include <string>
#include <utility>

namespace vexa {

namespace {

// The UTF-8 text of a str, cached inside the object; nullopt (error cleared) when it has none,
// e.g. for lone surrogates.
std::optional<std::string_view> utf8_of(PyObject *text) {
  Py_ssize_t size = 0;
  const char *data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string_view(data, static_cast<std::size_t>(size));
}

std::optional<char32_t> single_character(PyObject *key) {
  if (!PyUnicode_Check(key) || PyUnicode_GetLength(key) != 1) {
    return std::nullopt;
  }
  return static_cast<char32_t>(PyUnicode_ReadChar(key, 0));
}

// A dict of dicts with one-character keys and float-convertible values, or nullopt with no
// Python error left behind.
std::optional<ContactEnergyTable> read_energy_table(PyObject *object) {
  if (!PyDict_Check(object)) {
    return std::nullopt;
  }
  ContactEnergyTable table;
  Py_ssize_t position = 0;
  PyObject *key = nullptr;
  PyObject *value = nullptr;
  while (PyDict_Next(object, &position, &key, &value)) {
    // Held, since a value's __float__ below runs arbitrary code that may empty the dicts.
    const PyRef row_key = PyRef::borrow(key);
    const PyRef row = PyRef::borrow(value);
    const std::optional<char32_t> letter = single_character(row_key.get());
    if (!letter || !PyDict_Check(row.get())) {
      return std::nullopt;
    }
    auto &energies = table[*letter];
    Py_ssize_t inner = 0;
    while (PyDict_Next(row.get(), &inner, &key, &value)) {
      const PyRef column_key = PyRef::borrow(key);
      const PyRef energy = PyRef::borrow(value);
      const std::optional<char32_t> column = single_character(column_key.get());
      if (!column) {
        return std::nullopt;
      }
      const double e = PyFloat_AsDouble(energy.get()); // float, int, bool, __float__, __index__
      if (e == -1.0 && PyErr_Occurred() != nullptr) {
        PyErr_Clear();
        return std::nullopt;
      }
      energies[*column] = e;
    }
  }
  return table;
}

// str(object), or Python's own "<unprintable T object>" when str() fails.
std::string printable(PyObject *object) {
  const PyRef text = PyRef::steal(PyObject_Str(object));
  if (text) {
    if (const std::optional<std::string_view> utf8 = utf8_of(text.get())) {
      return std::string(*utf8);
    }
  }
  PyErr_Clear();
  return std::string("<unprintable ") + Py_TYPE(object)->tp_name + " object>";
}

} // namespace

CostFunction build_cost_function(PyObject *cost, std::string sequence, std::uint64_t kmin,
                                 double dmax) {
  // The order decides: a callable dict subclass is a Python cost, a tuple never a table.
  if (PyCallable_Check(cost) != 0) {
    return PythonCost{std::move(sequence), cost};
  }
  if (PyTuple_Check(cost) && PyTuple_GET_SIZE(cost) == 2) {
    PyObject *name = PyTuple_GET_ITEM(cost, 0);
    PyObject *code = PyTuple_GET_ITEM(cost, 1);
    if (PyUnicode_Check(name) && PyUnicode_Check(code)) {
      const std::optional<std::string_view> name_utf8 = utf8_of(name);
      const std::optional<std::string_view> code_utf8 = utf8_of(code);
      if (name_utf8 && code_utf8) {
        return make_lua_cost(*name_utf8, *code_utf8, std::move(sequence));
      }
    }
  }
  if (const std::optional<ContactEnergyTable> table = read_energy_table(cost)) {
    return make_contact_energy_cost(*table, sequence, kmin, dmax);
  }
  throw Stop("Cannot recognize " + printable(cost) + " !");
}

double evaluate_cost(const CostFunction &cost, std::span<const Vec3> structure) {
  struct Evaluate {
    std::span<const Vec3> structure;
    double operator()(const PythonCost &c) const { return evaluate_python_cost(c, structure); }
    double operator()(const LuaCost &c) const { return evaluate_lua_cost(c, structure); }
    double operator()(const ContactEnergyCost &c) const {
      return evaluate_contact_energy(c, structure);
    }
    double operator()(const RmsdCost &c) const {
      return ground_truth_rmsd(c.ground_truth, structure);
    }
  };
  return std::visit(Evaluate{structure}, cost);
}

} // namespace vexa
