#!/usr/bin/env bash
# Installs everything (scripts/setup.sh), then runs every test: the C++ suite under ctest and
# the Python suite under pytest, then both again against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer. Warnings are errors. Exits non-zero when any test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
export VEXA_WERROR=ON
scripts/setup.sh

export PATH="$PWD/.venv/bin:$PATH"
cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release -DVEXA_WERROR=ON \
  -DVEXA_BUILD_MODULE=OFF >/dev/null
cmake --build build/cpp
ctest --test-dir build/cpp --output-on-failure -j2

python -m pytest -q tests/python

# --- Sanitizers ---------------------------------------------------------------------------------
# One build holds the C++ tests and the module, both instrumented. -O1: GCC 12 at -O2 with the
# sanitizers reports bogus -Wrestrict in std::string, and warnings are errors here.
SECONDS=0
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g" -DVEXA_WERROR=ON -DVEXA_SANITIZE=ON \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
cmake --build build/sanitize
echo "sanitize: build took ${SECONDS} s"

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The C++ suite has no interpreter around it, so leaks are checked there in full.
SECONDS=0
ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:check_initialization_order=1 \
  ctest --test-dir build/sanitize --output-on-failure -j2
echo "sanitize: C++ suite took ${SECONDS} s"

# The Python suite against the instrumented module, loaded from its build folder ahead of the
# installed one. The interpreter is not instrumented, so the runtimes are preloaded into it.
# PYTHONMALLOC=malloc routes every Python object through the checked allocator, so a reference
# released too early shows up as a use after free. Leak detection is off for this run: every
# allocation the module makes has the interpreter's frames below it, so any suppression wide
# enough to silence the interpreter's own never-freed memory would silence the module's too.
# Leaks are covered by the C++ run above and by tests/python/test_leaks.py in the plain run.
# Reports go to files: pytest captures the standard error of a test that the report would end,
# and tests that start child interpreters capture theirs.
SECONDS=0
reports="$PWD/build/sanitize/reports"
rm -rf "$reports"
mkdir -p "$reports"
status=0
(
  export LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
  export ASAN_OPTIONS="detect_leaks=0:log_path=$reports/asan"
  export UBSAN_OPTIONS="$UBSAN_OPTIONS:log_path=$reports/ubsan"
  export PYTHONMALLOC=malloc VEXA_SANITIZED=1
  export PYTHONPATH="$PWD/build/sanitize/src${PYTHONPATH:+:$PYTHONPATH}"
  python -c 'import sys, vexa_stats
sys.exit(None if "/build/sanitize/" in vexa_stats.__file__ else
         "sanitize: imported " + vexa_stats.__file__ + ", not the instrumented module")'
  python -m pytest -q -p no:cacheprovider tests/python
) || status=$?
for report in "$reports"/*; do
  [ -e "$report" ] || continue
  echo "sanitize: report $report"
  cat "$report"
  status=1
done
echo "sanitize: Python suite took ${SECONDS} s"
exit "$status"
