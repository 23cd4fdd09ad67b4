import platform

import pytest

try:
    import numpy
except ImportError:  # the PyPy environment may have no numpy
    numpy = None

IS_PYPY = platform.python_implementation() == "PyPy"


@pytest.fixture
def np():
    if numpy is None:
        pytest.skip("numpy is not installed")
    return numpy


@pytest.fixture
def cpython_only():
    # PyPy drops the docstrings of methods in a type's method table.
    if IS_PYPY:
        pytest.skip("method docstrings exist on CPython only")
