// Lua-scripted cost: a sandboxed LuaJIT state per operation, the user's chunk run once, and the
// named function called per structure with the sequence and a table of coordinates.
#include "cost.hpp"

#include "stop.hpp"

#include <lua.hpp>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdint>
#include <string>

#include <pthread.h>

namespace vexa {

void LuaStateCloser::operator()(lua_State *state) const { lua_close(state); }

namespace {

// Every Lua API call that can raise (allocation, metamethods, user code) runs inside a
// lua_CFunction entered through lua_cpcall: those functions hold no C++ object with a
// destructor and throw nothing, so a Lua error never skips a destructor and no C++ exception
// crosses a Lua frame. They report through the plain structs below; errors become Stop only
// after lua_cpcall has returned.

// Restores the stack top on every exit path of the C++ side.
class StackGuard {
public:
  explicit StackGuard(lua_State *state) : state_(state), top_(lua_gettop(state)) {}
  StackGuard(const StackGuard &) = delete;
  StackGuard &operator=(const StackGuard &) = delete;
  ~StackGuard() { lua_settop(state_, top_); }

private:
  lua_State *state_;
  int top_;
};

// The error value at the top of the stack as text, without calling into Lua: converting a
// number with lua_tostring would allocate outside protection.
std::string error_text(lua_State *state) {
  switch (lua_type(state, -1)) {
  case LUA_TSTRING: {
    std::size_t length = 0;
    const char *text = lua_tolstring(state, -1, &length);
    return std::string(text, length);
  }
  case LUA_TNUMBER: {
    char buffer[32];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, lua_tonumber(state, -1)).ptr;
    return std::string(buffer, end);
  }
  default:
    return std::string("(error object is a ") + luaL_typename(state, -1) + " value)";
  }
}

// Message handler: the error text followed by a stack traceback (luajit.c's traceback).
int traceback(lua_State *state) {
  if (lua_type(state, 1) != LUA_TSTRING && lua_type(state, 1) != LUA_TNUMBER) {
    // A __tostring that fails here turns into LUA_ERRERR, which error_text still describes.
    if (luaL_callmeta(state, 1, "__tostring") && lua_type(state, -1) == LUA_TSTRING) {
      return 1; // an object that describes itself carries no traceback
    }
    lua_pushfstring(state, "(error object is a %s value)", luaL_typename(state, 1));
    lua_replace(state, 1);
  }
  luaL_traceback(state, state, lua_tostring(state, 1), 1);
  return 1;
}

// Calls the function below nargs arguments in protected mode with the traceback handler
// pushed under it and removed again on both paths (luajit.c's docall).
// Stack: [f args...] -> [results...] or [error]
int docall(lua_State *state, int nargs, int nresults) {
  const int base = lua_gettop(state) - nargs;
  lua_pushcfunction(state, traceback);
  lua_insert(state, base);
  const int status = lua_pcall(state, nargs, nresults, base);
  lua_remove(state, base);
  return status;
}

// Anchors the value at the top of the stack in the registry and pops it.
int keep_reference(lua_State *state) { return luaL_ref(state, LUA_REGISTRYINDEX); }

int disabled_loadlib(lua_State *state) {
  return luaL_error(state, "package.loadlib is disabled in safe mode");
}

int safe_mode_searcher(lua_State *state) {
  lua_pushliteral(state, "\n\tcan't load C modules in safe mode");
  return 1;
}

// LuaJIT bounds the Lua stack but not the C stack. Library functions that call back into Lua
// nest C frames (string.gsub keeps an 8 KiB buffer per level), so recursion through them would
// overflow the thread's stack long before the Lua stack limit. Each such function is wrapped in
// a closure that raises a Lua error while enough stack is left to report and unwind.
constexpr std::uintptr_t C_STACK_RESERVE = 256 * 1024;

// The lowest address the calling thread may reach inside Lua: its stack's end plus the
// reserve (a quarter of a small stack). Read once per thread; 0 (no check) when the bounds
// cannot be read.
std::uintptr_t c_stack_floor() {
  thread_local const std::uintptr_t floor = [] {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) {
      return std::uintptr_t{0};
    }
    void *low = nullptr;
    std::size_t size = 0;
    const int status = pthread_attr_getstack(&attributes, &low, &size);
    pthread_attr_destroy(&attributes);
    const std::uintptr_t reserve = std::min<std::uintptr_t>(C_STACK_RESERVE, size / 4);
    return status == 0 ? reinterpret_cast<std::uintptr_t>(low) + reserve : std::uintptr_t{0};
  }();
  return floor;
}

// Calls upvalue 1 with every argument and returns all its results, unless the C stack is
// nearly used up.
int stack_checked_call(lua_State *state) {
  if (reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) < c_stack_floor()) {
    return luaL_error(state, "C stack overflow");
  }
  lua_pushvalue(state, lua_upvalueindex(1));
  lua_insert(state, 1);
  lua_call(state, lua_gettop(state) - 1, LUA_MULTRET);
  return lua_gettop(state);
}

// coroutine.wrap: the function it returns resumes the coroutine, so it is checked too.
int stack_checked_wrap(lua_State *state) {
  lua_pushvalue(state, lua_upvalueindex(1));
  lua_insert(state, 1);
  lua_call(state, lua_gettop(state) - 1, 1);
  lua_pushcclosure(state, stack_checked_call, 1);
  return 1;
}

// Replaces table[name], when it is a function, by `wrapper` holding the original.
// Stack: [table] -> [table]
void wrap_field(lua_State *state, const char *name, lua_CFunction wrapper) {
  lua_getfield(state, -1, name);
  if (!lua_isfunction(state, -1)) {
    lua_pop(state, 1);
    return;
  }
  lua_pushcclosure(state, wrapper, 1);
  lua_setfield(state, -2, name);
}

// The library functions that call Lua from C: callbacks, loaders, metamethods, coroutines.
void check_c_stack_in_callbacks(lua_State *state) {
  lua_pushvalue(state, LUA_GLOBALSINDEX);
  for (const char *name : {"print", "load", "dofile", "require"}) {
    wrap_field(state, name, stack_checked_call);
  }
  lua_getfield(state, -1, LUA_STRLIBNAME);
  wrap_field(state, "gsub", stack_checked_call);
  lua_pop(state, 1);
  lua_getfield(state, -1, LUA_TABLIBNAME);
  for (const char *name : {"sort", "foreach", "foreachi"}) {
    wrap_field(state, name, stack_checked_call);
  }
  lua_pop(state, 1);
  lua_getfield(state, -1, LUA_COLIBNAME);
  wrap_field(state, "resume", stack_checked_call);
  wrap_field(state, "wrap", stack_checked_wrap);
  lua_pop(state, 2);
}

enum class SetupStage { Libraries, Load, Run, Lookup };

struct Setup {
  const char *function_name;
  std::size_t function_name_length;
  const char *code;
  std::size_t code_length;
  SetupStage stage = SetupStage::Libraries;
  int status = 0; // of the failed load or run
  int function = LUA_NOREF;
};

void open_library(lua_State *state, lua_CFunction open, const char *name) {
  lua_pushcfunction(state, open);
  lua_pushstring(state, name);
  lua_call(state, 1, 0); // protected by the enclosing lua_cpcall
}

int setup_state(lua_State *state) {
  auto *setup = static_cast<Setup *>(lua_touserdata(state, 1));

  open_library(state, luaopen_base, "");               // globals, and coroutine in LuaJIT
  open_library(state, luaopen_table, LUA_TABLIBNAME);   // table
  open_library(state, luaopen_io, LUA_IOLIBNAME);       // io
  open_library(state, luaopen_os, LUA_OSLIBNAME);       // os
  open_library(state, luaopen_string, LUA_STRLIBNAME);  // string
  open_library(state, luaopen_bit, LUA_BITLIBNAME);     // bit: LuaJIT's bitwise operations
  open_library(state, luaopen_math, LUA_MATHLIBNAME);   // math
  open_library(state, luaopen_package, LUA_LOADLIBNAME); // package and require
  open_library(state, luaopen_jit, LUA_JITLIBNAME);     // jit: compiler control
  // No debug (it reaches past every sandbox) and no ffi (raw memory and native calls).

  // Safe mode: no native module can be loaded, Lua modules still can.
  lua_getglobal(state, LUA_LOADLIBNAME);
  lua_pushcfunction(state, disabled_loadlib);
  lua_setfield(state, -2, "loadlib");
  lua_getfield(state, -1, "loaders");
  lua_pushcfunction(state, safe_mode_searcher);
  lua_rawseti(state, -2, 3); // the native-library searcher
  lua_pushnil(state);
  lua_rawseti(state, -2, 4); // the all-in-one native searcher
  lua_pop(state, 2);
  check_c_stack_in_callbacks(state);

  setup->stage = SetupStage::Load;
  // Positions in the code read src/cost:39:<line>.
  setup->status = luaL_loadbuffer(state, setup->code, setup->code_length, "@src/cost:39");
  if (setup->status != 0) {
    return lua_error(state);
  }
  setup->stage = SetupStage::Run;
  setup->status = docall(state, 0, 0);
  if (setup->status != 0) {
    return lua_error(state);
  }

  setup->stage = SetupStage::Lookup;
  // An ordinary read, so an __index on the globals is honoured.
  lua_pushlstring(state, setup->function_name, setup->function_name_length);
  lua_gettable(state, LUA_GLOBALSINDEX);
  if (!lua_isfunction(state, -1)) {
    lua_pushfstring(state, "expected function, got %s", luaL_typename(state, -1));
    return lua_error(state);
  }
  setup->function = keep_reference(state);
  return 0;
}

struct Evaluation {
  const LuaCost *cost;
  const Vec3 *points;
  int count;
  double result = 0.0;
};

int evaluate_in_lua(lua_State *state) {
  auto *evaluation = static_cast<Evaluation *>(lua_touserdata(state, 1));
  const int base = lua_gettop(state);
  lua_rawgeti(state, LUA_REGISTRYINDEX, evaluation->cost->function);
  lua_pushlstring(state, evaluation->cost->sequence.data(), evaluation->cost->sequence.size());
  lua_createtable(state, evaluation->count, 0);
  for (int i = 0; i < evaluation->count; ++i) {
    const Vec3 &p = evaluation->points[i];
    lua_createtable(state, 3, 0);
    lua_pushnumber(state, p.x);
    lua_rawseti(state, -2, 1);
    lua_pushnumber(state, p.y);
    lua_rawseti(state, -2, 2);
    lua_pushnumber(state, p.z);
    lua_rawseti(state, -2, 3);
    lua_rawseti(state, -2, i + 1);
  }
  if (docall(state, 2, LUA_MULTRET) != 0) {
    return lua_error(state); // the message already carries its traceback
  }
  if (lua_gettop(state) > base && lua_isnumber(state, base + 1)) {
    evaluation->result = lua_tonumber(state, base + 1); // numbers, and numeric strings
    return 0;
  }
  lua_pushfstring(state, "expected number or string coercible to number, got %s",
                  lua_gettop(state) > base ? luaL_typename(state, base + 1) : "no value");
  return lua_error(state);
}

} // namespace

LuaCost make_lua_cost(std::string_view function_name, std::string_view code,
                      std::string sequence) {
  LuaCost cost;
  cost.sequence = std::move(sequence);
  cost.state.reset(luaL_newstate());
  lua_State *state = cost.state.get();
  if (state == nullptr) {
    throw Stop("Cannot create a Lua state !");
  }
  const StackGuard guard(state);
  Setup setup{function_name.data(), function_name.size(), code.data(), code.size()};
  if (lua_cpcall(state, setup_state, &setup) != 0) {
    const std::string text = error_text(state);
    switch (setup.stage) {
    case SetupStage::Libraries:
      throw Stop("Cannot open the Lua libraries !: " + text);
    case SetupStage::Load:
      throw Stop(std::string("Lua code returned an error when run:\n") +
                 (setup.status == LUA_ERRSYNTAX ? "syntax error: " : "memory error: ") + text);
    case SetupStage::Run:
      throw Stop(std::string("Lua code returned an error when run:\n") +
                 (setup.status == LUA_ERRMEM ? "memory error: " : "runtime error: ") + text);
    case SetupStage::Lookup:
      throw Stop("Lua function " + std::string(function_name) + " cannot be found !: " + text);
    }
  }
  cost.function = setup.function;
  return cost;
}

double evaluate_lua_cost(const LuaCost &cost, std::span<const Vec3> structure) {
  lua_State *state = cost.state.get();
  if (structure.size() >= static_cast<std::size_t>(INT_MAX)) {
    throw Stop("Lua function did not return a floating number !: the structure has too many "
               "points for a Lua table");
  }
  const StackGuard guard(state);
  Evaluation evaluation{&cost, structure.data(), static_cast<int>(structure.size())};
  if (lua_cpcall(state, evaluate_in_lua, &evaluation) != 0) {
    throw Stop("Lua function did not return a floating number !: " + error_text(state));
  }
  return evaluation.result;
}

} // namespace vexa
