#!/usr/bin/env bash
# Installs the module with pip into a fresh virtual environment of the given
# interpreter and runs the Python tests there.
set -euo pipefail
cd "$(dirname "$0")/.."
interp=${1:-python3}
venv=build/venv-$(basename "$interp")
rm -rf "$venv"
"$interp" -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip >/dev/null
"$venv/bin/python" -m pip install -q --disable-pip-version-check pytest
# mypy checks the package's stubs (CPython only: it does not run on PyPy 3.9).
if [ "$("$venv/bin/python" -c 'import sys; print(sys.implementation.name)')" = cpython ]; then
  "$venv/bin/python" -m pip install -q --disable-pip-version-check mypy
fi
# numpy is optional for the tests (they skip its cases without it); PyPy may lack a wheel.
"$venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary=:all: numpy \
  >/dev/null 2>&1 || echo "(numpy not available for $interp; its cases are skipped)"
# On CPython with the cluster extra (Ray, for varnel.cluster's tests); Ray has
# no PyPy build, and the cluster tests skip themselves there.
extra=""
if [ "$("$venv/bin/python" -c 'import sys; print(sys.implementation.name)')" = cpython ]; then
  extra="[cluster]"
fi
"$venv/bin/python" -m pip install -q --disable-pip-version-check ".$extra"
py="$PWD/$venv/bin/python"
# Run from the tests folder so the source tree's py/ never shadows the installed module.
(cd py/tests && "$py" -m pytest -q -p no:cacheprovider .)
# The benchmark harness's own checks (verdicts, references, recall); no timings.
(cd bench && "$py" -m pytest -q -p no:cacheprovider test_run.py)
