"""Hostile input: every property of Tolvex and every container conversion given values built to
break them. Each gives a clear exception of the stated type, and the message stays usable. Run under
the sanitizers by ./dev check, these also catch memory faults that a release build hides."""

import gc
import math

import msgpack
import orjson
import pytest

from tolvex import DeliveryMode, Destination, DestinationType, Tolvex

try:
    import _tolvex_testing as tt
except ImportError:  # the test-only module is not built
    tt = None

needs_testing = pytest.mark.skipif(tt is None, reason="needs the test-only module _tolvex_testing")
STRING, MAP, STREAM = 10, 14, 15
DEEP = 100_000


def nested_dict(depth):
    d = {}
    for _ in range(depth):
        d = {"a": d}
    return d


def nested_list(depth):
    x = []
    for _ in range(depth):
        x = [x]
    return x


@pytest.fixture
def m():
    return Tolvex()


def assert_usable(m):
    """The message still takes and gives a body of each kind, and prints."""
    m.body = b"after"
    assert m.body == b"after"
    m.json = {"ok": [1]}
    assert m.json == {"ok": [1]}
    m.msgpack = {"ok": 2}
    assert m.msgpack == {"ok": 2}
    assert isinstance(repr(m), str)


class Unprintable:
    def __str__(self):
        raise RuntimeError("no str")

    __repr__ = __str__


class FailingIndex:
    def __index__(self):
        raise RuntimeError("no index")


class FailingBool:
    def __bool__(self):
        raise RuntimeError("no bool")


# --- Properties ------------------------------------------------------------------------------------

NOT_DESTINATIONS = [None, "t", b"t", 1, ("t", 0), {}, DeliveryMode.Direct, object()]
NOT_FLAGS = ["yes", b"x", [], (), {}, object(), Unprintable(), Destination("d")]
NOT_DICTS = [None, [], [("a", 1)], "x", b"{}", 1, object()]
WRONG_TYPES = {
    "dest": NOT_DESTINATIONS, "reply2": NOT_DESTINATIONS, "is_reply": NOT_FLAGS, "elide": NOT_FLAGS,
    "delivery_mode": [None, 16, 1.5, "Direct", DestinationType.Queue, object()],
    "content_type": [None, 5, 1.5, [], ("a",), object(), Unprintable()],
    "cos": [None, 1.5, float("nan"), "1", b"1", [], object()],
    "json": NOT_DICTS, "msgpack": NOT_DICTS,
    "body": [None, "x", bytearray(b"x"), memoryview(b"x"), 1, [], object()],
}


@pytest.mark.parametrize("name, value", [(n, v) for n, vs in WRONG_TYPES.items() for v in vs],
                         ids=lambda x: x if isinstance(x, str) else type(x).__name__)
def test_wrong_types_raise_type_error(m, name, value):
    before = repr(m)
    with pytest.raises(TypeError):
        setattr(m, name, value)
    assert repr(m) == before
    assert_usable(m)


@pytest.mark.parametrize("name", ["is_request", "is_p2p"])
@pytest.mark.parametrize("value", [True, None, "x"])
def test_read_only_properties_refuse_any_value(m, name, value):
    with pytest.raises(AttributeError):
        setattr(m, name, value)
    assert_usable(m)


@pytest.mark.parametrize("name, value, error", [
    ("content_type", "\ud800", TypeError),
    ("content_type", "a\udfffb", TypeError),
    ("cos", -1, TypeError),
    ("cos", 2**32, TypeError),
    ("cos", 2**64, TypeError),
    ("cos", FailingIndex(), TypeError),
    ("is_reply", FailingBool(), TypeError),
    ("elide", FailingBool(), TypeError),
], ids=["ct-surrogate", "ct-inner-surrogate", "cos-1", "cos2**32", "cos2**64", "cos-failing-index",
        "is_reply-failing-bool", "elide-failing-bool"])
def test_values_out_of_range_raise(m, name, value, error):
    m.cos = 2
    before = repr(m)
    with pytest.raises(error):
        setattr(m, name, value)
    assert repr(m) == before
    assert_usable(m)


@pytest.mark.parametrize("make, error", [
    (lambda: DeliveryMode(-1), TypeError),
    (lambda: DeliveryMode(2**32), TypeError),
    (lambda: DestinationType(2**31), TypeError),
    (lambda: DestinationType(-(2**31) - 1), TypeError),
    (lambda: DeliveryMode("Direct"), TypeError),
    (lambda: Destination("\ud800"), TypeError),
    (lambda: Destination("x", 1), TypeError),
    (lambda: Destination("x", DeliveryMode.Direct), TypeError),
    (lambda: Destination(None), TypeError),
], ids=["mode-1", "mode2**32", "type2**31", "type-2**31-1", "mode-str", "name-surrogate",
        "type-int", "type-mode", "name-none"])
def test_enumerations_and_destinations_refuse_bad_values(make, error):
    with pytest.raises(error):
        make()


@pytest.mark.parametrize("name", ["dest", "reply2"])
@pytest.mark.parametrize("value", [2**31 - 1, -(2**31), 99], ids=repr)
def test_unlisted_destination_types_are_carried_as_given(m, name, value):
    setattr(m, name, Destination("q", DestinationType(value)))
    assert getattr(m, name).dest_type == value
    assert_usable(m)


@pytest.mark.parametrize("name", ["dest", "reply2"])
def test_destination_names_of_any_text(m, name):
    text = "\u00e9\U0001F600/" + "x" * 10_000
    setattr(m, name, Destination(text))
    assert getattr(m, name).dest == text
    # An embedded NUL ends the name on the library side.
    setattr(m, name, Destination("a\x00b"))
    assert getattr(m, name).dest == "a"
    assert_usable(m)


@pytest.mark.parametrize("name", ["dest", "reply2"])
def test_invalid_utf8_destination_name_raises_on_read_and_recovers(m, name):
    d = Destination(b"\xff\xfe")  # bytes are taken as they are
    with pytest.raises(UnicodeDecodeError):
        d.dest
    setattr(m, name, d)
    with pytest.raises(UnicodeDecodeError):
        getattr(m, name).dest
    setattr(m, name, Destination("fine"))
    assert getattr(m, name).dest == "fine"
    assert_usable(m)


def test_invalid_utf8_content_type_raises_on_read_and_recovers(m):
    m.content_type = b"\xc3\x28"
    with pytest.raises(UnicodeDecodeError):
        m.content_type
    m.content_type = "json"
    assert m.content_type == "json"
    assert_usable(m)


# --- Bodies ----------------------------------------------------------------------------------------

@pytest.mark.parametrize("value, expected", [
    ({"x": float("nan")}, {"x": None}),
    ({"x": float("inf"), "y": -math.inf}, {"x": None, "y": None}),
])
def test_json_non_finite_numbers_become_null(m, value, expected):
    m.json = value
    assert m.json == expected


def test_msgpack_carries_nan_and_infinities(m):
    m.msgpack = {"x": float("nan"), "y": -math.inf}
    got = m.msgpack
    assert math.isnan(got["x"]) and got["y"] == -math.inf


@pytest.mark.parametrize("kind, value, error", [
    ("json", {"\ud800": 1}, TypeError),
    ("json", {"a": "\udfff"}, TypeError),
    ("json", {1: 1}, TypeError),
    ("json", {"a": 2**64}, TypeError),
    ("json", {"a": object()}, TypeError),
    ("json", {"a": Unprintable()}, TypeError),
    ("msgpack", {"a": "\ud800"}, UnicodeEncodeError),
    ("msgpack", {"a": 2**64}, OverflowError),
    ("msgpack", {"a": -(2**63) - 1}, OverflowError),
    ("msgpack", {"a": object()}, TypeError),
    ("json", nested_dict(DEEP), TypeError),             # orjson: recursion limit
    ("json", {"a": nested_list(DEEP)}, TypeError),
    ("msgpack", nested_dict(DEEP), ValueError),         # msgpack: recursion limit exceeded
    ("msgpack", {"a": nested_list(DEEP)}, ValueError),
], ids=lambda v: v if isinstance(v, str) else type(v).__name__)
def test_unencodable_bodies_raise_and_change_nothing(m, kind, value, error):
    m.body = b"kept"
    with pytest.raises(error):
        setattr(m, kind, value)
    assert (m.body, m.content_type) == (b"kept", "")
    assert_usable(m)


@pytest.mark.parametrize("kind, body, error", [
    ("json", b"\xff\xfe", orjson.JSONDecodeError),
    ("json", b'{"a": "\xed\xa0\x80"}', orjson.JSONDecodeError),    # an encoded lone surrogate
    ("json", b"[" * DEEP + b"]" * DEEP, orjson.JSONDecodeError),    # orjson: depth > 1024
    ("json", b'{"a": 1', orjson.JSONDecodeError),
    ("json", b"", orjson.JSONDecodeError),
    ("json", b"[1, 2]", (TypeError, ValueError)),                   # no dict
    ("json", b"7", TypeError),
    ("msgpack", b"\x91" * DEEP + b"\xc0", ValueError),              # msgpack: StackError
    ("msgpack", b"\xc1", ValueError),
    ("msgpack", b"\x92\x01", ValueError),
    ("msgpack", b"\xa2\xff\xfe", ValueError),                       # invalid UTF-8 text
    ("msgpack", msgpack.packb(7), TypeError),
    ("msgpack", msgpack.packb(None), TypeError),
    ("msgpack", b"", ValueError),
], ids=["json-bad-utf8", "json-surrogate", "json-deep", "json-truncated", "json-empty", "json-list",
        "json-int", "msgpack-deep", "msgpack-reserved", "msgpack-truncated", "msgpack-bad-utf8",
        "msgpack-int", "msgpack-nil", "msgpack-empty"])
def test_undecodable_bodies_raise(m, kind, body, error):
    m.content_type = kind
    m.body = body
    with pytest.raises(error):
        getattr(m, kind)
    assert m.body == body
    assert_usable(m)


# --- Hostile containers ----------------------------------------------------------------------------

class FailingIterDict(dict):
    def __iter__(self):
        raise RuntimeError("iter")

    def keys(self):
        raise RuntimeError("keys")

    def items(self):
        raise RuntimeError("items")


class FailingGetitemDict(dict):
    def __getitem__(self, key):
        raise KeyError(key)


class HalfIterList(list):
    """A list whose iterator raises after the first element."""

    def __iter__(self):
        yield self[0]
        raise RuntimeError("half")


class HalfSequence:
    """A sequence (no list) whose items raise half-way."""

    def __len__(self):
        return 4

    def __getitem__(self, i):
        if i >= 2:
            raise RuntimeError("half")
        return i


class BadHashKey(str):
    def __hash__(self):
        raise RuntimeError("hash")


class BadEqKey(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise RuntimeError("eq")


@pytest.mark.parametrize("kind", ["json", "msgpack"])
@pytest.mark.parametrize("value", [FailingIterDict(a=1), FailingGetitemDict(a=1),
                                   {BadEqKey("k"): 1}], ids=["failing-iter", "failing-getitem", "bad-eq-key"])
def test_dict_subclasses_as_bodies(m, kind, value):
    # The encoders read dicts at the C level (orjson) or through items() (msgpack): either the body
    # is the dict's own contents or the encoder's error is raised. Never anything half-written.
    m.body = b"kept"
    try:
        setattr(m, kind, value)
    except (RuntimeError, TypeError):
        assert (m.body, m.content_type) == (b"kept", "")
    else:
        assert getattr(m, kind) == {"a": 1} or getattr(m, kind) == {"k": 1}
    assert_usable(m)


def test_keys_that_fail_to_hash_cannot_even_be_stored():
    with pytest.raises(RuntimeError, match="hash"):
        {BadHashKey("k"): 1}


@pytest.mark.parametrize("kind", ["json", "msgpack"])
def test_sequence_iterator_raising_half_way_in_a_body(m, kind):
    m.body = b"kept"
    try:
        setattr(m, kind, {"s": HalfIterList([1, 2, 3])})
    except RuntimeError:
        assert m.body == b"kept"
    else:
        assert getattr(m, kind) == {"s": [1, 2, 3]}  # orjson reads lists at the C level
    assert_usable(m)


# --- Container conversions (the test-only module) ---------------------------------------------------

@needs_testing
@pytest.mark.parametrize("value, error", [
    (nested_dict(DEEP), RecursionError),
    ({"a": nested_list(DEEP)}, RecursionError),
    ({"s": HalfIterList([1, 2])}, RuntimeError),
    ({"s": HalfSequence()}, RuntimeError),
    ({"\ud800": 1}, RuntimeError),
    ({"a": "\udfff"}, RuntimeError),
    ({"a": 2**64}, RuntimeError),
    ({"a": -(2**63) - 1}, RuntimeError),
    ({"a": [1, 2**64]}, RuntimeError),
], ids=["deep-dict", "deep-list", "half-iter", "half-sequence", "surrogate-key", "surrogate-value",
        "int-over", "int-under", "int-over-in-list"])
def test_write_dict_raises(value, error):
    containers = tt.live_containers()
    with pytest.raises(error):
        tt.write_dict(value)
    with pytest.raises(error):
        tt.round_trip(value)
    assert tt.live_containers() == containers


@needs_testing
@pytest.mark.parametrize("value, expected", [
    (FailingIterDict(a=1), [("a", 8, 1)]),
    (FailingGetitemDict(a=1), [("a", 8, 1)]),
    ({"m": FailingIterDict(a=1)}, [("m", MAP, [("a", 8, 1)])]),
    ({BadEqKey("k"): 1}, [("k", 8, 1)]),
], ids=["failing-iter", "failing-getitem", "nested-failing-iter", "bad-eq-key"])
def test_write_dict_reads_dicts_at_the_c_level(value, expected):
    assert tt.write_dict(value) == expected


@needs_testing
def test_dict_emptied_while_its_value_is_converted():
    # The value being converted loses its last reference in the dict half-way: under the
    # sanitizers a borrowed reference used after that is a use-after-free.
    outer = {}

    class Clearing(list):
        def __iter__(self):
            outer.clear()
            gc.collect()
            yield from (1, 2)

    outer["a"] = Clearing([1, 2])
    outer["b"] = 5
    try:
        result = tt.write_dict(outer)
    except RuntimeError:
        return  # "dictionary changed size during iteration" is as good an answer
    assert result[0] == ("a", STREAM, [(None, 8, 1), (None, 8, 2)])


@needs_testing
def test_dict_growing_while_converted():
    outer = {}

    class Growing(list):
        def __iter__(self):
            for i in range(200):  # far past a resize of the dict's table
                outer[f"k{i}"] = i
            yield 1

    outer["a"] = Growing([1])
    outer["b"] = 5
    try:
        result = tt.write_dict(outer)
    except RuntimeError:
        return
    names = [name for name, _, _ in result]
    assert names[:2] == ["a", "b"] and len(names) == len(set(names))


@needs_testing
def test_list_emptied_by_its_own_iterator():
    class SelfClearing(list):
        def __iter__(self):
            self.clear()
            gc.collect()
            yield 1

    assert tt.write_dict({"s": SelfClearing([object(), object()])}) == [("s", STREAM, [(None, 8, 1)])]


@needs_testing
@pytest.mark.parametrize("read", [
    lambda: tt.read_map([(b"\xff", STRING, "x")]),
    lambda: tt.read_map([("k", STRING, b"\xc3\x28")]),
    lambda: tt.read_map([("k", STRING, b"\xed\xa0\x80")]),       # an encoded lone surrogate
    lambda: tt.read_stream([(None, STRING, b"\xff")]),
    lambda: tt.read_map([("m", MAP, [("k", STRING, b"\xff")])]),
], ids=["key", "value", "surrogate", "in-stream", "nested"])
def test_invalid_utf8_read_raises(read):
    with pytest.raises(UnicodeDecodeError):
        read()


@needs_testing
@pytest.mark.parametrize("data", [
    b"", b"\xd1", b"\xd1\x05\x00\x00", b"\xd2\x05\x00\x00\x00", b"\xd1\x06\x00\x00\x00\x00",
    b"\xd1\x0a\x00\x00\x00\x0a\x01\x00a\x00", b"\xd1\xff\xff\xff\xff", b"\x00" * 64,
], ids=repr)
def test_malformed_attachment_maps_raise_value_error(data):
    with pytest.raises(ValueError, match="attachment is no map"):
        tt.read_attachment_map(data)


@needs_testing
def test_maps_nested_far_past_the_recursion_limit_raise_recursion_error():
    with pytest.raises(RecursionError):
        tt.read_attachment_map(tt.nested_map_bytes(DEEP))


needs_whole_message = pytest.mark.skipif(tt is None or not hasattr(tt, "to_dict"),
                                         reason="needs to_dict/from_dict in _tolvex_testing")


@needs_whole_message
@pytest.mark.parametrize("kind, value, error", [
    ("json", nested_dict(DEEP), TypeError),
    ("bytes/json", nested_dict(DEEP), TypeError),
    ("msgpack", nested_dict(DEEP), ValueError),
    ("json", {"a": "\ud800"}, TypeError),
    ("bytes/json", {1: 2}, TypeError),
    ("msgpack", {"a": 2**64}, OverflowError),
], ids=["json-deep", "bytes-json-deep", "msgpack-deep", "json-surrogate", "bytes-json-int-key",
        "msgpack-int-over"])
def test_from_dict_raises(m, kind, value, error):
    with pytest.raises(error):
        tt.from_dict(m, value, kind)
    assert_usable(m)


@needs_whole_message
@pytest.mark.parametrize("content_type, body, error", [
    ("sdt", lambda: tt.nested_map_bytes(DEEP), RecursionError),
    ("sdt", lambda: tt.encode_map([("k", STRING, b"\xff")]), UnicodeDecodeError),
    ("bytes/json", lambda: tt.encode_map([("bytes/json", STRING, "[" * DEEP)]), orjson.JSONDecodeError),
    ("sdt", lambda: tt.encode_map([("bytes", STRING, b"\xff")]), UnicodeDecodeError),
], ids=["deep-map", "bad-utf8", "deep-json-text", "bad-utf8-json-text"])
def test_to_dict_raises(m, content_type, body, error):
    m.content_type = content_type
    m.body = body()
    with pytest.raises(error):
        tt.to_dict(m)
    assert_usable(m)
