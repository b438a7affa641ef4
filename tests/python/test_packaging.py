"""The wheel: built without isolation, installed into a fresh venv, used from outside the checkout."""

import os
import pathlib
import subprocess
import sys
import sysconfig
import zipfile

import pytest

from conftest import BUILD, ROOT

pytestmark = pytest.mark.slow

QUICKSTART_LINES = [
    "destination: orders/new DestinationType.Topic",
    "request: True content type: json",
    """body: b'{"order":1042,"items":[{"sku":"A-7","qty":3}],"rush":true}'""",
    "read back: {'order': 1042, 'items': [{'sku': 'A-7', 'qty': 3}], 'rush': True}",
]


def run(args, **kwargs):
    # PYTHONPATH would let the build folder's module stand in for the installed one.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    done = subprocess.run(args, capture_output=True, text=True, env=env, timeout=900, **kwargs)
    assert done.returncode == 0, f"{args}\n{done.stdout}\n{done.stderr}"
    return done.stdout


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("dist")
    # A build folder that persists beside the usual one keeps rebuilds incremental.
    run([sys.executable, "-m", "build", "--wheel", "--no-isolation", "-o", str(out),
         f"-Cbuild-dir={BUILD.parent / 'wheel'}"], cwd=ROOT)
    (found,) = out.glob("tolvex-*.whl")
    return found


@pytest.fixture(scope="module")
def venv(wheel, tmp_path_factory):
    home = tmp_path_factory.mktemp("venv")
    run([sys.executable, "-m", "venv", "--system-site-packages", str(home / "env")])
    python = home / "env" / "bin" / "python"
    run([str(python), "-m", "pip", "install", "--quiet", "--no-index", "--no-deps", str(wheel)])
    return python


def test_wheel_holds_module_library_and_stubs(wheel):
    names = {n for n in zipfile.ZipFile(wheel).namelist() if ".dist-info/" not in n}
    module = "tolvex" + sysconfig.get_config_var("EXT_SUFFIX")
    assert names == {module, "libsolclient.so", "tolvex-stubs/__init__.pyi"}


def test_quickstart_runs_from_the_installed_wheel(venv, tmp_path):
    out = run([str(venv), str(ROOT / "examples" / "quickstart.py")], cwd=tmp_path).splitlines()
    assert out[:4] == QUICKSTART_LINES
    dump = "\n".join(out[4:])  # the library's dump
    assert "'orders/new'" in dump and "'orders/replies'" in dump


@pytest.mark.skipif(sys.platform != "linux", reason="reads /proc/self/maps")
def test_installed_module_loads_the_library_beside_it(venv, tmp_path):
    # Found through the module's $ORIGIN run path: nothing else points at the venv.
    code = ("import os, sysconfig, tolvex\n"
            "here = os.path.dirname(tolvex.__file__)\n"
            "maps = {l.split()[-1] for l in open('/proc/self/maps') if l.rstrip().endswith('/libsolclient.so')}\n"
            "print(here == sysconfig.get_paths()['platlib'], sorted(maps) == [os.path.join(here, 'libsolclient.so')])")
    assert run([str(venv), "-c", code], cwd=tmp_path).split() == ["True", "True"]


def test_type_checkers_find_the_installed_stubs(venv, tmp_path):
    platlib = run([str(venv), "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])"])
    installed = pathlib.Path(platlib.strip())
    assert (installed / "tolvex-stubs" / "__init__.pyi").read_text() == \
        (ROOT / "stubs" / "tolvex-stubs" / "__init__.pyi").read_text()
    program = tmp_path / "use.py"
    program.write_text("import tolvex\nreveal_type(tolvex.Tolvex().dest)\n")
    out = run([str(venv), "-m", "mypy", "--strict", "--no-incremental", str(program)], cwd=tmp_path)
    assert 'Revealed type is "tolvex.Destination"' in out
