#!/usr/bin/env bash
# The bounded reliability run of CI, after the regular suites (which already
# run the C++ fault sweep, power-loss model and regressions, plain and under
# ASan + UBSan):
#   1. every libFuzzer target under ASan + UBSan, from its seed corpus, for
#      FUZZ_SECONDS each (default 30);
#   2. the kill test: KILLS SIGKILLs of a writing child (default 50);
#   3. the Python suite against a module built with ASan + UBSan, the
#      sanitizer runtime preloaded into the interpreter.
# Long runs (hours of fuzzing, thousands of kills) are done by hand with the
# same commands; docs/reliability.md has the figures.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${JOBS:-$(nproc)}
fuzz_seconds=${FUZZ_SECONDS:-30}
kills=${KILLS:-50}
python=$(python3 -c 'import sys; print(sys.executable)')

echo "== fuzz targets under ASan + UBSan, ${fuzz_seconds} s each"
CC=clang CXX=clang++ cmake -S . -B build/reliability-ci/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVARNEL_FUZZ=ON -DVARNEL_SANITIZE=ON -DVARNEL_TESTS=OFF -DVARNEL_PYTHON=OFF >/dev/null
cmake --build build/reliability-ci/fuzz -j"$jobs" >/dev/null
for target in build/reliability-ci/fuzz/*_fuzz; do
  name=$(basename "$target")
  work=build/reliability-ci/fuzz/run/$name
  rm -rf "$work" && mkdir -p "$work/corpus"
  # New inputs go to the scratch corpus; the seeds in fuzz/corpus stay as they are.
  if ! ASAN_OPTIONS=detect_leaks=1 "$target" -max_total_time="$fuzz_seconds" -print_final_stats=1 \
      -artifact_prefix="$work/" "$work/corpus" "fuzz/corpus/$name" >"$work/log" 2>&1; then
    tail -n 60 "$work/log"
    echo "FAILED: $name (input saved under $work/)"
    exit 1
  fi
  echo "$name: $(grep -o 'number_of_executed_units: [0-9]*' "$work/log" | grep -o '[0-9]*$') inputs, no failure"
done

echo "== kill test, $kills kills"
cmake -S . -B build/reliability-ci/py -DCMAKE_BUILD_TYPE=Release -DVARNEL_TESTS=OFF -DVARNEL_PYTHON=ON \
  -DPython_EXECUTABLE="$python" >/dev/null
cmake --build build/reliability-ci/py -j"$jobs" --target _varnel >/dev/null
PYTHONPATH="$root/build/reliability-ci/py" "$python" tests/kill_test.py --kills "$kills" --seed "${KILL_SEED:-$RANDOM}"

echo "== Python tests against modules built with ASan + UBSan"
asan=build/reliability-ci/py-asan
cmake -S . -B "$asan" -DCMAKE_BUILD_TYPE=Debug -DVARNEL_TESTS=OFF -DVARNEL_PYTHON=ON \
  -DVARNEL_SANITIZE=ON -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$asan" -j"$jobs" --target _varnel _engine >/dev/null
# Both modules as an installation lays them out: _varnel, and the package
# varnel with its extension module beside its Python files.
site="$asan/site"
rm -rf "$site" && mkdir -p "$site/varnel"
cp "$asan"/_varnel*.so "$site/"
cp py/varnel/*.py py/varnel/*.pyi py/varnel/py.typed "$asan"/_engine*.so "$asan"/_version.py "$site/varnel/"
# CPython itself leaks at exit, so leak checking stays off here; the C++
# suites check leaks. The runtime must be loaded before the interpreter, and
# the C++ runtime with it, or the sanitizer cannot take over C++ throws (the
# package's module raises Python errors through them).
(cd py/tests && PYTHONPATH="$root/$site" \
  LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  "$python" -m pytest -q -p no:cacheprovider .)

echo "== reliability run passed"
