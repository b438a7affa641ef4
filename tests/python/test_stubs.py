"""The checked-in type stubs: regenerated from the built module, and accepted by mypy --strict."""

import importlib.util
import re
import shutil
import subprocess
import sys

import pytest

from conftest import BUILD, ROOT

spec = importlib.util.spec_from_file_location("stubs_tool", ROOT / "tools" / "stubs.py")
stubs_tool = importlib.util.module_from_spec(spec)
spec.loader.exec_module(stubs_tool)

# Uses every property, both ways where it can be set, and every constructor. Reads and writes sit
# in separate functions, so that no read sees a type narrowed by an assignment before it.
GOOD = """\
import tolvex
from tolvex import DeliveryMode, Destination, DestinationType


def write(m: tolvex.Tolvex) -> None:
    m.dest = Destination("orders/new")
    m.reply2 = Destination("orders/replies", tolvex.Queue)
    m.is_reply = False
    m.delivery_mode = DeliveryMode.Persistent
    m.content_type = "text/plain"
    m.elide = True
    m.cos = 2
    m.body = b"raw"
    m.msgpack = {"order": 2}
    m.json = {"order": 1}


def read(m: tolvex.Tolvex) -> str:
    name: str = m.dest.dest
    kind: DestinationType = m.reply2.dest_type
    flags: list[bool] = [m.is_reply, m.is_request, m.is_p2p, m.elide]
    mode: DeliveryMode = m.delivery_mode
    ct: str = m.content_type
    cos: int = m.cos + int(DestinationType(1)) + DeliveryMode(16).value
    body: dict[str, int] = m.json
    raw: bytes = m.body
    return f"{name}{kind}{flags}{mode}{ct}{cos}{body}{raw!r}{m!r}{tolvex.Topic.name}{tolvex.Direct}"


def unpack(m: tolvex.Tolvex) -> dict[str, int]:
    return m.msgpack


msg = tolvex.Tolvex()
write(msg)
print(read(msg))
packed = tolvex.Tolvex()
packed.msgpack = {"order": 2}
assert unpack(packed) == {"order": 2}
"""

# Each statement and the error code mypy must give for its line.
BAD = [
    ("m.dest = 1", "assignment"),
    ("m.json = [1]", "assignment"),
    ("m.msgpack = None", "assignment"),
    ("m.body = 'text'", "assignment"),
    ("m.cos = '2'", "assignment"),
    ("m.delivery_mode = tolvex.Queue", "assignment"),
    ("m.is_request = True", "misc"),
    ("m.is_p2p = False", "misc"),
    ("m.nonexistent", "attr-defined"),
    ("tolvex.Destination(1)", "arg-type"),
    ("tolvex.Destination('a', tolvex.Persistent)", "arg-type"),
    ("tolvex.Tolvex('dest')", "call-arg"),
    ("n: int = m.content_type", "assignment"),
]
BAD_HEADER = "import tolvex\nm = tolvex.Tolvex()\n"


def test_checked_in_stubs_match_the_built_module():
    pytest.importorskip("pybind11_stubgen")
    assert stubs_tool.STUB.read_text() == stubs_tool.generate(BUILD), "run tools/stubs.py"


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory):
    pytest.importorskip("mypy")
    work = tmp_path_factory.mktemp("mypy")
    # The stub alone, under the module's name: nothing else may satisfy the import.
    (work / "stubs").mkdir()
    shutil.copy(stubs_tool.STUB, work / "stubs" / "tolvex.pyi")
    (work / "good.py").write_text(GOOD)
    (work / "bad.py").write_text(BAD_HEADER + "".join(f"{line}\n" for line, _ in BAD))
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(work / "cache"),
                           "--no-error-summary", "good.py", "bad.py", "stubs/tolvex.pyi"],
                          cwd=work, env={"MYPYPATH": str(work / "stubs"), "PATH": "/usr/bin:/bin"},
                          capture_output=True, text=True, timeout=300)
    assert done.stderr == ""
    errors = {}
    for line in done.stdout.splitlines():
        found = re.match(r"(.+?):(\d+): error: .*\[([a-z-]+)\]$", line)
        assert found, line
        errors.setdefault(found[1], set()).add((int(found[2]), found[3]))
    return errors


def test_strict_program_using_every_property_passes(mypy_errors, python_subprocess):
    assert "good.py" not in mypy_errors
    assert "stubs/tolvex.pyi" not in mypy_errors
    # and the program runs: the stub promises nothing the module refuses
    done = python_subprocess(GOOD)
    assert done.returncode == 0, done.stderr


def test_type_errors_are_reported_on_their_lines(mypy_errors):
    first = BAD_HEADER.count("\n") + 1
    assert mypy_errors.get("bad.py") == {(first + i, code) for i, (_, code) in enumerate(BAD)}
