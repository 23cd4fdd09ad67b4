#!/usr/bin/env bash
# The benchmark against the peers in one command: installs the peers into a
# virtual environment with pip, builds and installs varnel there, runs
# bench/run.py and writes docs/benchmarks.md, docs/benchmarks.png and
# docs/bench_results.json, then bench/cluster_bench.py (varnel.cluster on a
# local Ray against one collection: docs/cluster_bench_results.json and
# docs/cluster_benchmarks.md), then bench/prune_bench.py (the pruned exact
# search against full scans: docs/pruning_results.json, the table of
# docs/pruning.md on standard output). Arguments go to all three, e.g.
#   bash scripts/bench.sh --preset quick --out /tmp/bench
#   VARNEL_FROM_HEAD=1 bash scripts/bench.sh     # measure the last commit, not the working tree
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

# sqlite-vec is a loadable SQLite extension: the interpreter's sqlite3 module
# must be able to load extensions (some self-built Pythons cannot). Take the
# first interpreter that can; otherwise pysqlite3-binary stands in.
py=""
for candidate in "${PYTHON:-}" /usr/bin/python3 python3; do
  [ -n "$candidate" ] && command -v "$candidate" >/dev/null || continue
  if "$candidate" -c "import sqlite3, sys; sys.exit(not hasattr(sqlite3.Connection, 'enable_load_extension'))" 2>/dev/null; then
    py=$candidate
    break
  fi
done
extra=()
if [ -z "$py" ]; then
  py=python3
  extra=(pysqlite3-binary)
fi

venv=build/venv-bench
[ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
pip=("$venv/bin/python" -m pip install -q --disable-pip-version-check)
"${pip[@]}" --upgrade pip >/dev/null
"${pip[@]}" -r bench/requirements.txt "${extra[@]}"
# VARNEL_FROM_HEAD=1 measures the last commit rather than the working tree.
src=.
if [ "${VARNEL_FROM_HEAD:-0}" = 1 ]; then
  src=$(mktemp -d)
  trap 'rm -rf "$src"' EXIT
  git archive HEAD | tar -x -C "$src"
  export VARNEL_BUILT_FROM="$(git rev-parse --short HEAD) (committed tree)"
fi
"${pip[@]}" --force-reinstall --no-deps "$src"
"$venv/bin/python" bench/run.py "$@"
"$venv/bin/python" bench/cluster_bench.py "$@"
"$venv/bin/python" bench/prune_bench.py "$@"
