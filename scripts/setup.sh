#!/usr/bin/env bash
# Installs what the build and the tests need, when it is missing.
# Debian packages through apt-get, Python packages through pip.
set -euo pipefail

need_apt=()
for pkg in cmake g++ make nlohmann-json3-dev zlib1g-dev libgtest-dev pypy3 pypy3-dev pypy3-venv \
           clang libclang-rt-14-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need_apt+=("$pkg")
done
if [ ${#need_apt[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

python3 -m pip install -q --disable-pip-version-check \
  pytest hypothesis numpy scikit-build-core nanobind ninja "cmake>=3.20"
