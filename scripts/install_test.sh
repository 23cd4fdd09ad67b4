#!/usr/bin/env bash
# Each way of installing varnel, tried the way a user would, as CI does:
#   wheels    scripts/wheels.sh, then each wheel into a fresh virtual environment
#             with `pip install --no-index --only-binary :all:` (its dependencies and
#             pytest as wheels from PyPI, fetched into a local wheelhouse first), so no
#             compiler is involved; the Python suite against the installed wheel, with
#             the old-CPU test (qemu-user) required; on CPython and on PyPy.
#   source    `pip install .` where Debian's JSON package is absent: a mount namespace
#             (unshare -m, as root) covers /usr/include/nlohmann, its CMake config
#             directory and its pkg-config file with empty bind mounts; the build must
#             say it used the PyPI headers, and the module must give the wheel's bits.
#             There too, the CMake package is built and found with the PyPI headers.
#   package   cmake --install of the core, then examples/cpp configured against the
#             installed package alone, built and run.
#   refusals  configuring for a 32-bit target, with a compiler lacking C++20, and with
#             zlib's headers hidden (an overlay whiteout, in a mount namespace) must each
#             stop with the message naming what is missing.
# Usage: bash scripts/install_test.sh [wheels|source|package|refusals ...]  (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
pipq=(-q --disable-pip-version-check)
wheelhouse=dist/wheelhouse
probe=py/tests/old_cpu_probe.py

fail() { echo "FAILED: $*" >&2; exit 1; }

# Runs a pip command without the warnings of this machine's pip configuration
# about index locations that do not exist.
# (pipefail: the status is pip's)
quiet_pip() {
  "$@" 2>&1 | { grep -v "is ignored: it is neither a file nor a directory" || true; }
}

need_root() {
  [ "$(id -u)" -eq 0 ] || fail "$1 needs root (a mount namespace); CI runs as root"
}

# A fresh virtual environment of interpreter $1 at $2, with a current pip.
fresh_venv() {
  rm -rf "$2"
  "$1" -m venv "$2"
  quiet_pip "$2/bin/python" -m pip install "${pipq[@]}" --upgrade pip
}

# Fails unless every compiled module of the installed distribution is imported
# from the virtual environment $1 (not from the source tree).
check_installed_modules() {
  (cd py/tests && "$root/$1/bin/python" - "$root/$1" <<'EOF'
import importlib, os, sys
sys.path.insert(0, ".")
from old_cpu_probe import extension_modules
venv = os.path.realpath(sys.argv[1])
names = extension_modules()
assert "_varnel" in names, names
for name in names:
    where = os.path.realpath(importlib.import_module(name).__file__)
    assert where.startswith(venv + os.sep), (name, where)
    print("  %s from %s" % (name, os.path.relpath(where, venv)))
EOF
  )
}

wheels() {
  echo "== wheels: build"
  bash scripts/wheels.sh python3 pypy3
  for interp in python3 pypy3; do
    name=$(basename "$interp")
    venv=build/venv-wheel-test-$name
    deps=build/wheel-deps-$name
    fresh_venv "$interp" "$venv"
    # The wheel this interpreter takes: the project's, with its own tags.
    tag=$("$venv/bin/python" -c 'import sys; print(("pp%d%d" if hasattr(sys, "pypy_version_info") else "cp%d%d") % sys.version_info[:2])')
    wheel=$(ls "$wheelhouse"/*-"$tag"-*manylinux*.whl)
    [ "$(wc -l <<<"$wheel")" -eq 1 ] || fail "more than one wheel for $name in $wheelhouse"
    echo "== wheels: $(basename "$wheel") into a fresh $name environment, no compiler"
    rm -rf "$deps" && mkdir -p "$deps"
    # Dependencies only ever as wheels; numpy stays optional for the tests
    # until the distribution itself needs it (PyPy may have no numpy wheel).
    # The test tools: pytest everywhere; on CPython also mypy (the stubs' check)
    # and ray (the cluster's tests), which do not run on PyPy 3.9.
    tools=(pytest)
    [ "$name" = python3 ] && tools+=(mypy ray)
    quiet_pip "$venv/bin/python" -m pip download "${pipq[@]}" --only-binary :all: -d "$deps" "$wheel" "${tools[@]}"
    quiet_pip "$venv/bin/python" -m pip download "${pipq[@]}" --only-binary :all: -d "$deps" numpy \
      || echo "(no numpy wheel for $name; its test cases are skipped)"
    extra=()
    ls "$deps"/numpy-*.whl >/dev/null 2>&1 && extra=(numpy)
    quiet_pip "$venv/bin/python" -m pip install "${pipq[@]}" --no-index --only-binary :all: \
      --find-links "$deps" "$wheel" "${tools[@]}" "${extra[@]}"
    check_installed_modules "$venv"
    echo "== wheels: Python suite against the installed wheel on $name"
    (cd py/tests && VARNEL_REQUIRE_QEMU=1 "$root/$venv/bin/python" -m pytest -q -p no:cacheprovider .)
    # The benchmark harness's own checks (verdicts, references, recall); no timings.
    (cd bench && "$root/$venv/bin/python" -m pytest -q -p no:cacheprovider test_run.py)
    (cd py/tests && "$root/$venv/bin/python" old_cpu_probe.py) | tail -n +2 >"build/probe-wheel-$name.txt"
  done
}

# Runs inside `unshare -m`: hides the Debian JSON package, then builds from source.
source_inside() {
  mount --make-rprivate /
  empty=$(mktemp -d)
  for dir in /usr/include/nlohmann /usr/share/cmake/nlohmann_json; do
    if [ -d "$dir" ]; then mount --bind "$empty" "$dir"; fi
  done
  pc=/usr/share/pkgconfig/nlohmann_json.pc
  if [ -e "$pc" ]; then mount --bind /dev/null "$pc"; fi
  [ ! -e /usr/include/nlohmann/json.hpp ] || fail "the JSON headers are still visible"
  [ ! -e /usr/share/cmake/nlohmann_json/nlohmann_jsonConfig.cmake ] || fail "the JSON CMake config is still visible"

  echo "== source: pip install . without the Debian JSON package"
  venv=build/venv-source-nojson
  fresh_venv python3 "$venv"
  log=build/source-nojson.log
  "$venv/bin/python" -m pip install -v --disable-pip-version-check . >"$log" 2>&1 \
    || { tail -n 60 "$log"; fail "pip install . without nlohmann-json3-dev"; }
  grep -m1 "varnel: JSON library:" "$log" | sed 's/^ */  /'
  grep -q "varnel: JSON library: headers of the PyPI package nlohmann-json" "$log" \
    || fail "the build did not use the PyPI JSON headers (see $log)"
  check_installed_modules "$venv"
  (cd py/tests && "$root/$venv/bin/python" old_cpu_probe.py) | tail -n +2 >build/probe-source.txt
  if [ -e build/probe-wheel-python3.txt ]; then
    cmp build/probe-source.txt build/probe-wheel-python3.txt \
      || fail "the source build and the wheel give different results"
    echo "  same bits as the wheel"
  fi

  echo "== source: the CMake package with the PyPI JSON headers"
  tools=build/venv-json-tools
  fresh_venv python3 "$tools"
  quiet_pip "$tools/bin/python" -m pip install "${pipq[@]}" nlohmann-json
  package_roundtrip nojson -DPython_EXECUTABLE="$root/$tools/bin/python"
}

source_build() {
  need_root "the source build without the JSON package"
  unshare -m bash "$0" --source-inside
}

# Builds and installs the core into build/prefix-$1, then configures, builds
# and runs examples/cpp against the installed package; extra CMake arguments
# go to both configures.
package_roundtrip() {
  local label=$1; shift
  local build=build/package-$label prefix=$root/build/prefix-$label example=build/example-$label
  rm -rf "$build" "$prefix" "$example"
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVARNEL_TESTS=OFF -DVARNEL_PYTHON=OFF "$@" \
    >"$build.log" 2>&1 || { tail -n 40 "$build.log"; fail "configure the core ($label)"; }
  grep -m1 "varnel: JSON library:" "$build.log" | sed 's/^ */  /'
  cmake --build "$build" >>"$build.log" 2>&1 || { tail -n 40 "$build.log"; fail "build the core ($label)"; }
  cmake --install "$build" --prefix "$prefix" >>"$build.log"
  [ -f "$prefix/include/varnel/collection.h" ] && [ -f "$prefix/lib/cmake/varnel/varnelConfig.cmake" ] \
    && [ -f "$prefix/lib/cmake/varnel/varnelConfigVersion.cmake" ] && ls "$prefix"/lib*/libvarnel_core.a >/dev/null \
    || fail "the installed package lacks headers, library or config ($label)"
  # The private headers no public one needs are never installed.
  for private in coding.h distance_simd.h; do
    [ ! -e "$prefix/include/varnel/$private" ] && [ ! -e "$prefix/include/varnel/detail/$private" ] \
      || fail "$private was installed"
  done
  # The example sees the installed headers only: no source directory on its path.
  cmake -S examples/cpp -B "$example" -DCMAKE_PREFIX_PATH="$prefix" "$@" >"$example.log" 2>&1 \
    || { tail -n 40 "$example.log"; fail "configure examples/cpp ($label)"; }
  cmake --build "$example" --verbose >>"$example.log" 2>&1 || { tail -n 40 "$example.log"; fail "build examples/cpp ($label)"; }
  if grep -q -- "-I$root/core\|-isystem $root/core" "$example.log"; then fail "examples/cpp compiled against core/"; fi
  rm -rf "$example/db"
  "$example/varnel_example" "$example/db" | tee "$example/out.txt" | sed 's/^/  /'
  printf '%s\n' "6 vectors; nearest red ones of size >= 2:" "  id 2  distance 1" "  id 4  distance 3" \
    "  id 5  distance 6.92820311" | cmp - "$example/out.txt" || fail "examples/cpp printed other hits"
}

package() {
  echo "== package: cmake --install, examples/cpp against the installed package"
  package_roundtrip system
}

# Runs inside `unshare -m`: zlib.h hidden by an overlay whiteout over /usr/include.
refusals_inside() {
  mount --make-rprivate /
  scratch=$(mktemp -d)
  mount -t tmpfs tmpfs "$scratch"
  mkdir "$scratch/upper" "$scratch/work"
  mknod "$scratch/upper/zlib.h" c 0 0
  mount -t overlay overlay -o "lowerdir=/usr/include,upperdir=$scratch/upper,workdir=$scratch/work" /usr/include
  [ ! -e /usr/include/zlib.h ] || fail "zlib.h is still visible"
  expect_refusal "without zlib's headers" "install the Debian package zlib1g-dev"
}

# expect_refusal WHAT TEXT [VAR=value ...] [-- cmake-args ...]: configures into
# a scratch directory with that environment and those arguments; passes when
# configuring fails with a message holding TEXT.
expect_refusal() {
  local what=$1 text=$2; shift 2
  local vars=() dir log
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do vars+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  dir=$(mktemp -d) && log=$dir.log
  if env "${vars[@]}" cmake -S . -B "$dir" -DVARNEL_PYTHON=OFF -DVARNEL_TESTS=OFF "$@" >"$log" 2>&1; then
    fail "configuring $what succeeded"
  fi
  tr -s ' \n' ' ' <"$log" | grep -q "$text" || { cat "$log"; fail "configuring $what: no message \"$text\""; }
  echo "  $what: refused at configure with \"$text ...\""
  rm -rf "$dir" "$log"
}

refusals() {
  echo "== refusals: unsupported platforms stop at configure"
  # A 32-bit target: g++ -m32 (without 32-bit libraries to link against, so
  # try-compiles make static libraries, as with a cross compiler).
  expect_refusal "for a 32-bit target" "varnel needs a 64-bit target" \
    CC="gcc -m32" CXX="g++ -m32" -- -DCMAKE_TRY_COMPILE_TARGET_TYPE=STATIC_LIBRARY
  # A compiler whose C++20 mode lacks what the core uses: g++ held at C++17.
  local old
  old=$(mktemp -d)
  cat >"$old/g++" <<'EOF'
#!/bin/sh
for a in "$@"; do
  case "$a" in -std=c++20|-std=gnu++20) a=-std=c++17 ;; esac
  set -- "$@" "$a"; shift
done
exec g++ "$@"
EOF
  chmod +x "$old/g++"
  expect_refusal "with a compiler lacking C++20" "varnel needs a C++20 compiler" CXX="$old/g++"
  rm -rf "$old"
  need_root "the missing-zlib check"
  unshare -m bash "$0" --refusals-inside
}

case "${1:-}" in
  --source-inside) source_inside; exit ;;
  --refusals-inside) refusals_inside; exit ;;
esac
steps=("$@")
[ ${#steps[@]} -gt 0 ] || steps=(wheels source package refusals)
for step in "${steps[@]}"; do
  case "$step" in
    wheels) wheels ;;
    source) source_build ;;
    package) package ;;
    refusals) refusals ;;
    *) fail "unknown step $step (wheels, source, package, refusals)" ;;
  esac
done
echo "== install tests passed: ${steps[*]}"
