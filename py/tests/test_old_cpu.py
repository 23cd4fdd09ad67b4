"""The installed modules on older CPUs: the interpreter runs under qemu-user
with a CPU model lacking the wide instructions, imports every compiled module
of the distribution (no wide instruction may run before the CPU check), and
its inserts and searches print exactly the bits of the native run.

Skipped where qemu-x86_64 is missing, unless VARNEL_REQUIRE_QEMU=1 (set by
scripts/install_test.sh), and under a sanitizer runtime preloaded into the
interpreter, which the emulator cannot carry."""

import os
import platform
import shutil
import subprocess
import sys

import pytest

PROBE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "old_cpu_probe.py")
QEMU = shutil.which("qemu-x86_64")

pytestmark = [
    pytest.mark.skipif(platform.machine() != "x86_64", reason="x86-64 CPU models only"),
    pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                       reason="the sanitizer runtime does not run under qemu-user"),
]


def run_probe(prefix):
    done = subprocess.run(prefix + [sys.executable, PROBE], capture_output=True, text=True,
                          timeout=600)
    assert done.returncode == 0, done.stderr[-3000:]
    first, _, rest = done.stdout.partition("\n")
    return first, rest


@pytest.fixture(scope="module")
def native():
    return run_probe([])


@pytest.fixture(scope="module")
def qemu():
    if QEMU is None:
        if os.environ.get("VARNEL_REQUIRE_QEMU") == "1":
            pytest.fail("qemu-x86_64 is required here (Debian package qemu-user)")
        pytest.skip("qemu-x86_64 is not installed")
    models = subprocess.run([QEMU, "-cpu", "help"], capture_output=True, text=True).stdout
    return QEMU, models.split()


# (model, AVX2 usable, AVX-512F usable): Nehalem has neither, Haswell AVX2 only.
@pytest.mark.parametrize("model,avx2,avx512f", [("Nehalem", 0, 0), ("Haswell", 1, 0)])
def test_emulated_cpu_gives_the_native_bits(native, qemu, model, avx2, avx512f):
    path, models = qemu
    if model not in models:
        pytest.skip("this qemu offers no %s model" % model)
    features, output = run_probe([path, "-cpu", model])
    # The emulated CPU really lacks what it should: else the test proves nothing.
    assert features == "cpu avx2=%d avx512f=%d" % (avx2, avx512f)
    assert output == native[1]
    assert output.count("\n") > 200 and "imported _varnel" in output
