// Argument binding and conversion, option words and result conversion for the module
// functions. Every failure here is a Python exception, raised before any work starts.
#include "args.hpp"

#include "stop.hpp"
#include "utf8.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <type_traits>

namespace vexa {
namespace {

[[noreturn]] void raise_type_error(const char *message) {
  PyErr_SetString(PyExc_TypeError, message);
  throw PythonError{};
}

// The type's qualified name, as the cast message shows it.
std::string type_name(PyObject *object) {
  PyTypeObject *type = Py_TYPE(object);
#if PY_VERSION_HEX >= 0x030B0000
  PyRef name = PyRef::steal(PyType_GetQualName(type));
#else
  PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject *>(type),
                                                   "__qualname__"));
#endif
  const char *text = nullptr;
  Py_ssize_t size = 0;
  if (name && PyUnicode_Check(name.get())) {
    text = PyUnicode_AsUTF8AndSize(name.get(), &size);
  }
  if (text == nullptr) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return std::string(text, static_cast<std::size_t>(size));
}

[[noreturn]] void raise_cast_error(PyObject *object, const char *target) {
  const std::string name = type_name(object);
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be cast as '%s'", name.c_str(), target);
  throw PythonError{};
}

std::string string_attribute(PyObject *object, const char *attribute) {
  const PyRef value = PyRef::steal(PyObject_GetAttrString(object, attribute));
  const char *text =
      value && PyUnicode_Check(value.get()) ? PyUnicode_AsUTF8(value.get()) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return {};
  }
  return text;
}

// --- Binding messages ------------------------------------------------------------------------

[[noreturn]] void too_many_positional(const char *function, std::size_t count,
                                      std::size_t required, Py_ssize_t given) {
  const char *verb = given == 1 ? "was" : "were";
  if (required == count) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", function,
                 count, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 function, required, count, given, verb);
  }
  throw PythonError{};
}

[[noreturn]] void missing_required(const char *function, const char *const *names,
                                   const BoundSlots &slots, std::size_t required) {
  std::vector<const char *> missing;
  for (std::size_t i = 0; i < required; ++i) {
    if (slots[i] == nullptr) {
      missing.push_back(names[i]);
    }
  }
  // 'a' / 'a' and 'b' / 'a', 'b', and 'c'
  std::string list;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      list += missing.size() > 2 ? ", " : " ";
      if (i + 1 == missing.size()) {
        list += "and ";
      }
    }
    list += '\'';
    list += missing[i];
    list += '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", function,
               missing.size(), missing.size() == 1 ? "argument" : "arguments", list.c_str());
  throw PythonError{};
}

// --- Sequences and the numpy fast path -------------------------------------------------------

constexpr const char *STRING_AS_LIST = "a str cannot be extracted as a list";
// A length reported by __len__ is only a hint: a lying object must not reserve gigabytes.
constexpr Py_ssize_t MAX_RESERVE = Py_ssize_t{1} << 20;

using ReadItem = double (*)(const char *);

template <typename T> double read_item(const char *at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return static_cast<double>(value);
}

// numpy.bool_ converts to 1.0 for any non-zero byte.
double read_bool(const char *at) { return *at != 0 ? 1.0 : 0.0; }

// Item types whose element-wise float conversion is a plain C++ conversion: the same value the
// sequence path gets from each element's __float__. Native byte order and sizes only.
ReadItem item_reader(const char *format, Py_ssize_t itemsize) {
  if (format == nullptr) {
    format = "B";
  }
  if (*format == '@') {
    ++format;
  }
  if (format[0] == '\0' || format[1] != '\0') {
    return nullptr;
  }
  const auto sized = [itemsize](auto reader, std::size_t size) -> ReadItem {
    return static_cast<std::size_t>(itemsize) == size ? reader : nullptr;
  };
  switch (format[0]) {
  case 'd': return sized(read_item<double>, sizeof(double));
  case 'f': return sized(read_item<float>, sizeof(float));
  case '?': return sized(read_bool, 1);
  case 'b': return sized(read_item<signed char>, sizeof(signed char));
  case 'B': return sized(read_item<unsigned char>, sizeof(unsigned char));
  case 'h': return sized(read_item<short>, sizeof(short));
  case 'H': return sized(read_item<unsigned short>, sizeof(unsigned short));
  case 'i': return sized(read_item<int>, sizeof(int));
  case 'I': return sized(read_item<unsigned int>, sizeof(unsigned int));
  case 'l': return sized(read_item<long>, sizeof(long));
  case 'L': return sized(read_item<unsigned long>, sizeof(unsigned long));
  case 'q': return sized(read_item<long long>, sizeof(long long));
  case 'Q': return sized(read_item<unsigned long long>, sizeof(unsigned long long));
  default: return nullptr;
  }
}

static_assert(sizeof(Vec3) == 3 * sizeof(double) && std::is_standard_layout_v<Vec3>);

// A C-contiguous real-valued numpy array of a given rank whose last extent is 3. Only exact
// numpy.ndarray qualifies: subclasses (numpy.matrix) and other exporters (memoryview) iterate
// differently from their buffer, and the sequence path's result is the one that counts.
class PointArray {
public:
  PointArray(PyObject *object, int ndim) {
    if (std::strcmp(Py_TYPE(object)->tp_name, "numpy.ndarray") != 0) {
      return;
    }
    if (PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) != 0) {
      PyErr_Clear();
      return;
    }
    held_ = true;
    read_ = item_reader(view_.format, view_.itemsize);
    if (read_ == nullptr || view_.ndim != ndim || view_.shape[ndim - 1] != 3 ||
        PyBuffer_IsContiguous(&view_, 'C') == 0) {
      read_ = nullptr;
    }
  }
  PointArray(const PointArray &) = delete;
  PointArray &operator=(const PointArray &) = delete;
  ~PointArray() {
    if (held_) {
      PyBuffer_Release(&view_);
    }
  }

  bool usable() const { return read_ != nullptr; }
  Py_ssize_t extent(int axis) const { return view_.shape[axis]; }

  // Appends `count` points starting at point index `first` (in units of 3 items).
  void append(Structure &out, Py_ssize_t first, Py_ssize_t count) const {
    if (count == 0) {
      return; // an empty model: memcpy may not be handed the null data of an empty vector
    }
    const char *at = static_cast<const char *>(view_.buf) + first * 3 * view_.itemsize;
    if (read_ == read_item<double>) {
      // float64 rows of 3 are Vec3's own layout: one copy instead of a call per coordinate.
      const std::size_t size = out.size();
      out.resize(size + static_cast<std::size_t>(count));
      std::memcpy(out.data() + size, at, static_cast<std::size_t>(count) * sizeof(Vec3));
      return;
    }
    const Py_ssize_t step = view_.itemsize;
    for (Py_ssize_t i = 0; i < count; ++i, at += 3 * step) {
      out.push_back({read_(at), read_(at + step), read_(at + 2 * step)});
    }
  }

private:
  Py_buffer view_{};
  bool held_ = false;
  ReadItem read_ = nullptr;
};

// The checks a list parameter makes before it iterates.
void check_list(PyObject *object) {
  if (PyUnicode_Check(object)) {
    raise_type_error(STRING_AS_LIST);
  }
  if (PySequence_Check(object) == 0) {
    raise_cast_error(object, "Sequence");
  }
}

template <typename Item, typename ConvertItem>
std::vector<Item> convert_list(PyObject *object, ConvertItem convert_item) {
  check_list(object);
  std::vector<Item> items;
  const Py_ssize_t length = PySequence_Size(object);
  if (length < 0) {
    PyErr_Clear();
  } else {
    items.reserve(static_cast<std::size_t>(std::min(length, MAX_RESERVE)));
  }
  const PyRef iterator = PyRef::checked(PyObject_GetIter(object));
  while (const PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    items.push_back(convert_item(item.get()));
  }
  if (PyErr_Occurred() != nullptr) {
    throw PythonError{};
  }
  return items;
}

Vec3 convert_point(PyObject *object) {
  if (PySequence_Check(object) == 0) {
    raise_cast_error(object, "Sequence");
  }
  const Py_ssize_t length = require_status(PySequence_Size(object));
  if (length != 3) {
    PyErr_Format(PyExc_ValueError, "expected a sequence of length 3 (got %zd)", length);
    throw PythonError{};
  }
  double xyz[3];
  for (Py_ssize_t k = 0; k < 3; ++k) {
    const PyRef item = PyRef::checked(PySequence_GetItem(object, k));
    xyz[k] = convert_f64(item.get());
  }
  return {xyz[0], xyz[1], xyz[2]};
}

// --- Option words ----------------------------------------------------------------------------

// Decodes one code point of well-formed UTF-8 (the interpreter's encoder made it).
char32_t next_code_point(std::string_view text, std::size_t &at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  std::size_t extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
  char32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
  for (std::size_t i = 1; i <= extra && at + i < text.size(); ++i) {
    c = (c << 6) | (byte(at + i) & 0x3F);
  }
  at += extra + 1;
  return c;
}

// Other_Grapheme_Extend (Unicode PropList): the marks outside the Mn and Me categories that
// extend a grapheme.
constexpr char32_t OTHER_GRAPHEME_EXTEND[][2] = {
    {0x09BE, 0x09BE}, {0x09D7, 0x09D7}, {0x0B3E, 0x0B3E},   {0x0B57, 0x0B57},
    {0x0BBE, 0x0BBE}, {0x0BD7, 0x0BD7}, {0x0CC2, 0x0CC2},   {0x0CD5, 0x0CD6},
    {0x0D3E, 0x0D3E}, {0x0D57, 0x0D57}, {0x0DCF, 0x0DCF},   {0x0DDF, 0x0DDF},
    {0x1B35, 0x1B35}, {0x200C, 0x200C}, {0x302E, 0x302F},   {0xFF9E, 0xFF9F},
    {0x1133E, 0x1133E}, {0x11357, 0x11357}, {0x114B0, 0x114B0}, {0x114BD, 0x114BD},
    {0x115AF, 0x115AF}, {0x11930, 0x11930}, {0x1D165, 0x1D165}, {0x1D16E, 0x1D172},
    {0xE0020, 0xE007F},
};

bool is_grapheme_extend(char32_t c) {
  for (const auto &range : OTHER_GRAPHEME_EXTEND) {
    if (range[0] <= c && c <= range[1]) {
      return true;
    }
  }
  const PyRef unicodedata = PyRef::checked(PyImport_ImportModule("unicodedata"));
  const PyRef category = PyRef::checked(
      PyObject_CallMethod(unicodedata.get(), "category", "C", static_cast<int>(c)));
  const char *name = PyUnicode_AsUTF8(category.get());
  if (name == nullptr) {
    throw PythonError{};
  }
  return std::strcmp(name, "Mn") == 0 || std::strcmp(name, "Me") == 0;
}

// Printable as str.isprintable() decides: not Other (Cc, Cf, Cs, Co, Cn) nor Separator (Zs, Zl,
// Zp) except the ASCII space.
bool needs_unicode_escape(char32_t c) {
  if (c < 0x80) {
    return c < 0x20 || c == 0x7F;
  }
  return !Py_UNICODE_ISPRINTABLE(static_cast<Py_UCS4>(c)) || is_grapheme_extend(c);
}

} // namespace

std::string quote_word(std::string_view utf8) {
  std::string quoted = "\"";
  for (std::size_t at = 0; at < utf8.size();) {
    const char32_t c = next_code_point(utf8, at);
    switch (c) {
    case '"': quoted += "\\\""; continue;
    case '\\': quoted += "\\\\"; continue;
    case '\t': quoted += "\\t"; continue;
    case '\r': quoted += "\\r"; continue;
    case '\n': quoted += "\\n"; continue;
    case '\0': quoted += "\\0"; continue;
    default: break;
    }
    if (needs_unicode_escape(c)) {
      char hex[16];
      const int size = std::snprintf(hex, sizeof hex, "\\u{%x}", static_cast<unsigned>(c));
      quoted.append(hex, static_cast<std::size_t>(size));
    } else {
      append_utf8(quoted, c);
    }
  }
  quoted += '"';
  return quoted;
}

// --- Binding ---------------------------------------------------------------------------------

BoundSlots bind_arguments(const char *function, const char *const *names, std::size_t count,
                          std::size_t required, PyObject *const *args, Py_ssize_t nargsf,
                          PyObject *kwnames) {
  BoundSlots slots{};
  const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
  if (static_cast<std::size_t>(positional) > count) {
    too_many_positional(function, count, required, positional);
  }
  for (Py_ssize_t i = 0; i < positional; ++i) {
    slots[static_cast<std::size_t>(i)] = args[i];
  }
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
    const auto *found = std::find_if(names, names + count, [keyword](const char *name) {
      return PyUnicode_CompareWithASCIIString(keyword, name) == 0;
    });
    if (found == names + count) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", function,
                   keyword);
      throw PythonError{};
    }
    PyObject *&slot = slots[static_cast<std::size_t>(found - names)];
    if (slot != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", function, *found);
      throw PythonError{};
    }
    slot = args[positional + k];
  }
  for (std::size_t i = 0; i < required; ++i) {
    if (slots[i] == nullptr) {
      missing_required(function, names, slots, required);
    }
  }
  return slots;
}

void prefix_type_error(const char *name) {
  // Only TypeError itself is rewritten; subclasses and other errors pass unchanged.
  if (PyErr_Occurred() != PyExc_TypeError) {
    return;
  }
#if PY_VERSION_HEX >= 0x030C0000
  const PyRef original = PyRef::steal(PyErr_GetRaisedException());
#else
  PyObject *type = nullptr;
  PyObject *value = nullptr;
  PyObject *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  const PyRef owned_type = PyRef::steal(type);
  const PyRef original = PyRef::steal(value);
  const PyRef owned_traceback = PyRef::steal(traceback);
#endif
  const PyRef message = PyRef::checked(PyObject_Str(original.get()));
  const PyRef text = PyRef::checked(PyUnicode_FromFormat("argument '%s': %U", name, message.get()));
  PyRef replacement = PyRef::checked(PyObject_CallOneArg(PyExc_TypeError, text.get()));
  PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
  // Restored rather than raised, so the caller's exception being handled does not become its
  // __context__.
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(replacement.release());
#else
  Py_INCREF(PyExc_TypeError);
  PyErr_Restore(PyExc_TypeError, replacement.release(), nullptr);
#endif
}

// --- Converters ------------------------------------------------------------------------------

std::string convert_text(PyObject *object) {
  if (!PyUnicode_Check(object)) {
    raise_cast_error(object, "str");
  }
  Py_ssize_t size = 0;
  const char *text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) {
    throw PythonError{};
  }
  return std::string(text, static_cast<std::size_t>(size));
}

OptionWord convert_word(PyObject *object) {
  std::string text = convert_text(object);
  std::string quoted = quote_word(text);
  return {std::move(text), std::move(quoted)};
}

std::optional<OptionWord> convert_optional_word(PyObject *object) {
  if (object == Py_None) {
    return std::nullopt;
  }
  return convert_word(object);
}

std::uint64_t convert_u64(PyObject *object) {
  unsigned long long value = 0;
  if (PyLong_Check(object)) {
    value = PyLong_AsUnsignedLongLong(object);
  } else {
    const PyRef index = PyRef::checked(PyNumber_Index(object));
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    throw PythonError{};
  }
  return value;
}

double convert_f64(PyObject *object) {
  if (PyFloat_CheckExact(object)) {
    return PyFloat_AS_DOUBLE(object);
  }
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred() != nullptr) {
    throw PythonError{};
  }
  return value;
}

bool convert_bool(PyObject *object) {
  if (Py_IS_TYPE(object, &PyBool_Type)) {
    return object == Py_True;
  }
  PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(object));
  const std::string type_module = string_attribute(type, "__module__");
  const std::string name = string_attribute(type, "__name__");
  if (type_module == "numpy" && (name == "bool_" || name == "bool")) {
    PyNumberMethods *number = Py_TYPE(object)->tp_as_number;
    if (number == nullptr || number->nb_bool == nullptr) {
      PyErr_Format(PyExc_TypeError, "object of type '%s' does not define a '__bool__' conversion",
                   type_name(object).c_str());
      throw PythonError{};
    }
    return require_status(number->nb_bool(object)) != 0;
  }
  raise_cast_error(object, "bool");
}

PyObject *convert_borrowed(PyObject *object) { return object; }

Structure convert_structure(PyObject *object) {
  const PointArray array(object, 2);
  if (array.usable()) {
    Structure structure;
    structure.reserve(static_cast<std::size_t>(array.extent(0)));
    array.append(structure, 0, array.extent(0));
    return structure;
  }
  return convert_list<Vec3>(object, convert_point);
}

GroundTruth convert_ground_truth(PyObject *object) {
  const PointArray array(object, 3);
  if (array.usable()) {
    const Py_ssize_t models = array.extent(0);
    const Py_ssize_t length = array.extent(1);
    GroundTruth truth(static_cast<std::size_t>(models));
    for (Py_ssize_t i = 0; i < models; ++i) {
      Structure &model = truth[static_cast<std::size_t>(i)];
      model.reserve(static_cast<std::size_t>(length));
      array.append(model, i * length, length);
    }
    return truth;
  }
  return convert_list<Structure>(object, convert_structure);
}

// --- Option words ----------------------------------------------------------------------------

LatticeKind resolve_lattice(const OptionWord &word) {
  if (word.text == "tetrahedral") {
    return LatticeKind::Tetrahedral;
  }
  if (word.text == "fcc") {
    return LatticeKind::Fcc;
  }
  if (word.text == "bcc") {
    return LatticeKind::Bcc;
  }
  if (word.text == "cubic") {
    return LatticeKind::Cubic;
  }
  throw Stop("Lattice " + word.quoted + " is not recognized !");
}

SamplingMethod resolve_method(const OptionWord &word, std::uint64_t thermalization_factor,
                              std::uint64_t autocorrelation_factor) {
  if (word.text == "pivot") {
    return Pivot{thermalization_factor, autocorrelation_factor};
  }
  if (word.text == "dimerize") {
    return Dimerize{};
  }
  if (word.text == "enumerate") {
    return Enumerate{};
  }
  throw Stop("Method " + word.quoted + " is not recognized !");
}

// --- Results ---------------------------------------------------------------------------------

PyRef to_python(double value) { return PyRef::checked(PyFloat_FromDouble(value)); }

PyRef to_python(const Structure &structure) {
  PyRef list = PyRef::checked(PyList_New(static_cast<Py_ssize_t>(structure.size())));
  Py_ssize_t i = 0;
  for (const Vec3 &p : structure) {
    // A half-filled list is safe to release: list deallocation skips empty slots.
    PyObject *point = require(PyList_New(3));
    PyList_SET_ITEM(list.get(), i++, point);
    PyList_SET_ITEM(point, 0, require(PyFloat_FromDouble(p.x)));
    PyList_SET_ITEM(point, 1, require(PyFloat_FromDouble(p.y)));
    PyList_SET_ITEM(point, 2, require(PyFloat_FromDouble(p.z)));
  }
  return list;
}

PyRef to_python(const std::vector<Structure> &structures) {
  PyRef list = PyRef::checked(PyList_New(static_cast<Py_ssize_t>(structures.size())));
  Py_ssize_t i = 0;
  for (const Structure &structure : structures) {
    PyList_SET_ITEM(list.get(), i++, to_python(structure).release());
  }
  return list;
}

PyRef to_python(const StatsSummary &s) {
  return PyRef::checked(Py_BuildValue("(d(ddd)(ddd)(dd))", s.correlation, s.min_cost, s.avg_cost,
                                      s.max_cost, s.min_rmsd, s.avg_rmsd, s.max_rmsd,
                                      s.min_cost_rmsd, s.max_cost_rmsd));
}

} // namespace vexa
