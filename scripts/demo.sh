#!/usr/bin/env bash
# Installs what is needed, builds and installs the module into a virtual
# environment, and runs the main demo (examples/demo.py, the varnel package)
# and the low-level module's quickstart (examples/quickstart.py).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
venv=build/venv-demo
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check numpy
"$venv/bin/python" -m pip install -q --disable-pip-version-check .
"$venv/bin/python" examples/demo.py
"$venv/bin/python" examples/quickstart.py
