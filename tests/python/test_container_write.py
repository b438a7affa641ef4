"""Writing Python dicts into structured containers, and reading them back."""

import enum
import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _tolvex_testing as tt

BOOL, I64, STRING, DOUBLE, MAP, STREAM = 0, 8, 10, 13, 14, 15  # field type codes


@pytest.fixture
def no_leaks():
    """Checks that the test closes every container handle it opens."""
    before = tt.live_containers()
    yield
    assert tt.live_containers() == before


class Colour(enum.IntEnum):
    RED = 7


def ints(*values):
    return [(None, I64, v) for v in values]


@pytest.mark.parametrize(
    ("value", "code", "stored"),
    [
        pytest.param(True, BOOL, 1, id="true"),
        pytest.param(False, BOOL, 0, id="false"),
        pytest.param(1, I64, 1, id="int"),
        pytest.param(-(2**63), I64, -(2**63), id="int-min"),
        pytest.param(2**63 - 1, I64, 2**63 - 1, id="int-max"),
        pytest.param(Colour.RED, I64, 7, id="int-subclass"),
        pytest.param(1.5, DOUBLE, 1.5, id="float"),
        pytest.param(math.inf, DOUBLE, math.inf, id="inf"),
        pytest.param("héllo ☺", STRING, "héllo ☺", id="str"),
        pytest.param("", STRING, "", id="str-empty"),
        pytest.param(b"\x01\x02", STREAM, ints(1, 2), id="bytes-as-ints"),
        pytest.param(bytearray(b"\xff"), STREAM, ints(255), id="bytearray-as-ints"),
        pytest.param((1, "a"), STREAM, [(None, I64, 1), (None, STRING, "a")], id="tuple"),
        pytest.param([True, 2.5], STREAM, [(None, BOOL, 1), (None, DOUBLE, 2.5)], id="list"),
        pytest.param([[1], 2], STREAM, [(None, STREAM, ints(1)), (None, I64, 2)], id="list-in-list"),
        pytest.param([{"x": 1}], STREAM, [(None, MAP, [("x", I64, 1)])], id="dict-in-list"),
        pytest.param([], STREAM, [], id="list-empty"),
        pytest.param({"x": 1, "y": [2]}, MAP, [("x", I64, 1), ("y", STREAM, ints(2))], id="dict"),
        pytest.param({}, MAP, [], id="dict-empty"),
    ],
)
def test_value_types(value, code, stored, no_leaks):
    assert tt.write_dict({"k": value}) == [("k", code, stored)]


def test_entries_keep_iteration_order():
    assert tt.write_dict({"b": 1, "a": 2, "c": 3}) == [("b", I64, 1), ("a", I64, 2), ("c", I64, 3)]


def test_writing_gives_bytes_keys_no_special_meaning():
    assert tt.write_dict({"bytes_x": b"ab"}) == [("bytes_x", STREAM, ints(97, 98))]


@pytest.mark.parametrize(
    ("key", "name"), [(b"k", "k"), ("é", "é"), ("", "")]
)
def test_text_keys(key, name):
    assert tt.write_dict({key: 1}) == [(name, I64, 1)]


@pytest.mark.parametrize("key", [1, 1.5, (1,), None], ids=repr)
def test_other_keys_raise(key):
    with pytest.raises(RuntimeError):
        tt.write_dict({key: 1})


@pytest.mark.parametrize(
    "d",
    [
        pytest.param({"k": 2**63}, id="int-too-big"),
        pytest.param({"k": -(2**63) - 1}, id="int-too-small"),
        pytest.param({"k": [1, 2**64]}, id="in-a-list"),
        pytest.param({"k": "\ud800"}, id="lone-surrogate-value"),
        pytest.param({"\udfff": 1}, id="lone-surrogate-key"),
        pytest.param({"m": {1: 1}}, id="nested-key"),
    ],
)
def test_unconvertible_values_raise_runtime_error(d, no_leaks):
    with pytest.raises(RuntimeError):
        tt.write_dict(d)


def test_entries_before_an_error_stay():
    error, kept = tt.write_dict_partial({"a": 1, "b": 2**63, "c": 3})
    assert isinstance(error, RuntimeError)
    assert kept == [("a", I64, 1)]


@pytest.mark.parametrize(
    ("d", "key_shown", "stored"),
    [
        pytest.param({"a": 1, "x": None, "c": 2}, "x", [("a", I64, 1), ("c", I64, 2)], id="none"),
        pytest.param({"x": {1, 2}}, "x", [], id="set"),
        pytest.param({"x": 1j}, "x", [], id="complex"),
        pytest.param({"x": object()}, "x", [], id="object"),
        pytest.param({"l": [1, None, 2]}, "None", [("l", STREAM, ints(1, 2))], id="list-element"),
    ],
)
def test_unsupported_values_are_reported_and_left_out(d, key_shown, stored, c_stdout):
    assert tt.write_dict(d) == stored
    assert c_stdout() == f"Key: {key_shown} value type not support\n"


@pytest.mark.parametrize(
    "d",
    [
        pytest.param({"a\x00b": 1}, id="str-key"),
        pytest.param({b"a\x00": 1}, id="bytes-key"),
        pytest.param({"k": "x\x00y"}, id="str-value"),
        pytest.param({"l": ["ok", "x\x00"]}, id="value-in-list"),
        pytest.param({"m": {"k\x00": 1}}, id="key-in-nested-dict"),
    ],
)
def test_nul_characters_raise(d, no_leaks):
    with pytest.raises(ValueError, match="embedded null character"):
        tt.write_dict(d)


def test_nul_entry_adds_nothing():
    error, kept = tt.write_dict_partial({"a": 1, "k": "x\x00y", "z": 2})
    assert isinstance(error, ValueError)
    assert kept == [("a", I64, 1)]


def test_overlong_key_raises():
    with pytest.raises(ValueError, match="longer than 65535"):
        tt.write_dict({"m": {"k" * 65536: 1}})
    assert tt.write_dict({"k" * 65535: 1}) == [("k" * 65535, I64, 1)]


class TestGrowth:
    """Nested containers start small and grow; nothing is lost whatever their size."""

    def test_large_nested_dict(self, no_leaks):
        inner = {f"key{i:05d}": f"value {i}" for i in range(5000)}
        assert tt.round_trip({"m": inner}) == {"m": inner}

    def test_growing_keeps_field_order(self):
        inner = {f"key{i:05d}": i for i in range(5000)} | {"k": "first", b"k": "second"}
        assert tt.round_trip({"m": inner})["m"]["k"] == "second"

    def test_large_list(self, no_leaks):
        strings = [f"string number {i}" for i in range(20_000)]
        assert tt.round_trip({"l": strings}) == {"l": strings}

    def test_large_list_of_every_written_type(self, no_leaks):
        elements = [True, -1, 2.5, "s", {"k": [1]}] * 5000
        assert tt.round_trip({"l": elements}) == {"l": [1, -1, 2.5, "s", {"k": [1]}] * 5000}

    def test_large_content_several_levels_down(self, no_leaks):
        d = {"a": {"b": [{"c": ["x" * 100] * 2000}, {"d": "y" * 200_000}]}}
        assert tt.round_trip(d) == d

    def test_top_level_without_room_raises_naming_the_key(self, no_leaks):
        error, kept = tt.write_dict_partial({"a": 1, "big": "x" * 1000}, size=64)
        assert isinstance(error, BufferError)
        assert "'big'" in str(error)
        assert kept == [("a", I64, 1)]

    def test_nested_container_without_room_at_top_level(self, no_leaks):
        with pytest.raises(BufferError, match="'nest'"):
            tt.write_dict({"small": 1, "nest": {"x": "y" * 500}}, size=128)


@pytest.mark.parametrize(
    ("d", "expected"),
    [
        ({"a": 1, "bytes_json": "{}"}, (130, b"bytes_json", b"{}")),
        ({"bytesA": "x", "bytesB": "yy"}, (129, b"bytesA", b"x")),
        ({}, (0, b"", b"")),
        ({"a": "x", "byte": "y"}, (0, b"", b"")),
        ({"a": 5, "bytes": b"\x00\xff"}, (130, b"bytes", b"\x00\xff")),
        ({b"bytes_k": bytearray(b"abc")}, (131, b"bytes_k", b"abc")),
        ({"bytes_é": "é"}, (130, "bytes_é".encode(), "é".encode())),
    ],
)
def test_get_bytes_string(d, expected):
    assert tt.get_bytes_string(d) == expected


@pytest.mark.parametrize("d", [{"bytes": 5}, {1: "x", "bytes": "y"}, {"bytes": None}])
def test_get_bytes_string_raises_for_non_text(d):
    with pytest.raises(RuntimeError):
        tt.get_bytes_string(d)


@pytest.mark.parametrize(
    ("d", "expected"),
    [
        ({"b": True, "a": [1, [2, 3]]}, {"a": [1, 2, 3], "b": 1}),
        ({"bytes_x": "ab", "x": "ab"}, {"bytes_x": b"ab", "x": "ab"}),
        ({"m": {"bytes_y": "z"}}, {"m": {"bytes_y": b"z"}}),
        ({"l": [{"bytes_q": "r"}, "bytes_s"]}, {"l": [{"bytes_q": b"r"}, "bytes_s"]}),
        ({"k": 1, b"k": 2}, {"k": 2}),
        ({"t": ((1,), [], [[2]])}, {"t": [1, 2]}),
    ],
)
def test_round_trip(d, expected):
    assert tt.round_trip(d) == expected


def nested(depth, make):
    value = None
    for _ in range(depth):
        value = make(value)
    return value


def dicts(inner):
    return {"a": {} if inner is None else inner}


def lists(inner):
    return [[] if inner is None else inner]


def dicts_in_lists(inner):
    return [{"a": 1 if inner is None else inner}]


@pytest.mark.parametrize(
    ("make", "flattened"), [(dicts, False), (lists, True), (dicts_in_lists, False)]
)
def test_moderate_nesting_round_trips(make, flattened):
    d = {"top": nested(200, make)}
    assert tt.round_trip(d) == ({"top": []} if flattened else d)


@pytest.mark.parametrize("make", [dicts, lists, dicts_in_lists])
def test_deep_nesting_raises_recursion_error(make, no_leaks):
    with pytest.raises(RecursionError):
        tt.write_dict({"top": nested(100_000, make)})


# --- Property: what is written reads back, in the reading's normal form ------------------------

TEXT = st.text(st.characters(exclude_characters="\x00", exclude_categories=("Cs",)), max_size=12)
KEYS = TEXT.filter(lambda k: not k.startswith("bytes"))
SCALAR_VALUES = st.one_of(
    st.booleans(),
    st.integers(min_value=-(2**63), max_value=2**63 - 1),
    st.floats(allow_nan=False),
    TEXT,
)
VALUES = st.recursive(
    SCALAR_VALUES,
    lambda inner: st.one_of(
        st.lists(inner, max_size=5),
        st.lists(inner, max_size=3).map(tuple),
        st.dictionaries(KEYS, inner, max_size=5),
    ),
    max_leaves=25,
)


def normal_form(value):
    """What reading gives for a written value: ints for bools, keys in byte order, flat lists."""
    if isinstance(value, bool):
        return int(value)
    if isinstance(value, dict):
        items = sorted(value.items(), key=lambda kv: kv[0].encode())
        return {k: normal_form(v) for k, v in items}
    if isinstance(value, (list, tuple)):
        out = []
        for element in value:
            if isinstance(element, (list, tuple)):
                out.extend(normal_form(element))
            else:
                out.append(normal_form(element))
        return out
    return value


def ordered(value):
    """Dicts as item lists, so that comparing also compares key order."""
    if isinstance(value, dict):
        return [(k, ordered(v)) for k, v in value.items()]
    if isinstance(value, list):
        return [ordered(v) for v in value]
    return value


@settings(max_examples=200, deadline=None)
@given(st.dictionaries(KEYS, VALUES, max_size=8))
def test_round_trip_property(d):
    assert ordered(tt.round_trip(d)) == ordered(normal_form(d))
