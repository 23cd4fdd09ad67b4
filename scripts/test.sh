#!/usr/bin/env bash
# Builds everything and runs every test: the C++ suites (plain and under
# AddressSanitizer + UndefinedBehaviorSanitizer); the install paths
# (scripts/install_test.sh: the Python suite on CPython and on PyPy against
# installed binary wheels, old CPUs under qemu, a source build without the
# Debian JSON package, the CMake package with examples/cpp, configure-time
# refusals); then the bounded reliability run (scripts/reliability.sh).
#
# `scripts/test.sh --quick` is the tier for daily work (a few minutes): the
# C++ tests of a release build and the Python suite against a source install
# on CPython. CI runs the whole of it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

bash scripts/setup.sh

if [ "${1:-}" = "--quick" ]; then
  echo "== C++ tests (quick tier)"
  cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DVARNEL_PYTHON=OFF >/dev/null
  cmake --build build/release -j"$jobs"
  ctest --test-dir build/release --output-on-failure -j"$jobs"
  echo "== Python suite on a source install (quick tier)"
  bash scripts/py_test.sh python3
  echo "== quick tier passed"
  exit 0
fi

echo "== C++ tests"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DVARNEL_PYTHON=OFF >/dev/null
cmake --build build/release -j"$jobs"
ctest --test-dir build/release --output-on-failure -j"$jobs"

echo "== C++ tests under ASan + UBSan"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DVARNEL_SANITIZE=ON -DVARNEL_PYTHON=OFF >/dev/null
cmake --build build/asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build/asan --output-on-failure -j"$jobs"

echo "== Install paths: wheels with the Python suite on CPython and PyPy, source, CMake package"
bash scripts/install_test.sh

echo "== Framework integrations (LangChain's standard suite, LlamaIndex) against the built wheel"
bash scripts/integrations_test.sh "$(ls dist/wheelhouse/varnel-*-cp3*-manylinux*.whl | head -1)"

echo "== Reliability: fuzzers, kill test, Python under ASan + UBSan"
bash scripts/reliability.sh

echo "== all tests passed"
