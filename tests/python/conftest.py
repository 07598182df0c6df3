"""Shared fixtures of the Python suite.

The tests import `zelk_native` as installed (scripts/test.sh runs pytest from
this folder after `pip install .`), or from PYTHONPATH.
"""

import os
import subprocess
import sys
import textwrap

import pytest

import zelk_native


def internal_fault_type():
    """The InternalFault type, obtained the only way Python code can: by catching one.

    compress_matrix_v1 with a NaN threshold is an internal fault ("NaN").
    """
    try:
        zelk_native.compress_matrix_v1([1.0], 1, 1, float("nan"))
    except BaseException as e:  # noqa: B036 - InternalFault is a BaseException
        return type(e)
    raise AssertionError("compress_matrix_v1 with a NaN threshold did not fault")


@pytest.fixture(scope="session")
def InternalFault():
    return internal_fault_type()


@pytest.fixture
def accepts():
    """accepts(function, *args, **kwargs): the arguments got through conversion.

    True when the call returns or ends in a codec refusal (OSError, which only
    the codec raises, after every argument was converted). Any other exception
    propagates.
    """

    def check(function, *args, **kwargs):
        try:
            function(*args, **kwargs)
        except OSError as e:
            if type(e) is OSError and e.errno is None and ": " in str(e):
                return True
            raise
        return True

    return check


@pytest.fixture
def run_python(tmp_path):
    """Runs code in a fresh interpreter that imports the same zelk_native; returns the result."""
    module_dir = os.path.dirname(os.path.abspath(zelk_native.__file__))

    def run(code, check=True):
        env = dict(os.environ)
        env["PYTHONPATH"] = module_dir + os.pathsep + env.get("PYTHONPATH", "")
        result = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            cwd=tmp_path,
            env=env,
            capture_output=True,
            text=True,
            timeout=120,
        )
        if check and result.returncode != 0:
            raise AssertionError(
                f"subprocess failed ({result.returncode}):\n{result.stdout}\n{result.stderr}"
            )
        return result

    return run
