"""The class Tolvex: construction, repr, the twelve properties and the codec cache."""

import math
import textwrap

import msgpack
import orjson
import pytest

import tolvex
from tolvex import DeliveryMode, Destination, DestinationType, Tolvex

PROPERTIES = ["dest", "reply2", "is_reply", "is_request", "is_p2p", "delivery_mode", "content_type",
              "elide", "cos", "json", "msgpack", "body"]


@pytest.fixture
def m():
    return Tolvex()


# --- The class -------------------------------------------------------------------------------------

def test_class_offers_exactly_its_properties():
    assert [name for name, v in vars(Tolvex).items() if isinstance(v, property)] == PROPERTIES
    for absent in ("to_dict", "from_dict", "ptr", "correlation_id", "setCorrlationId"):
        assert not hasattr(Tolvex, absent)
    assert not hasattr(Tolvex(), "__dict__")
    assert Tolvex.__doc__ is None


@pytest.mark.parametrize("args, kwargs", [((1,), {}), (("t",), {}), ((), {"dest": "t"})])
def test_constructor_takes_no_arguments(args, kwargs):
    with pytest.raises(TypeError):
        Tolvex(*args, **kwargs)


def test_repr_is_the_dump(m):
    m.dest = Destination("orders/new")
    text = repr(m)
    assert type(text) is str and "orders/new" in text and len(text) <= 4095


def test_no_per_instance_attributes(m):
    with pytest.raises(AttributeError):
        m.other = 1


@pytest.mark.parametrize("name", ["is_request", "is_p2p"])
def test_read_only_properties(m, name):
    with pytest.raises(AttributeError):
        setattr(m, name, True)


@pytest.mark.parametrize("name", PROPERTIES)
def test_properties_cannot_be_deleted(m, name):
    with pytest.raises(AttributeError):
        delattr(m, name)


# --- Defaults and round trips ----------------------------------------------------------------------

def test_new_message_defaults(m):
    assert (m.dest.dest, m.reply2.dest) == ("", "")
    assert (m.is_reply, m.is_request, m.is_p2p, m.elide) == (False, False, False, False)
    assert m.delivery_mode == tolvex.Direct and isinstance(m.delivery_mode, DeliveryMode)
    assert (m.content_type, m.cos, m.body) == ("", 1, b"")


@pytest.mark.parametrize("name, value, expected", [
    ("is_reply", True, True), ("is_reply", None, False), ("is_reply", 1, True), ("is_reply", 0.0, False),
    ("elide", True, True), ("elide", 2, True), ("elide", False, False),
    ("delivery_mode", tolvex.Persistent, 16), ("delivery_mode", tolvex.NonPersistent, 32),
    ("content_type", "text/plain", "text/plain"), ("content_type", b"sdt", "sdt"),
    ("content_type", bytearray(b"x"), "x"), ("content_type", "\u00e9", "\u00e9"),
    ("cos", 1, 1), ("cos", 3, 3), ("cos", 4294967295, 4294967295), ("cos", 0, 0),
    ("body", b"a\x00b", b"a\x00b"), ("body", b"", b""),
])
def test_round_trip(m, name, value, expected):
    setattr(m, name, value)
    got = getattr(m, name)
    assert (got == expected and type(got) is type(expected)) or isinstance(got, DeliveryMode)


class Truthy:
    def __bool__(self):
        return True


def test_objects_with_a_truth_slot_are_accepted(m):
    m.is_reply = Truthy()
    assert m.is_reply is True


@pytest.mark.parametrize("name, value", [
    ("dest", None), ("dest", "t"), ("reply2", None), ("reply2", ("t", 0)),
    ("is_reply", "yes"), ("is_reply", []), ("elide", {}),
    ("delivery_mode", 16), ("delivery_mode", None), ("delivery_mode", DestinationType.Queue),
    ("content_type", None), ("content_type", 5),
    ("cos", -1), ("cos", 2**32), ("cos", 1.0), ("cos", "1"), ("cos", None),
    ("json", []), ("json", None), ("msgpack", [1]), ("msgpack", "x"),
    ("body", bytearray(b"x")), ("body", "x"), ("body", None), ("body", memoryview(b"x")),
])
def test_refused_values_change_nothing(m, name, value):
    before = repr(m)
    with pytest.raises(TypeError):
        setattr(m, name, value)
    assert repr(m) == before


def test_cos_accepts_index_objects(m):
    class Three:
        def __index__(self):
            return 3
    m.cos = Three()
    assert m.cos == 3


@pytest.mark.parametrize("name", ["dest", "reply2"])
def test_destinations_are_copies(m, name):
    given = Destination("a/b", DestinationType.Queue)
    setattr(m, name, given)
    given.dest = "changed"
    read = getattr(m, name)
    read.dest, read.dest_type = "also changed", DestinationType.Topic
    again = getattr(m, name)
    assert (again.dest, again.dest_type) == ("a/b", DestinationType.Queue)
    assert again is not read


def test_destination_subclass_is_accepted(m):
    class Mine(Destination):
        pass
    m.dest = Mine("sub/class")
    assert type(m.dest) is Destination and m.dest.dest == "sub/class"


def test_unlisted_delivery_mode_reads_as_a_new_instance(m):
    m.delivery_mode = DeliveryMode(16)
    first, second = m.delivery_mode, m.delivery_mode
    assert first == tolvex.Persistent and first is not second


@pytest.mark.parametrize("dest, reply2, is_reply, is_request, is_p2p", [
    ("t", None, False, False, False),
    ("t", "r", False, True, False),
    ("t", "r", True, False, False),
    ("#P2P/v:x", None, False, False, True),
    ("#P2P", "r", False, True, True),
    ("#p2p/x", None, False, False, False),
    ("x#P2P", None, False, False, False),
])
def test_request_and_p2p(m, dest, reply2, is_reply, is_request, is_p2p):
    m.dest = Destination(dest)
    if reply2:
        m.reply2 = Destination(reply2)
    m.is_reply = is_reply
    assert (m.is_request, m.is_p2p) == (is_request, is_p2p)


def test_body_leaves_content_type(m):
    m.content_type = "sdt"
    m.body = b"raw"
    assert m.content_type == "sdt"


def test_invalid_utf8_content_type_raises(m):
    m.content_type = b"\xff"
    with pytest.raises(UnicodeDecodeError):
        m.content_type


_LYING_BYTES = []  # kept for the whole run: their size fields lie


def lying_bytes(size):
    """A small bytes object whose size field claims `size`; only its size may be looked at."""
    import ctypes
    fake = bytes(8)
    ctypes.c_ssize_t.from_address(id(fake) + 2 * ctypes.sizeof(ctypes.c_ssize_t)).value = size
    _LYING_BYTES.append(fake)
    return fake


def test_body_of_4_gib_is_refused_before_anything_changes(m):
    m.body = b"kept"
    with pytest.raises(ValueError, match="4294967295"):
        m.body = lying_bytes(2**32)
    assert (m.body, m.content_type) == (b"kept", "")


def test_encoded_body_of_4_gib_is_refused_before_anything_changes(python_subprocess):
    out = run(python_subprocess, """
        import ctypes, orjson, tolvex
        huge = bytes(8)
        ctypes.c_ssize_t.from_address(id(huge) + 2 * ctypes.sizeof(ctypes.c_ssize_t)).value = 2**32
        orjson.dumps = lambda d: huge
        m = tolvex.Tolvex(); m.body = b'kept'
        try:
            m.json = {}
        except ValueError:
            print('refused', m.body, repr(m.content_type))
        import os, sys; sys.stdout.flush(); os._exit(0)  # the lying object must never be freed
    """)
    assert out.strip() == "refused b'kept' ''"


# --- JSON and MessagePack bodies -------------------------------------------------------------------

DOC = {"id": 7, "name": "caf\u00e9", "tags": ["a", "b"], "nested": {"x": 1.5, "ok": True, "none": None}}


def test_json_round_trip(m):
    m.json = DOC
    assert m.content_type == "json"
    assert m.body == orjson.dumps(DOC)
    assert m.json == DOC


def test_msgpack_round_trip(m):
    m.msgpack = DOC
    assert m.content_type == "msgpack"
    assert m.body == msgpack.dumps(DOC)
    assert m.msgpack == DOC


@pytest.mark.parametrize("body, expected", [
    (b'{"a": 1}', {"a": 1}),
    (b"[]", {}),
    (b'[["a", 1], ["b", 2]]', {"a": 1, "b": 2}),
])
def test_json_reader_shapes(m, body, expected):
    m.body = body
    assert m.json == expected


@pytest.mark.parametrize("body, error", [(b"5", TypeError), (b"[1, 2]", TypeError), (b"", orjson.JSONDecodeError),
                                         (b'[["a"]]', ValueError)])
def test_json_reader_errors(m, body, error):
    m.body = body
    with pytest.raises(error):
        m.json


@pytest.mark.parametrize("value, expected", [
    ([1, 2], {"content": [1, 2]}),
    ("text", {"content": "text"}),
    (b"raw", {"content": b"raw"}),
    ({"k": [1]}, {"k": [1]}),
])
def test_msgpack_reader_shapes(m, value, expected):
    m.body = msgpack.dumps(value)
    assert m.msgpack == expected


def test_msgpack_reader_refuses_scalars(m):
    m.body = msgpack.dumps(5)
    with pytest.raises(TypeError):
        m.msgpack


@pytest.mark.parametrize("name", ["json", "msgpack"])
def test_unencodable_dict_changes_nothing(m, name):
    m.content_type = "sdt"
    m.body = b"old"
    with pytest.raises(TypeError):
        setattr(m, name, {"s": {1, 2}})
    assert (m.content_type, m.body) == ("sdt", b"old")


def test_json_accepts_a_dict_subclass(m):
    class D(dict):
        pass
    m.json = D(a=1)
    assert m.json == {"a": 1}


def test_nan_is_encoded_as_orjson_does(m):
    m.json = {"x": math.nan}
    assert m.json == {"x": None}


# --- The codec cache, in fresh interpreters --------------------------------------------------------

def run(python_subprocess, code):
    result = python_subprocess(textwrap.dedent(code))
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_import_loads_no_codec(python_subprocess):
    out = run(python_subprocess, """
        import sys, tolvex
        m = tolvex.Tolvex(); m.body = b'x'; m.cos = 2; repr(m)
        print('orjson' in sys.modules, 'msgpack' in sys.modules)
        m.json = {}
        print('orjson' in sys.modules, 'msgpack' in sys.modules)
    """)
    assert out.split() == ["False", "False", "True", "False"]


def test_missing_package_raises_and_a_later_use_retries(python_subprocess):
    out = run(python_subprocess, """
        import sys, tolvex
        sys.modules['orjson'] = None  # hides the package
        m = tolvex.Tolvex()
        for attempt in range(2):
            try:
                m.json = {'a': 1}
            except ModuleNotFoundError as e:
                print('missing')
        m.msgpack = {'b': 2}; print(m.msgpack == {'b': 2}); m.body = b'ok'; print(m.body)
        del sys.modules['orjson']
        m.json = {'a': 1}; print(m.json)
    """)
    assert out.split("\n")[:5] == ["missing", "missing", "True", "b'ok'", "{'a': 1}"]


def test_replaced_codec_is_not_seen_after_first_use(python_subprocess):
    out = run(python_subprocess, """
        import orjson, tolvex
        m = tolvex.Tolvex(); m.json = {'a': 1}; m.json
        orjson.loads = lambda b: {'replaced': True}
        orjson.dumps = lambda d: b'{}'
        m.json = {'b': 2}; print(m.json)
    """)
    assert out.strip() == "{'b': 2}"


def test_dumps_returning_non_bytes_is_refused(python_subprocess):
    out = run(python_subprocess, """
        import orjson, tolvex
        orjson.dumps = lambda d: 'text'
        m = tolvex.Tolvex(); m.body = b'old'
        try:
            m.json = {'a': 1}
        except TypeError as e:
            print(e)
        print(m.body, repr(m.content_type))
    """)
    assert out.split("\n")[:2] == ["Object of type 'str' is not an instance of 'bytes'", "b'old' ''"]


def test_raising_codec_passes_its_exception_through(python_subprocess):
    out = run(python_subprocess, """
        import msgpack, tolvex
        class Boom(Exception): pass
        def loads(b, raw): raise Boom('no')
        msgpack.loads = loads
        m = tolvex.Tolvex(); m.body = b'x'; m.content_type = 'msgpack'
        try:
            m.msgpack
        except Boom as e:
            print('Boom', e)
    """)
    assert out.strip() == "Boom no"


def test_racing_first_uses_neither_deadlock_nor_leak(python_subprocess):
    # A slow import lets the other threads reach the empty slot while it is being filled.
    out = run(python_subprocess, """
        import sys, threading, time, importlib.abc, importlib.machinery
        class Slow(importlib.abc.MetaPathFinder):
            def find_spec(self, name, path, target=None):
                if name == 'orjson':
                    time.sleep(0.2)
                return None
        sys.meta_path.insert(0, Slow())
        import tolvex
        results, barrier = [], threading.Barrier(8)
        def use():
            barrier.wait()
            m = tolvex.Tolvex(); m.json = {'t': 1}; results.append(m.json)
        threads = [threading.Thread(target=use) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join(30)
        print(len(results), all(r == {'t': 1} for r in results))
        import orjson
        print(sys.getrefcount(orjson.loads) < 10)
    """)
    assert out.split() == ["8", "True", "True"]


# --- A failed allocation, as a Python user sees it -------------------------------------------------

def test_failed_allocation_logs_one_line_and_still_makes_the_object(capfd):
    import ctypes
    import pathlib
    import re
    library = next(pathlib.Path(tolvex.__file__).parent.glob("libsolclient*"))
    ctypes.CDLL(str(library)).solClientTest_failNextAlloc(b"no message memory left")
    m = Tolvex()
    out, _ = capfd.readouterr()
    assert re.fullmatch(r"\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[error\] \[tolvex\.cpp:51\] "
                        r"Tolvex alloc failed, error: no message memory left\n", out), out
    assert (repr(m), m.body, m.cos, m.content_type) == ("", b"", 1, "")
    m.json = {"a": 1}  # no message: nothing is stored, nothing crashes
    assert m.body == b""


def test_repr_of_any_text_decodes(m):
    # The dump escapes bytes outside printable ASCII, so neither odd text nor a cut at the dump's
    # size limit can make it undecodable.
    m.dest = Destination("caf\u00e9")
    m.content_type = b"\xff'"
    text = repr(m)
    assert "'caf\\xc3\\xa9'" in text and "'\\xff\\x27'" in text
    m.content_type = "\u00e9" * 3000
    assert len(repr(m)) == 4095
