// CostFunction: the caller's cost (a Python callable, a Lua function, a contact-energy table)
// or the RMSD to a prepared ground truth, built once per operation and evaluated per structure.
#pragma once

#include "rmsd.hpp"
#include "walk.hpp"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

struct _object; // PyObject, without pulling Python.h into every unit
struct lua_State;

namespace vexa {

struct PythonCost {
  std::string sequence;
  _object *callable = nullptr; // borrowed: the Python call that supplied it outlives the cost
};

struct LuaStateCloser {
  void operator()(lua_State *state) const;
};

struct LuaCost {
  std::string sequence;
  std::unique_ptr<lua_State, LuaStateCloser> state;
  int function = 0; // registry reference to the function found under the given name
};

// Letter -> (letter -> energy); E(a, b) is table[a][b].
using ContactEnergyTable = std::unordered_map<char32_t, std::unordered_map<char32_t, double>>;

struct ContactEnergyCost {
  std::vector<double> pair_energies; // pairs (a, b), b - a >= kmin, a then b ascending
  std::uint64_t kmin = 1;
  double dmax = 7.8;
  std::uint64_t residue_count = 0; // characters of the sequence
  // contact_limit(dmax): a pair is in contact when its squared distance is at most this.
  double squared_limit = 0.0;
};

struct RmsdCost {
  PreparedGroundTruth ground_truth;
};

using CostFunction = std::variant<PythonCost, LuaCost, ContactEnergyCost, RmsdCost>;

// Classifies the caller's object (defined with the Python conversions).
CostFunction build_cost_function(_object *cost, std::string sequence, std::uint64_t kmin,
                                 double dmax);

double evaluate_cost(const CostFunction &cost, std::span<const Vec3> structure);

// The largest double whose square root is at most dmax (-inf when nothing is): since sqrt is
// correctly rounded and monotone, dmax >= sqrt(d2) exactly when d2 <= contact_limit(dmax).
double contact_limit(double dmax);

ContactEnergyCost make_contact_energy_cost(const ContactEnergyTable &table,
                                           std::string_view sequence, std::uint64_t kmin,
                                           double dmax);
// Stops unless the structure has exactly one point per residue of the sequence.
double evaluate_contact_energy(const ContactEnergyCost &cost, std::span<const Vec3> structure);

// Instruction sets the contact sum is written for; every path gives the same bits. Portable is
// SSE2, which every x86-64 processor has (plain scalar code elsewhere).
enum class ContactPath { Portable, Avx2, Avx512 };
// The paths this processor can run, Portable first; evaluate_contact_energy takes the last.
std::span<const ContactPath> contact_paths();
const char *contact_path_name(ContactPath path);
// The sum on a chosen path, which must be one of contact_paths().
double evaluate_contact_energy(const ContactEnergyCost &cost, std::span<const Vec3> structure,
                               ContactPath path);

LuaCost make_lua_cost(std::string_view function_name, std::string_view code,
                      std::string sequence);
double evaluate_lua_cost(const LuaCost &cost, std::span<const Vec3> structure);

double evaluate_python_cost(const PythonCost &cost, std::span<const Vec3> structure);

} // namespace vexa
