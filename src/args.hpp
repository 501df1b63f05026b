// Argument binding and conversion for the module functions (a declarative parameter table per
// function), the lattice and method words, and the conversion of results into Python objects.
#pragma once

#include "py_ref.hpp"

#include "lattice.hpp"
#include "rmsd.hpp"
#include "sampling_method.hpp"
#include "summary_statistics.hpp"
#include "walk.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace vexa {

// An option word as given, and its double-quoted, escaped form for messages. The quoted form is
// built during conversion because deciding what is printable asks the interpreter.
struct OptionWord {
  std::string text;
  std::string quoted;
};

// The quoted form of a UTF-8 word: backslash escapes for " \ \t \r \n \0, \u{hex} for
// non-printable characters and combining marks. Needs the interpreter for non-ASCII text.
std::string quote_word(std::string_view utf8);

// Converters, one per kind of argument. Each throws PythonError with the Python error set.
Structure convert_structure(PyObject *object);
GroundTruth convert_ground_truth(PyObject *object);
std::string convert_text(PyObject *object);
OptionWord convert_word(PyObject *object);
std::optional<OptionWord> convert_optional_word(PyObject *object); // None -> absent
std::uint64_t convert_u64(PyObject *object);
double convert_f64(PyObject *object);
bool convert_bool(PyObject *object);
PyObject *convert_borrowed(PyObject *object); // passed on as it is, borrowed for the call

// Stops with "Lattice {} is not recognized !" / "Method {} is not recognized !".
LatticeKind resolve_lattice(const OptionWord &word);
SamplingMethod resolve_method(const OptionWord &word, std::uint64_t thermalization_factor,
                              std::uint64_t autocorrelation_factor);

// Result conversions; each returns a new reference.
PyRef to_python(double value);
PyRef to_python(const Structure &structure);
PyRef to_python(const std::vector<Structure> &structures);
PyRef to_python(const StatsSummary &summary); // (corr, (3 costs), (3 rmsds), (2 rmsds))

// --- Binding ---------------------------------------------------------------------------------

inline constexpr std::size_t MAX_PARAMETERS = 12;
using BoundSlots = std::array<PyObject *, MAX_PARAMETERS>; // borrowed; nullptr = not given

// Binds a fast call's positional and keyword arguments to the parameter names; throws
// PythonError with the binding TypeError set.
BoundSlots bind_arguments(const char *function, const char *const *names, std::size_t count,
                          std::size_t required, PyObject *const *args, Py_ssize_t nargsf,
                          PyObject *kwnames);

// Runs convert(object) and, when it raises exactly TypeError, replaces that error with
// "argument '{name}': {message}" keeping the original's cause.
template <typename Convert>
auto convert_argument(const char *name, PyObject *object, Convert convert)
    -> decltype(convert(object));
void prefix_type_error(const char *name);

struct NoDefault {};

// One row of a parameter table: the name, where the value goes, how to convert it and the
// value taken when the argument is not given.
template <typename Args, typename T, typename D> struct Param {
  const char *name;
  T Args::*member;
  T (*convert)(PyObject *);
  D fallback;
};

template <typename Args, typename T>
constexpr Param<Args, T, NoDefault> required(const char *name, T Args::*member,
                                             T (*convert)(PyObject *)) {
  return {name, member, convert, {}};
}

template <typename Args, typename T, typename D>
constexpr Param<Args, T, D> defaulted(const char *name, T Args::*member, T (*convert)(PyObject *),
                                     D fallback) {
  return {name, member, convert, fallback};
}

template <typename T, typename D> T take_default(const D &fallback) {
  if constexpr (std::is_same_v<T, OptionWord> || std::is_same_v<T, std::optional<OptionWord>>) {
    if constexpr (std::is_same_v<D, std::nullopt_t>) {
      return T{};
    } else {
      return OptionWord{std::string(fallback), quote_word(fallback)};
    }
  } else {
    return T(fallback);
  }
}

// Binds and converts a fast call's arguments through a parameter table, in parameter order;
// the first failure ends the conversion.
template <typename Args, typename... Ds, typename... Ts>
Args bind_and_convert(const char *function, PyObject *const *args, Py_ssize_t nargsf,
                      PyObject *kwnames, const std::tuple<Param<Args, Ts, Ds>...> &table) {
  static_assert(sizeof...(Ts) <= MAX_PARAMETERS);
  constexpr std::size_t count = sizeof...(Ts);
  constexpr std::size_t required_count =
      ((std::is_same_v<Ds, NoDefault> ? std::size_t{1} : std::size_t{0}) + ... + 0);
  const std::array<const char *, count> names = std::apply(
      [](const auto &...param) { return std::array<const char *, count>{param.name...}; }, table);
  const BoundSlots slots = bind_arguments(function, names.data(), count, required_count, args,
                                          nargsf, kwnames);
  Args converted{};
  std::size_t index = 0;
  const auto fill = [&](const auto &param) {
    using Row = std::remove_cvref_t<decltype(param)>;
    using Value = std::remove_cvref_t<decltype(converted.*(param.member))>;
    PyObject *object = slots[index++];
    if (object != nullptr) {
      converted.*(param.member) = convert_argument(param.name, object, param.convert);
    } else if constexpr (!std::is_same_v<decltype(Row::fallback), NoDefault>) {
      converted.*(param.member) = take_default<Value>(param.fallback);
    }
  };
  std::apply([&](const auto &...param) { (fill(param), ...); }, table);
  return converted;
}

template <typename Convert>
auto convert_argument(const char *name, PyObject *object, Convert convert)
    -> decltype(convert(object)) {
  try {
    return convert(object);
  } catch (const PythonError &) {
    prefix_type_error(name);
    throw;
  }
}

} // namespace vexa
