// Lua cost: the sandbox, the calling convention, results and every failure message.
#include "cost.hpp"
#include "stop.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace vexa {
namespace {

const std::vector<Vec3> three_points = {{0.0, 0.0, 0.0}, {3.8, 0.0, 0.0}, {3.8, -3.8, 0.5}};

// The stop's message, or "(no stop)".
std::string stop_message(const std::function<void()> &action) {
  try {
    action();
  } catch (const Stop &stop) {
    return stop.what();
  }
  return "(no stop)";
}

bool starts_with(const std::string &text, const std::string &prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

TEST(LuaCost, Results) {
  struct Case {
    const char *name;
    const char *code;
    double expected;
  };
  const Case cases[] = {
      {"number", "function f() return -2.25 end", -2.25},
      {"numeric string", "function f() return '1.5' end", 1.5},
      {"hexadecimal string, as tonumber reads it", "function f() return '0x10' end", 16.0},
      {"two results: the first", "function f() return 2, 3 end", 2.0},
      {"integer-valued", "function f() return 7 end", 7.0},
      {"the sequence string", "function f(seq) return #seq * 10 + seq:byte(1) end", 3 * 10 + 65},
      // x of residue 2, z of residue 3 and the counts of both levels.
      {"the coordinates table",
       "function f(_, c) return c[2][1] + c[3][3] * 100 + #c * 1000 + #c[1] * 10000 end",
       3.8 + 0.5 * 100 + 3 * 1000 + 3 * 10000},
      {"a C function is a function", "f = string.len", 3.0},
      {"the function found through __index on the globals",
       "setmetatable(_G, {__index = function(_, name) "
       "  if name == 'f' then return function() return 9 end end end})",
       9.0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const LuaCost cost = make_lua_cost("f", c.code, "ABC");
    EXPECT_EQ(evaluate_lua_cost(cost, three_points), c.expected);
  }
}

TEST(LuaCost, ResultsThatAreNotNumbers) {
  struct Case {
    const char *name;
    const char *code;
    const char *type;
  };
  const Case cases[] = {
      {"true", "function f() return true end", "boolean"},
      {"a table", "function f() return {} end", "table"},
      {"nothing", "function f() end", "no value"},
      {"nil before a number", "function f() return nil, 1 end", "nil"},
      {"a string that is not a number", "function f() return 'abc' end", "string"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const LuaCost cost = make_lua_cost("f", c.code, "ABC");
    EXPECT_EQ(stop_message([&] { evaluate_lua_cost(cost, three_points); }),
              std::string("Lua function did not return a floating number !: expected number or "
                          "string coercible to number, got ") +
                  c.type);
  }
}

TEST(LuaCost, ErrorsDuringEvaluation) {
  const std::string prefix = "Lua function did not return a floating number !: ";
  struct Case {
    const char *name;
    const char *code;
    std::string starts; // the message begins with this
    const char *contains;
  };
  const Case cases[] = {
      {"error with a message", "function f()\n  error('boom')\nend",
       prefix + "src/cost:39:2: boom\nstack traceback:", "src/cost:39:2: in function"},
      {"indexing nil", "function f(seq, c)\n  return c[9][1]\nend",
       prefix + "src/cost:39:2: attempt to index", "in function <src/cost:39:1>"},
      {"error with a table", "function f() error({}) end",
       prefix + "(error object is a table value)\nstack traceback:", "in function 'error'"},
      {"error with nil", "function f() error() end", prefix + "(error object is a nil value)",
       "stack traceback:"},
      {"error with a number", "function f() error(42, 0) end", prefix + "42\nstack traceback:",
       ""},
      {"error object that describes itself",
       "function f() error(setmetatable({}, {__tostring = function() return 'mine' end})) end",
       prefix + "mine", ""},
      {"error object whose __tostring fails",
       "function f() error(setmetatable({}, {__tostring = function() error('again') end})) end",
       prefix + "error in error handling", ""},
      {"native require", "function f() return require('socket') end",
       prefix + "module 'socket' not found:",
       "\n\tcan't load C modules in safe mode"},
      {"loadlib", "function f() return package.loadlib('libc.so.6', 'puts') end",
       prefix + "package.loadlib is disabled in safe mode\nstack traceback:", ""},
      // Recursion that nests C frames, through a library callback or coroutines, ends with an
      // error before the thread's stack runs out (it used to crash the process).
      {"recursion through gsub", "function f() return string.gsub('a', 'a', f) end", prefix,
       "C stack overflow"},
      {"recursion through coroutines", "function f() return coroutine.wrap(f)() end", prefix,
       "C stack overflow"},
      {"recursion through table.sort",
       "function f() table.sort({2, 1}, function() return f() end) end", prefix, "overflow"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const LuaCost cost = make_lua_cost("f", c.code, "ABC");
    const std::string message = stop_message([&] { evaluate_lua_cost(cost, three_points); });
    EXPECT_TRUE(starts_with(message, c.starts)) << message;
    EXPECT_NE(message.find(c.contains), std::string::npos) << message;
    // The state survives a failed call: the next one fails the same way.
    EXPECT_EQ(stop_message([&] { evaluate_lua_cost(cost, three_points); }), message);
  }
}

TEST(LuaCost, BuildFailures) {
  struct Case {
    const char *name;
    const char *function;
    const char *code;
    std::string starts;
    const char *contains;
  };
  const Case cases[] = {
      {"syntax error", "f", "x = 1\nfunction f(",
       "Lua code returned an error when run:\nsyntax error: src/cost:39:2: ", "expected near"},
      {"runtime error while running the chunk", "f", "local a = 1\nerror('at load')",
       "Lua code returned an error when run:\nruntime error: src/cost:39:2: at load\nstack "
       "traceback:",
       "main chunk"},
      {"runtime error with a table", "f", "error({})",
       "Lua code returned an error when run:\nruntime error: (error object is a table value)",
       "stack traceback:"},
      {"absent", "g", "function f() return 1 end",
       "Lua function g cannot be found !: expected function, got nil", ""},
      {"a number", "f", "f = 3", "Lua function f cannot be found !: expected function, got number",
       ""},
      {"a callable table", "f", "f = setmetatable({}, {__call = function() return 1 end})",
       "Lua function f cannot be found !: expected function, got table", ""},
      {"__index that fails", "f", "setmetatable(_G, {__index = function() error('no') end})",
       "Lua function f cannot be found !: src/cost:39:1: no", ""},
      // The name comes first: with the items swapped the name is run as code.
      {"name and code swapped", "function f() return 1 end", "f",
       "Lua code returned an error when run:\nsyntax error: src/cost:39:1: ", ""},
      {"debug is not opened", "f", "debug.traceback()",
       "Lua code returned an error when run:\nruntime error: src/cost:39:1: attempt to index "
       "global 'debug' (a nil value)",
       ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string message = stop_message([&] { make_lua_cost(c.function, c.code, "ABC"); });
    EXPECT_TRUE(starts_with(message, c.starts)) << message;
    EXPECT_NE(message.find(c.contains), std::string::npos) << message;
  }
}

TEST(LuaCost, Sandbox) {
  // Each expression must hold inside the chunk's environment.
  const char *checks[] = {
      "debug == nil",
      "ffi == nil",
      "not pcall(require, 'ffi')",
      "not pcall(require, 'debug')",
      "#package.loaders == 3",
      "type(bit.band) == 'function' and bit.bor(1, 2) == 3",
      "type(jit.version) == 'string'",
      "type(coroutine.wrap) == 'function'",
      "type(io.write) == 'function' and type(os.time) == 'function'",
      "type(string.format) == 'function' and type(table.concat) == 'function'",
      "math.floor(2.5) == 2",
      "select(2, pcall(package.loadlib, 'x', 'y')):find('package.loadlib is disabled in safe "
      "mode', 1, true) ~= nil",
      "package.preload.helper == nil",
  };
  for (const char *check : checks) {
    SCOPED_TRACE(check);
    const LuaCost cost =
        make_lua_cost("f", std::string("function f() return (") + check + ") and 1 or 0 end", "");
    EXPECT_EQ(evaluate_lua_cost(cost, {}), 1.0);
  }
}

TEST(LuaCost, LuaModulesStillLoad) {
  // A module written in Lua, found through package.preload, loads under safe mode.
  const LuaCost cost = make_lua_cost(
      "f", "package.preload.helper = function() return {twice = function(x) return 2 * x end} end\n"
           "function f(seq) return require('helper').twice(#seq) end",
      "ABCD");
  EXPECT_EQ(evaluate_lua_cost(cost, {}), 8.0);
}

TEST(LuaCost, GlobalsLastOneOperation) {
  const char *code = "n = 10\nfunction f() n = n + 1 return n end";
  for (int operation = 0; operation < 2; ++operation) {
    SCOPED_TRACE(operation);
    const LuaCost cost = make_lua_cost("f", code, "AB");
    for (double expected : {11.0, 12.0, 13.0}) {
      EXPECT_EQ(evaluate_lua_cost(cost, three_points), expected);
    }
  }
}

TEST(LuaCost, ReferenceOutlivesTheGlobal) {
  const LuaCost cost =
      make_lua_cost("f", "function f() f = nil; collectgarbage() return 5 end", "A");
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(evaluate_lua_cost(cost, three_points), 5.0);
  }
}

TEST(LuaCost, FreshTablesEachCall) {
  // The function remembers the previous tables and vandalises them; each call must get new ones.
  const LuaCost cost = make_lua_cost("f",
                                     "function f(seq, c)\n"
                                     "  local same = (c == last or c[1] == first) and 1000 or 0\n"
                                     "  last, first = c, c[1]\n"
                                     "  local x = c[2][1]\n"
                                     "  c[2][1] = 99; c[1] = nil\n"
                                     "  return same + x\n"
                                     "end",
                                     "ABC");
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(evaluate_lua_cost(cost, three_points), 3.8);
  }
}

TEST(LuaCost, StackStaysBalanced) {
  // An unbalanced stack would overflow Lua's limit (about 65000 slots) well before the end.
  const LuaCost ok = make_lua_cost("f", "function f() return 1, 2, 3 end", "A");
  const LuaCost failing = make_lua_cost("f", "function f() error('x') end", "A");
  const std::vector<Vec3> one = {{0.0, 0.0, 0.0}};
  for (int i = 0; i < 70000; ++i) {
    ASSERT_EQ(evaluate_lua_cost(ok, one), 1.0);
  }
  for (int i = 0; i < 70000; ++i) {
    ASSERT_NE(stop_message([&] { evaluate_lua_cost(failing, one); }), "(no stop)");
  }
}

} // namespace
} // namespace vexa
