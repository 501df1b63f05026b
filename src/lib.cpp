// Module entry: PyInit_vexa_stats, the function table with its docstrings, the one failure
// boundary, and the drivers of the six functions.
#include "args.hpp"
#include "cost.hpp"
#include "minimize.hpp"
#include "py_ref.hpp"
#include "rmsd.hpp"
#include "rank_correlation.hpp"
#include "sample_solutions.hpp"
#include "sampling.hpp"
#include "summary_statistics.hpp"
#include "stop.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vexa {
namespace {

// --- Arguments -------------------------------------------------------------------------------

struct RmsdArgs {
  Structure sol;
  GroundTruth gt;
};

struct SampleArgs {
  std::uint64_t len = 0;
  std::uint64_t sample_size = 0;
  OptionWord method;
  std::uint64_t thermalization_factor = 0;
  std::uint64_t autocorrelation_factor = 0;
  OptionWord lattice;
  double arc_length = 0.0;
  bool pbar = false;
};

// correlation and stats
struct AnalysisArgs {
  std::string seq;
  GroundTruth gt;
  PyObject *cost = nullptr; // borrowed for the call
  std::uint64_t sample_size = 0;
  std::optional<OptionWord> method;
  std::uint64_t thermalization_factor = 0;
  std::uint64_t autocorrelation_factor = 0;
  OptionWord lattice;
  double arc_length = 0.0;
  std::uint64_t kmin = 0;
  double dmax = 0.0;
  bool pbar = false;
};

struct MinimizeCostArgs {
  std::string seq;
  PyObject *cost = nullptr; // borrowed for the call
  OptionWord lattice;
  double arc_length = 0.0;
  std::uint64_t kmin = 0;
  double dmax = 0.0;
  bool pbar = false;
};

struct MinimizeRmsdArgs {
  GroundTruth gt;
  OptionWord lattice;
  double arc_length = 0.0;
  bool pbar = false;
};

constexpr double ARC_LENGTH = 3.8;
constexpr double DMAX = 7.8;
constexpr std::uint64_t SAMPLE_SIZE = 10000;
constexpr std::uint64_t KMIN = 1;

const auto RMSD_PARAMS = std::tuple{
    required("sol", &RmsdArgs::sol, convert_structure),
    required("gt", &RmsdArgs::gt, convert_ground_truth),
};

const auto SAMPLE_PARAMS = std::tuple{
    required("len", &SampleArgs::len, convert_u64),
    defaulted("sample_size", &SampleArgs::sample_size, convert_u64, SAMPLE_SIZE),
    defaulted("method", &SampleArgs::method, convert_word, "pivot"),
    defaulted("thermalization_factor", &SampleArgs::thermalization_factor, convert_u64,
              std::uint64_t{10}),
    defaulted("autocorrelation_factor", &SampleArgs::autocorrelation_factor, convert_u64,
              std::uint64_t{10}),
    defaulted("lattice", &SampleArgs::lattice, convert_word, "tetrahedral"),
    defaulted("arc_length", &SampleArgs::arc_length, convert_f64, ARC_LENGTH),
    defaulted("pbar", &SampleArgs::pbar, convert_bool, false),
};

const auto ANALYSIS_PARAMS = std::tuple{
    required("seq", &AnalysisArgs::seq, convert_text),
    required("gt", &AnalysisArgs::gt, convert_ground_truth),
    required("cost", &AnalysisArgs::cost, convert_borrowed),
    defaulted("sample_size", &AnalysisArgs::sample_size, convert_u64, SAMPLE_SIZE),
    defaulted("method", &AnalysisArgs::method, convert_optional_word, std::nullopt),
    defaulted("thermalization_factor", &AnalysisArgs::thermalization_factor, convert_u64,
              std::uint64_t{100}),
    defaulted("autocorrelation_factor", &AnalysisArgs::autocorrelation_factor, convert_u64,
              std::uint64_t{10}),
    defaulted("lattice", &AnalysisArgs::lattice, convert_word, "tetrahedral"),
    defaulted("arc_length", &AnalysisArgs::arc_length, convert_f64, ARC_LENGTH),
    defaulted("kmin", &AnalysisArgs::kmin, convert_u64, KMIN),
    defaulted("dmax", &AnalysisArgs::dmax, convert_f64, DMAX),
    defaulted("pbar", &AnalysisArgs::pbar, convert_bool, false),
};

const auto MINIMIZE_COST_PARAMS = std::tuple{
    required("seq", &MinimizeCostArgs::seq, convert_text),
    required("cost", &MinimizeCostArgs::cost, convert_borrowed),
    defaulted("lattice", &MinimizeCostArgs::lattice, convert_word, "tetrahedral"),
    defaulted("arc_length", &MinimizeCostArgs::arc_length, convert_f64, ARC_LENGTH),
    defaulted("kmin", &MinimizeCostArgs::kmin, convert_u64, KMIN),
    defaulted("dmax", &MinimizeCostArgs::dmax, convert_f64, DMAX),
    defaulted("pbar", &MinimizeCostArgs::pbar, convert_bool, false),
};

const auto MINIMIZE_RMSD_PARAMS = std::tuple{
    required("gt", &MinimizeRmsdArgs::gt, convert_ground_truth),
    defaulted("lattice", &MinimizeRmsdArgs::lattice, convert_word, "tetrahedral"),
    defaulted("arc_length", &MinimizeRmsdArgs::arc_length, convert_f64, ARC_LENGTH),
    defaulted("pbar", &MinimizeRmsdArgs::pbar, convert_bool, false),
};

// --- Drivers: no Python below this line except the borrowed cost object ---------------------

double rmsd(const RmsdArgs &args) {
  const PreparedGroundTruth prepared = prepare_ground_truth(args.gt);
  return ground_truth_rmsd(prepared, args.sol);
}

std::vector<Structure> sample_solutions(const SampleArgs &args) {
  // The method word is resolved first: with both words unknown, the method is reported.
  const SamplingMethod method =
      resolve_method(args.method, args.thermalization_factor, args.autocorrelation_factor);
  const LatticeKind kind = resolve_lattice(args.lattice);
  return vexa::sample_solutions(args.len, args.sample_size, method, kind, args.arc_length,
                                args.pbar);
}

// An absent method word means "pivot".
OptionWord default_method_word() { return OptionWord{"pivot", quote_word("pivot")}; }

struct CostsAndRmsds {
  std::vector<double> costs;
  std::vector<double> rmsds;
};

// Samples the structures and scores each one: its RMSD to the ground truth first, then its
// cost, so a ground truth of the wrong length stops before the cost is ever evaluated.
CostsAndRmsds sample_cost_rmsd(const AnalysisArgs &args, CostFunction cost,
                               const SamplingMethod &method, LatticeKind kind) {
  const PreparedGroundTruth prepared = prepare_ground_truth(args.gt);
  const auto rmsd_and_cost = [&](Structure &&structure) {
    const double rmsd = ground_truth_rmsd(prepared, structure);
    return std::pair{rmsd, evaluate_cost(cost, structure)};
  };
  // The walk length is the sequence's length in UTF-8 bytes.
  const auto pairs = sample_walks(kind, method, args.seq.size(), args.sample_size,
                                  args.arc_length, args.pbar, rmsd_and_cost);
  CostsAndRmsds sample;
  sample.costs.reserve(pairs.size());
  sample.rmsds.reserve(pairs.size());
  for (const auto &[rmsd, value] : pairs) {
    sample.costs.push_back(value);
    sample.rmsds.push_back(rmsd);
  }
  return sample;
}

// The cost is built first: a cost that cannot be built stops the call before any word is
// looked at, and Lua code has run by the time the words are checked.
CostsAndRmsds analyse(const AnalysisArgs &args) {
  CostFunction cost = build_cost_function(args.cost, args.seq, args.kmin, args.dmax);
  const SamplingMethod method =
      resolve_method(args.method ? *args.method : default_method_word(),
                     args.thermalization_factor, args.autocorrelation_factor);
  const LatticeKind kind = resolve_lattice(args.lattice);
  return sample_cost_rmsd(args, std::move(cost), method, kind);
}

double correlation(const AnalysisArgs &args) {
  const CostsAndRmsds sample = analyse(args);
  return rank_correlation(sample.costs, sample.rmsds);
}

StatsSummary stats(const AnalysisArgs &args) {
  const CostsAndRmsds sample = analyse(args);
  return summary_statistics(sample.costs, sample.rmsds);
}

Structure minimize_cost(const MinimizeCostArgs &args) {
  CostFunction cost = build_cost_function(args.cost, args.seq, args.kmin, args.dmax);
  const LatticeKind kind = resolve_lattice(args.lattice);
  // The walk length is the sequence's length in UTF-8 bytes.
  return minimize(args.seq.size(), std::move(cost), kind, args.pbar, args.arc_length);
}

Structure minimize_rmsd(const MinimizeRmsdArgs &args) {
  // Emptiness is checked before the lattice word.
  if (args.gt.empty()) {
    throw Stop("assertion failed: gt.len() > 0");
  }
  const LatticeKind kind = resolve_lattice(args.lattice);
  const std::uint64_t n = args.gt.front().size();
  return minimize(n, CostFunction{RmsdCost{prepare_ground_truth(args.gt)}}, kind, args.pbar,
                  args.arc_length);
}

// --- The failure boundary --------------------------------------------------------------------

[[noreturn]] void failure_while_failing() {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::abort();
}

PyObject *panic_exception_type() {
  static PyObject *type = nullptr; // created once per process, never released
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "vexa_stats.PanicException",
        "The exception raised when vexa_stats stops on a failure. It derives from BaseException, "
        "like SystemExit, so that it normally propagates all the way up and ends the "
        "interpreter.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

// Messages that quote Lua may hold any bytes: invalid UTF-8 shows as U+FFFD.
void raise_panic(std::string_view message) noexcept {
  PyObject *type = panic_exception_type();
  if (type == nullptr) {
    failure_while_failing();
  }
  const PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(
      message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) {
    failure_while_failing();
  }
  PyErr_SetObject(type, text.get());
}

// Every entry from Python passes here: a Stop becomes PanicException(message), PythonError
// leaves the Python error as set, and nothing C++ escapes into the interpreter.
template <typename Body> PyObject *boundary(Body body) noexcept {
  try {
    return body().release();
  } catch (const Stop &stop) {
    raise_panic(stop.message());
  } catch (const PythonError &) {
    if (PyErr_Occurred() == nullptr) {
      PyErr_SetString(PyExc_SystemError, "vexa_stats failed without setting an error");
    }
  } catch (const std::bad_alloc &) {
    PyErr_NoMemory();
  } catch (const std::exception &error) {
    raise_panic(error.what());
  }
  return nullptr;
}

template <typename Args, typename Table, typename Driver>
PyObject *call(const char *function, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames,
               const Table &table, Driver driver) noexcept {
  return boundary([&] {
    const Args converted = bind_and_convert<Args>(function, args, nargsf, kwnames, table);
    return to_python(driver(converted));
  });
}

PyObject *rmsd_entry(PyObject *, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
  return call<RmsdArgs>("rmsd()", args, nargsf, kwnames, RMSD_PARAMS, rmsd);
}

PyObject *sample_solutions_entry(PyObject *, PyObject *const *args, Py_ssize_t nargsf,
                                 PyObject *kwnames) {
  return call<SampleArgs>("sample_solutions()", args, nargsf, kwnames, SAMPLE_PARAMS,
                          sample_solutions);
}

PyObject *correlation_entry(PyObject *, PyObject *const *args, Py_ssize_t nargsf,
                            PyObject *kwnames) {
  return call<AnalysisArgs>("correlation()", args, nargsf, kwnames, ANALYSIS_PARAMS, correlation);
}

PyObject *stats_entry(PyObject *, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
  return call<AnalysisArgs>("stats()", args, nargsf, kwnames, ANALYSIS_PARAMS, stats);
}

PyObject *minimize_cost_entry(PyObject *, PyObject *const *args, Py_ssize_t nargsf,
                              PyObject *kwnames) {
  return call<MinimizeCostArgs>("minimize_cost()", args, nargsf, kwnames, MINIMIZE_COST_PARAMS,
                                minimize_cost);
}

PyObject *minimize_rmsd_entry(PyObject *, PyObject *const *args, Py_ssize_t nargsf,
                              PyObject *kwnames) {
  return call<MinimizeRmsdArgs>("minimize_rmsd()", args, nargsf, kwnames, MINIMIZE_RMSD_PARAMS,
                                minimize_rmsd);
}

// --- Docstrings ------------------------------------------------------------------------------
// One ":param"/":type" pair per parameter, the same text wherever the parameter appears.

#define VEXA_PARAM(name, description, type)                                                       \
  ":param " name ": " description "\n:type " name ": " type "\n\n"

#define VEXA_SOL                                                                                   \
  VEXA_PARAM("sol", "A 3D structure (list of 3D vectors).", "list of floats of shape (n, 3)")
#define VEXA_GT_RMSD                                                                               \
  VEXA_PARAM("gt", "A list of 3D strctures (list of lists of 3D vectors).",                      \
             "list of floats of shape (k,n,3)")
#define VEXA_GT                                                                                    \
  VEXA_PARAM("gt", "The groudn truth. A list of 3D strctures (list of lists of 3D vectors).",    \
             "list of floats of shape (k,n,3)")
#define VEXA_SEQ VEXA_PARAM("seq", "The sequence of the protein.", "str")
#define VEXA_COST                                                                                  \
  VEXA_PARAM("cost",                                                                               \
             "The cost function to be calculated. Can be a string tuple containing lua code and "  \
             "lua function name, a list of weight or an arbitrary python function.",              \
             "(str, str) | dict(dict(str)) | fun(seq : str, coordinates : list(list(f64))) -> "    \
             "f64")
#define VEXA_LEN VEXA_PARAM("len", "The length of the structures.", "int")
#define VEXA_SAMPLE_SIZE                                                                           \
  VEXA_PARAM("sample_size", "The number of structures. Ignored if method=\"iterate\".",          \
             "int, default: 10000")
#define VEXA_METHOD VEXA_PARAM("method", "The sampling method.", "str, default: \"pivot\"")
#define VEXA_THERMALIZATION(fallback)                                                              \
  VEXA_PARAM("thermalization_factor",                                                              \
             "The thermalization factor of the pivot algorithm. Ignored for methods other than "   \
             "\"pivot\".",                                                                         \
             "int, default: " fallback)
#define VEXA_AUTOCORRELATION                                                                       \
  VEXA_PARAM("autocorrelation_factor",                                                             \
             "The autocorrelation factor of the pivot algorithm. Ignored for methods other than "  \
             "\"pivot\".",                                                                         \
             "int, default: 10")
#define VEXA_LATTICE                                                                               \
  VEXA_PARAM("lattice", "The 3D lattice used to sample structures.",                             \
             "str, default: \"tetrahedral\"")
#define VEXA_ARC_LENGTH                                                                            \
  VEXA_PARAM("arc_length", "The length of the lattice's arcs.", "float, default: 3.8")
#define VEXA_KMIN                                                                                  \
  VEXA_PARAM("kmin",                                                                               \
             "The minimum sequence distance for interactions. Ignored of cost isn't a "            \
             "dictionnary of energy coefficients.",                                                \
             "int, default: 1")
#define VEXA_DMAX                                                                                  \
  VEXA_PARAM("dmax",                                                                               \
             "The maximum euclidian distance for interactions. Ignored of cost isn't a "           \
             "dictionnary of energy coefficients.",                                                \
             "float, default: 7.8")
#define VEXA_PBAR VEXA_PARAM("pbar", "If true, show a progress bar.", "bool, default: false")

#define VEXA_RMSD_RETURN                                                                           \
  "This function returns the the minimum rmsd between `sol` and each of the structures in `gt`."
#define VEXA_WALK_RTYPE                                                                            \
  "list of floats of shape (len,3). **DO NOT RUN THIS FOR LARGE SEQUENCES AS IT ENUMERATES ALL "   \
  "FEASIBLE SOLUTIONS WHICH GROW EXPONENTIALLY WITH THE SEQUENCE LENGTH !!!**"

#define VEXA_ANALYSIS_SIGNATURE(name)                                                              \
  name "(seq, gt, cost, sample_size=10000, method=None, thermalization_factor=100, "               \
       "autocorrelation_factor=10, lattice=\"tetrahedral\", arc_length=3.8, kmin=1, dmax=7.8, "    \
       "pbar=False)\n--\n\n"
#define VEXA_ANALYSIS_PARAMS                                                                       \
  VEXA_SEQ VEXA_GT VEXA_COST VEXA_SAMPLE_SIZE VEXA_METHOD VEXA_THERMALIZATION("100")               \
      VEXA_AUTOCORRELATION VEXA_LATTICE VEXA_ARC_LENGTH VEXA_KMIN VEXA_DMAX VEXA_PBAR

constexpr const char RMSD_DOC[] =
    "rmsd(sol, gt)\n--\n\n"
    "A function that calculates the rmsd. This is how the rmsd is calculated when the "
    "correlation or other statistics are computed.\n\n"
    "The idea is to get the rmsd between a given structure and a list of structures (usually the "
    "models obtained from wetlabs experiments).\n\n" VEXA_SOL VEXA_GT_RMSD
    ":return: " VEXA_RMSD_RETURN "\n"
    ":rtype: float\n\n" VEXA_RMSD_RETURN "\n"
    "This function uses the kabsh algorithm to align the structures.\n"
    "This function panic if two structures do not have the same length.";

constexpr const char SAMPLE_SOLUTIONS_DOC[] =
    "sample_solutions(len, sample_size=10000, method=\"pivot\", thermalization_factor=10, "
    "autocorrelation_factor=10, lattice=\"tetrahedral\", arc_length=3.8, pbar=False)\n--\n\n"
    "This function generates and returns a list of 3D self avoinding walk on a given lattice.\n\n"
    VEXA_LEN VEXA_SAMPLE_SIZE VEXA_METHOD VEXA_THERMALIZATION("10") VEXA_AUTOCORRELATION
        VEXA_LATTICE VEXA_ARC_LENGTH VEXA_PBAR
    ":return: A list of 3D self avoiding walk on the lattice.\n"
    ":rtype: list of floats of shape (k,len,3). If the method is not \"iterate\", then "
    "k=sample_size.";

constexpr const char CORRELATION_DOC[] =
    VEXA_ANALYSIS_SIGNATURE("correlation")
    "This function calculate the correlation factor for a cost function on a VEXA instance.\n\n"
    VEXA_ANALYSIS_PARAMS
    ":return: The correlation coefficient of function \"cost\" for the protein.\n"
    ":rtype: float between -1 and 1";

constexpr const char STATS_DOC[] =
    VEXA_ANALYSIS_SIGNATURE("stats")
    "This function calculate several stats for a cost function on a VEXA instance.\n\n"
    VEXA_ANALYSIS_PARAMS
    ":return: (correlation, (min_cost, avg_cost, max_cost), (min_rmsd, avg_rmsd, max_rmsd), "
    "(min_cost_rmsd, max_cost_rmsd))\n"
    ":rtype: (float, (float, float, float), (float, float, float), (float, float))";

constexpr const char MINIMIZE_COST_DOC[] =
    "minimize_cost(seq, cost, lattice=\"tetrahedral\", arc_length=3.8, kmin=1, dmax=7.8, "
    "pbar=False)\n--\n\n"
    "This function calculates the structure with minimum cost on a given lattice.\n\n"
    VEXA_SEQ VEXA_COST VEXA_LATTICE VEXA_ARC_LENGTH VEXA_KMIN VEXA_DMAX VEXA_PBAR
    ":return: A 3D self avoiding walk on the lattice.\n"
    ":rtype: " VEXA_WALK_RTYPE;

constexpr const char MINIMIZE_RMSD_DOC[] =
    "minimize_rmsd(gt, lattice=\"tetrahedral\", arc_length=3.8, pbar=False)\n--\n\n"
    "This function calculates the structure with minimum rmsd aginst ground truth on a given "
    "lattice.\n\n" VEXA_GT VEXA_LATTICE VEXA_ARC_LENGTH VEXA_PBAR
    ":return: A 3D self avoiding walk on the lattice.\n"
    ":rtype: " VEXA_WALK_RTYPE;

// --- Function table and module ---------------------------------------------------------------

using FastCall = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);

// PyMethodDef stores every function as PyCFunction; the flags tell the interpreter the real type.
PyCFunction as_method(FastCall function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int FAST_CALL = METH_FASTCALL | METH_KEYWORDS;

// Registration order is the order of __all__.
PyMethodDef FUNCTIONS[] = {
    {.ml_name = "stats", .ml_meth = as_method(stats_entry), .ml_flags = FAST_CALL,
     .ml_doc = STATS_DOC},
    {.ml_name = "correlation", .ml_meth = as_method(correlation_entry), .ml_flags = FAST_CALL,
     .ml_doc = CORRELATION_DOC},
    {.ml_name = "sample_solutions", .ml_meth = as_method(sample_solutions_entry),
     .ml_flags = FAST_CALL, .ml_doc = SAMPLE_SOLUTIONS_DOC},
    {.ml_name = "minimize_rmsd", .ml_meth = as_method(minimize_rmsd_entry), .ml_flags = FAST_CALL,
     .ml_doc = MINIMIZE_RMSD_DOC},
    {.ml_name = "minimize_cost", .ml_meth = as_method(minimize_cost_entry), .ml_flags = FAST_CALL,
     .ml_doc = MINIMIZE_COST_DOC},
    {.ml_name = "rmsd", .ml_meth = as_method(rmsd_entry), .ml_flags = FAST_CALL,
     .ml_doc = RMSD_DOC},
};

PyModuleDef MODULE = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vexa_stats",
    .m_doc = "A Python module implemented natively in C++.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// Creates the function bound to the module, appends its __name__ to __all__ and sets the
// attribute of that name.
void add_function(PyObject *module, PyMethodDef &definition) {
  const PyRef module_name = PyRef::checked(PyModule_GetNameObject(module));
  const PyRef function =
      PyRef::checked(PyCFunction_NewEx(&definition, module, module_name.get()));
  const PyRef name = PyRef::checked(PyObject_GetAttrString(function.get(), "__name__"));
  PyObject *dict = require(PyModule_GetDict(module)); // borrowed
  PyObject *all = PyDict_GetItemString(dict, "__all__"); // borrowed
  if (all == nullptr) {
    const PyRef created = PyRef::checked(PyList_New(0));
    require_status(PyDict_SetItemString(dict, "__all__", created.get()));
    all = created.get();
  }
  require_status(PyList_Append(all, name.get()));
  require_status(PyObject_SetAttr(module, name.get(), function.get()));
}

PyObject *init_module() noexcept {
  // The module is built once per process and belongs to the interpreter that built it.
  static std::int64_t owner = -1;
  static PyObject *module = nullptr; // never released
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter < 0) {
    return nullptr;
  }
  if (owner < 0) {
    owner = interpreter;
  } else if (interpreter != owner) {
    PyErr_SetString(PyExc_ImportError,
                    "vexa_stats can be imported only once per process: sub-interpreters are not "
                    "supported");
    return nullptr;
  }
  return boundary([] {
    if (module != nullptr) {
      return PyRef::borrow(module);
    }
    PyRef created = PyRef::checked(PyModule_Create(&MODULE));
    for (PyMethodDef &definition : FUNCTIONS) {
      add_function(created.get(), definition);
    }
    module = PyRef::borrow(created.get()).release();
    return created;
  });
}

} // namespace
} // namespace vexa

PyMODINIT_FUNC PyInit_vexa_stats() { return vexa::init_module(); }
