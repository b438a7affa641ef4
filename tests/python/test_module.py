"""The module's face: import, version gate, enumerations and Destination."""

import copy
import pickle
import shutil

import pytest

import tolvex
from conftest import BUILD
from tolvex import DeliveryMode, Destination, DestinationType

DESTINATION_TYPES = [("Null", -1), ("Topic", 0), ("Queue", 1), ("TopicTemp", 2), ("QueueTemp", 3)]
DELIVERY_MODES = [("Direct", 0), ("Persistent", 16), ("NonPersistent", 32)]
ENUMS = [(DestinationType, "Solace Msg DestinationType", DESTINATION_TYPES),
         (DeliveryMode, "Solace Msg DeliveryMode", DELIVERY_MODES)]


# --- The module ------------------------------------------------------------------------------------

def test_module_contents():
    assert tolvex.__doc__ == "\n\n  "
    for cls in (DestinationType, DeliveryMode, Destination, tolvex.Tolvex):
        assert cls.__module__ == "tolvex"
    public = {name for name in vars(tolvex) if not name.startswith("_")}
    members = {name for _, _, table in ENUMS for name, _ in table}
    assert public == {"DestinationType", "DeliveryMode", "Destination", "Tolvex"} | members


def test_second_import_returns_the_same_module(python_subprocess):
    result = python_subprocess(
        "import sys, tolvex; first = tolvex; del sys.modules['tolvex']\n"
        "import tolvex; assert tolvex is first, 'new module'\n"
        "import importlib; assert importlib.reload(tolvex) is first\n"
        "print('same')")
    assert result.stdout.strip() == "same", result.stderr


@pytest.mark.skipif(shutil.which("python3.13") is None, reason="needs python3.13")
def test_other_interpreter_is_refused(python_subprocess):
    # The file name carries the 3.14 tag, so the module is loaded from its path.
    result = python_subprocess(
        "import importlib.util, sys\n"
        f"spec = importlib.util.spec_from_file_location('tolvex', {tolvex.__file__!r})\n"
        "try:\n    importlib.util.module_from_spec(spec)\nexcept ImportError as e:\n"
        "    print(e); print(sys.version)\nelse:\n    print('imported')",
        python=shutil.which("python3.13"))
    message, version = result.stdout.strip().split("\n", 1)
    assert message == ("Python version mismatch: module was compiled for Python 3.14, but the "
                       f"interpreter version is incompatible: {version}.")
    assert version.startswith("3.13")


def test_sub_interpreters_are_refused():
    interpreters = pytest.importorskip("concurrent.interpreters")
    interp = interpreters.create()
    try:
        with pytest.raises(interpreters.ExecutionFailed, match="ImportError"):
            interp.exec(f"import sys; sys.path.insert(0, {str(BUILD)!r}); import tolvex")
    finally:
        interp.close()


# --- Enumerations ----------------------------------------------------------------------------------

@pytest.mark.parametrize("enum, doc, table", ENUMS, ids=["DestinationType", "DeliveryMode"])
def test_enum_members(enum, doc, table):
    assert list(enum.__members__) == [name for name, _ in table]
    for name, value in table:
        member = getattr(enum, name)
        assert getattr(tolvex, name) is member
        assert enum.__members__[name] is member
        assert (member.name, member.value, int(member), member.__index__()) == (name, value, value, value)
        assert repr(member) == f"<{enum.__name__}.{name}: {value}>"
        assert str(member) == f"{enum.__name__}.{name}"
        assert hash(member) == hash(value)
        assert not isinstance(member, int)
        made = enum(value)
        assert made == member and made is not member
        for copied in (pickle.loads(pickle.dumps(member)), copy.copy(member), copy.deepcopy(member)):
            assert copied == member
    entries = "".join(f"\n\n  {name} : {name}" for name, _ in table)
    assert enum.__doc__ == f"{doc}\n\nMembers:{entries}"


def test_enum_unlisted_value_and_ranges():
    assert DestinationType(7).name == "???"
    assert DeliveryMode(4294967295).value == 4294967295
    for make, value in [(DeliveryMode, -1), (DeliveryMode, 2**32), (DestinationType, 2**31),
                        (DestinationType, -(2**31) - 1), (DestinationType, None), (DeliveryMode, "1")]:
        with pytest.raises(TypeError):
            make(value)


@pytest.mark.parametrize("expr, expected", [
    (lambda: tolvex.Topic == 0, True),
    (lambda: tolvex.Topic == tolvex.Direct, True),
    (lambda: tolvex.Queue == None, False),  # noqa: E711
    (lambda: tolvex.Queue != None, True),  # noqa: E711
    (lambda: tolvex.Queue < 2, True),
    (lambda: tolvex.QueueTemp >= tolvex.Queue, True),
    (lambda: tolvex.Null > -2, True),
    (lambda: tolvex.Persistent | tolvex.NonPersistent, 48),
    (lambda: tolvex.NonPersistent & 0x30, 32),
    (lambda: 1 ^ tolvex.Queue, 0),
    (lambda: ~tolvex.Topic, -1),
    (lambda: tolvex.Persistent == 16, True),
])
def test_enum_arithmetic(expr, expected):
    result = expr()
    assert result == expected and type(result) is type(expected)


def test_enum_comparison_needs_an_integer():
    with pytest.raises(TypeError):
        tolvex.Queue < "a"


# --- Destination -----------------------------------------------------------------------------------

@pytest.mark.parametrize("name", ["orders/new", b"orders/new", bytearray(b"orders/new")])
def test_destination_from_name(name):
    d = Destination(name)
    assert d.dest == "orders/new" and type(d.dest) is str
    assert d.dest_type == DestinationType.Topic


def test_destination_fields_read_and_write():
    d = Destination("q", DestinationType.Queue)
    d.dest_type = tolvex.QueueTemp
    d.dest = "r\u00e9"
    assert (d.dest, d.dest_type) == ("r\u00e9", tolvex.QueueTemp)
    d.dest = b"raw"
    assert d.dest == "raw"
    assert isinstance(d.dest_type, DestinationType)
    assert d.dest_type is not d.dest_type  # a new instance each read


@pytest.mark.parametrize("args", [(None,), ("t", 1), ("t", None), (5,), ("t", tolvex.Direct)])
def test_destination_refuses_wrong_types(args):
    with pytest.raises(TypeError):
        Destination(*args)


@pytest.mark.parametrize("attr, value", [("dest_type", 1), ("dest_type", None), ("dest", None), ("dest", 3)])
def test_destination_refuses_wrong_field_types(attr, value):
    d = Destination("t")
    with pytest.raises(TypeError):
        setattr(d, attr, value)
    assert (d.dest, d.dest_type) == ("t", tolvex.Topic)


def test_destination_has_no_extras():
    d = Destination("t")
    with pytest.raises(AttributeError):
        d.other = 1
    with pytest.raises(TypeError):
        pickle.dumps(d)
    assert Destination.__doc__ is None
    assert "Topic" in Destination.__init__.__doc__


def test_destination_invalid_utf8_name():
    d = Destination(b"\xff\xfe")
    with pytest.raises(UnicodeDecodeError):
        d.dest
