"""Shared fixtures: the built module comes from the build folder (TOLVEX_BUILD_DIR, default build)."""

import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = ROOT / os.environ.get("TOLVEX_BUILD_DIR", "build") / "python"
sys.path.insert(0, str(BUILD))


def run_python(code, *, env=None, python=sys.executable):
    """Runs code in a fresh interpreter that finds the built module; returns the CompletedProcess."""
    full_env = dict(os.environ, PYTHONPATH=str(BUILD), **(env or {}))
    return subprocess.run([python, "-c", code], capture_output=True, text=True, env=full_env, timeout=120)


@pytest.fixture
def python_subprocess():
    return run_python


@pytest.fixture
def c_stdout(capfd):
    """Returns a reader of what native code wrote to stdout since the test began.

    Native diagnostics go through C stdio, which buffers when stdout is no terminal: the reader
    flushes it first. Output buffered by earlier tests is discarded at setup."""
    import _tolvex_testing

    _tolvex_testing.flush_stdout()
    capfd.readouterr()

    def read():
        _tolvex_testing.flush_stdout()
        return capfd.readouterr().out

    return read
