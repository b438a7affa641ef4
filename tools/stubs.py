#!/usr/bin/env python3
"""Type stubs of the module tolvex, made by pybind11-stubgen from a built module.

    tools/stubs.py [--build-dir DIR] [--check]

writes stubs/tolvex-stubs/__init__.pyi (or, with --check, fails when it differs from a fresh
generation). The test suite uses generate() too, so the checked-in copy and the check cannot drift.
"""

import argparse
import os
import pathlib
import re
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
STUB = ROOT / "stubs" / "tolvex-stubs" / "__init__.pyi"

# Destination's default argument is an enum member; stubgen needs to be told where its class lives.
STUBGEN_ARGS = ["--enum-class-locations", "DestinationType:tolvex", "--exit-code"]

# pybind11 names a dict parameter or property plain `dict`, which mypy --strict refuses.
_BARE_DICT = re.compile(r"\bdict\b(?!\[)")


def postprocess(text: str) -> str:
    """The only changes made to stubgen's output, so that mypy --strict accepts the stub."""
    return _BARE_DICT.sub("dict[typing.Any, typing.Any]", text)


def generate(module_dir: pathlib.Path, python: str = sys.executable) -> str:
    """The stub text for the module found in module_dir."""
    with tempfile.TemporaryDirectory() as out:
        env = dict(os.environ, PYTHONPATH=str(module_dir.resolve()))
        done = subprocess.run([python, "-m", "pybind11_stubgen", "tolvex", *STUBGEN_ARGS, "-o", out],
                              env=env, cwd=out, capture_output=True, text=True)
        if done.returncode != 0:
            raise RuntimeError(f"pybind11-stubgen failed:\n{done.stdout}{done.stderr}")
        return postprocess((pathlib.Path(out) / "tolvex.pyi").read_text())


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", type=pathlib.Path,
                        default=ROOT / os.environ.get("TOLVEX_BUILD_DIR", "build"))
    parser.add_argument("--check", action="store_true", help="compare instead of writing")
    args = parser.parse_args()
    fresh = generate(args.build_dir / "python")
    if args.check:
        if STUB.read_text() != fresh:
            print(f"{STUB.relative_to(ROOT)} is out of date: run tools/stubs.py", file=sys.stderr)
            return 1
        return 0
    STUB.parent.mkdir(parents=True, exist_ok=True)
    STUB.write_text(fresh)
    return 0


if __name__ == "__main__":
    sys.exit(main())
