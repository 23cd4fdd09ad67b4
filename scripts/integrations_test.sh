#!/usr/bin/env bash
# The framework integrations against a built varnel wheel, each in a fresh
# virtual environment holding only varnel, that integration (installed as a
# user would, `pip install ./integrations/<name>[test]`) and its framework:
#   langchain    LangChain's standard vector store suite (langchain-tests, pinned
#                in its test extra), sync and async, plus its own tests
#   llama_index  its tests with LlamaIndex's VectorStoreIndex
# and mypy --strict over each package and its tests.
# Usage: bash scripts/integrations_test.sh [varnel wheel]
#   Without a wheel, one is built from this tree with CPython (incremental:
#   build/integ-pip keeps the build directory between runs).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
pipq=(-q --disable-pip-version-check)

# Runs a pip command without the warnings of this machine's pip configuration
# about index locations that do not exist. (pipefail: the status is pip's)
quiet_pip() {
  "$@" 2>&1 | { grep -v "is ignored: it is neither a file nor a directory" || true; }
}

fresh_venv() {
  rm -rf "$1"
  python3 -m venv "$1"
  quiet_pip "$1/bin/python" -m pip install "${pipq[@]}" --upgrade pip
}

wheel=${1:-}
if [ -z "$wheel" ]; then
  echo "== varnel wheel from this tree"
  tools=build/venv-integ-tools
  [ -x "$tools/bin/python" ] || fresh_venv "$tools"
  quiet_pip "$tools/bin/python" -m pip install "${pipq[@]}" scikit-build-core nanobind nlohmann-json ninja "cmake>=3.20"
  rm -rf dist/integ
  quiet_pip "$tools/bin/python" -m pip wheel "${pipq[@]}" --no-deps --no-build-isolation \
    -Cbuild-dir=build/integ-pip -w dist/integ .
  wheel=$(ls dist/integ/varnel-*.whl)
fi
wheel=$(cd "$(dirname "$wheel")" && pwd)/$(basename "$wheel")

for name in langchain:langchain_varnel llama_index:llama_index; do
  package=${name#*:}
  name=${name%%:*}
  echo "== integrations/$name"
  venv=build/venv-integ-$name
  fresh_venv "$venv"
  quiet_pip "$venv/bin/python" -m pip install "${pipq[@]}" "$wheel" "./integrations/$name[test]" mypy
  # The installed package, not the source tree, is what the tests import:
  # pytest's own script does not put the working directory on sys.path.
  (cd "integrations/$name" && "$root/$venv/bin/pytest" -q -p no:cacheprovider tests)
  (cd "integrations/$name" && "$root/$venv/bin/python" -m mypy --strict --no-incremental "$package" tests)
done
echo "== integrations passed"
