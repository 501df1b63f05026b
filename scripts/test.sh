#!/usr/bin/env bash
# Installs everything (scripts/setup.sh), then runs every test: the C++ suite under ctest and
# the Python suite under pytest. Warnings are errors. Exits non-zero when any test fails.
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
