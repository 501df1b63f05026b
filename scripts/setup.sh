#!/usr/bin/env bash
# Installs everything vexa_stats needs on Debian: the system packages that are missing, a
# virtual environment in .venv with the Python tools, and the module itself. Idempotent, and
# quiet when everything is already in place. VEXA_WERROR=ON builds with warnings as errors.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
missing=()
need() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed" || missing+=("$1"); }

command -v "$python" >/dev/null 2>&1 || { python=python3; missing+=(python3); }
command -v g++ >/dev/null 2>&1 || missing+=(g++)
command -v make >/dev/null 2>&1 || missing+=(make)
command -v git >/dev/null 2>&1 || missing+=(git)
need pkg-config
need libluajit-5.1-dev
need libeigen3-dev
need libgtest-dev
need freesasa # ships the 1D3Z ubiquitin ensemble the demo reads
if command -v "$python" >/dev/null 2>&1; then
  "$python" -c 'import ensurepip, venv' 2>/dev/null || missing+=(python3-venv)
  include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
  [ -f "$include/Python.h" ] || missing+=(python3-dev)
else
  missing+=(python3-venv python3-dev)
fi

if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  echo "setup: installing Debian packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [ ! -x .venv/bin/python ]; then
  "$python" -m venv .venv
fi
.venv/bin/python -m pip install -q --disable-pip-version-check -r requirements-dev.txt
# The demo's structure parser and plotting (examples/demo.py).
.venv/bin/python -m pip install -q --disable-pip-version-check -r requirements-demo.txt
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation \
  -Cbuild-dir=build/wheel -Ccmake.define.VEXA_WERROR="${VEXA_WERROR:-OFF}" .
