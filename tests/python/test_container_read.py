"""Reading structured containers into Python: maps become dicts in key order, streams lists."""

import re
import struct

import pytest

import _tolvex_testing as tt

# field type codes
BOOL, U8, I8, U16, I16, U32, I32, U64, I64, WCHAR = range(10)
STRING, BYTEARRAY, FLOAT, DOUBLE, MAP, STREAM, NULL = range(10, 17)


def as_float32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


# (type code, value added, value read back)
SCALARS = [
    pytest.param(BOOL, 1, 1, id="bool-true"),
    pytest.param(BOOL, 0, 0, id="bool-false"),
    pytest.param(U8, 255, 255, id="u8"),
    pytest.param(I8, -128, -128, id="i8"),
    pytest.param(U16, 65535, 65535, id="u16"),
    pytest.param(I16, -32768, -32768, id="i16"),
    pytest.param(U32, 2**32 - 1, 2**32 - 1, id="u32"),
    pytest.param(I32, -(2**31), -(2**31), id="i32"),
    pytest.param(U64, 2**64 - 1, 2**64 - 1, id="u64-full-range"),
    pytest.param(I64, -(2**63), -(2**63), id="i64"),
    pytest.param(WCHAR, 0x263A, 0x263A, id="wchar"),
    pytest.param(WCHAR, 0xFFFF, 0xFFFF, id="wchar-high"),
    pytest.param(STRING, "héllo ☺", "héllo ☺", id="string"),
    pytest.param(STRING, "", "", id="string-empty"),
    pytest.param(FLOAT, 1.1, as_float32(1.1), id="float-widened-exactly"),
    pytest.param(DOUBLE, -2.5e300, -2.5e300, id="double"),
]


@pytest.mark.parametrize(("code", "value", "expected"), SCALARS)
def test_scalar_in_map(code, value, expected):
    got = tt.read_map([("k", code, value)])
    assert got == {"k": expected}
    assert type(got["k"]) is type(expected)  # a boolean arrives as int, never as bool


@pytest.mark.parametrize(("code", "value", "expected"), SCALARS)
def test_scalar_in_stream(code, value, expected):
    got = tt.read_stream([(None, code, value)])
    assert got == [expected]
    assert type(got[0]) is type(expected)


def test_nested_containers():
    fields = [
        ("m", MAP, [("x", I64, 1), ("s", STREAM, [(None, STRING, "a")])]),
        ("s", STREAM, [(None, MAP, [("y", DOUBLE, 0.5)]), (None, I8, 2)]),
        ("em", MAP, []),
        ("es", STREAM, []),
    ]
    assert tt.read_map(fields) == {
        "em": {},
        "es": [],
        "m": {"s": ["a"], "x": 1},
        "s": [{"y": 0.5}, 2],
    }


@pytest.mark.parametrize(
    ("fields", "expected"),
    [
        pytest.param([], [], id="empty"),
        pytest.param(
            [(None, I64, 1), (None, STREAM, [(None, I64, 2), (None, I64, 3)]), (None, I64, 4)],
            [1, 2, 3, 4],
            id="one-level",
        ),
        pytest.param(
            [(None, STREAM, [(None, STREAM, [(None, I64, 1)]), (None, STREAM, [])]), (None, I64, 2)],
            [1, 2],
            id="deeper-and-empty",
        ),
        pytest.param(
            [(None, MAP, [("s", STREAM, [(None, STREAM, [(None, I64, 1)])])])],
            [{"s": [1]}],
            id="inside-a-map-the-stream-is-its-own-list",
        ),
    ],
)
def test_streams_inside_streams_are_flattened(fields, expected):
    assert tt.read_stream(fields) == expected
    assert tt.read_map([("k", STREAM, fields)]) == {"k": expected}


def test_empty_map():
    assert tt.read_map([]) == {}
    assert tt.count_map([]) == 0


@pytest.mark.parametrize(
    ("names", "expected"),
    [
        (["b", "a", "B"], ["B", "a", "b"]),
        (["ab", "a", "", "aB"], ["", "a", "aB", "ab"]),
        # byte order of the UTF-8 text, not code point order of UTF-16 or locale order
        (["é", "z", "\uffff", "😀"], ["z", "é", "\uffff", "😀"]),
    ],
)
def test_keys_arrive_in_byte_order(names, expected):
    got = tt.read_map([(n, I64, i) for i, n in enumerate(names)])
    assert list(got) == expected


def test_later_duplicate_replaces_earlier():
    fields = [("k", I64, 1), ("j", I64, 2), ("k", STRING, "last"), ("k", MAP, [("x", I64, 3)])]
    assert tt.read_map(fields) == {"j": 2, "k": {"x": 3}}
    assert tt.count_map(fields) == 2


def test_many_fields():
    fields = [(f"k{i:05d}", I64, i) for i in reversed(range(10_000))]
    got = tt.read_map(fields)
    assert list(got.items()) == [(f"k{i:05d}", i) for i in range(10_000)]


@pytest.mark.parametrize(
    ("key", "expected"),
    [
        ("bytes", b"v"),
        ("bytes_json", b"v"),
        ("bytesX", b"v"),
        ("byte", "v"),
        ("Bytes", "v"),
        ("xbytes", "v"),
        ("b", "v"),
    ],
)
def test_text_under_a_bytes_key_is_bytes(key, expected):
    assert tt.read_map([(key, STRING, "v")]) == {key: expected}


def test_bytes_keys_take_any_text_undecoded():
    assert tt.read_map([("bytes_raw", STRING, b"\xff\xfe")]) == {"bytes_raw": b"\xff\xfe"}


@pytest.mark.parametrize(
    ("fields", "expected"),
    [
        pytest.param(
            [("m", MAP, [("bytes_a", STRING, "x"), ("a", STRING, "y")])],
            {"m": {"a": "y", "bytes_a": b"x"}},
            id="map-in-map",
        ),
        pytest.param(
            [("s", STREAM, [(None, MAP, [("bytes_a", STRING, "x")])])],
            {"s": [{"bytes_a": b"x"}]},
            id="map-in-stream",
        ),
        pytest.param(
            [("bytes_s", STREAM, [(None, STRING, "x")])],
            {"bytes_s": ["x"]},
            id="list-elements-never",
        ),
        pytest.param(
            [("bytes_m", MAP, [("k", STRING, "x")])],
            {"bytes_m": {"k": "x"}},
            id="only-the-own-key-counts",
        ),
    ],
)
def test_bytes_keys_at_depth(fields, expected):
    assert tt.read_map(fields) == expected


def test_stream_text_is_always_str():
    assert tt.read_stream([(None, STRING, "bytes"), (None, STRING, "x")]) == ["bytes", "x"]


@pytest.mark.parametrize(
    ("key", "code", "in_list", "expected"),
    [
        pytest.param("k", STRING, False, {"k": None}, id="null-text"),
        pytest.param("bytes_k", STRING, False, {"bytes_k": None}, id="null-text-bytes-key"),
        pytest.param("k", STRING, True, [None], id="null-text-in-list"),
        pytest.param("m", MAP, False, {"m": {}}, id="null-map"),
        pytest.param("s", STREAM, False, {"s": []}, id="null-stream"),
        pytest.param("m", MAP, True, [{}], id="null-map-in-list"),
        pytest.param("s", STREAM, True, [], id="null-stream-in-list"),
    ],
)
def test_records_without_data(key, code, in_list, expected):
    assert tt.read_field(key, code, in_list) == expected


DICT_LINE = r"(?P<path>\S*map2dict\.cpp)\(69\): field: {key}, field_type: {code}"
LIST_LINE = r"(?P<path>\S*map2dict\.cpp)\(131\): field: None, field_type: {code}"


@pytest.mark.parametrize(("code", "value"), [(BYTEARRAY, b"\x00\x01"), (NULL, None)])
def test_unsupported_field_in_map_is_reported_and_left_out(code, value, c_stdout):
    got = tt.read_map([("a", I64, 1), ("blob", code, value), ("c", I64, 3)])
    assert got == {"a": 1, "c": 3}
    assert re.fullmatch(DICT_LINE.format(key="blob", code=code) + "\n", c_stdout())


@pytest.mark.parametrize(("code", "value"), [(BYTEARRAY, b"\x00\x01"), (NULL, None)])
def test_unsupported_element_in_stream_is_reported_and_left_out(code, value, c_stdout):
    got = tt.read_stream([(None, I64, 1), (None, code, value), (None, I64, 3)])
    assert got == [1, 3]
    assert re.fullmatch(LIST_LINE.format(code=code) + "\n", c_stdout())


@pytest.mark.parametrize("code", [17, 99, -1])
def test_unknown_type_codes_are_reported(code, c_stdout):
    assert tt.read_field("odd", code) == {}
    assert tt.read_field("odd", code, in_list=True) == []
    out = c_stdout().splitlines()
    assert len(out) == 2
    assert re.fullmatch(DICT_LINE.format(key="odd", code=code), out[0])
    assert re.fullmatch(LIST_LINE.format(code=code), out[1])


@pytest.mark.parametrize(
    "fields",
    [
        pytest.param([(b"\xff", I64, 1)], id="key"),
        pytest.param([("k", STRING, b"\xc3")], id="value"),
        pytest.param([("s", STREAM, [(None, STRING, b"\xed\xa0\x80")])], id="value-in-stream"),
        pytest.param([("s", STREAM, [(None, MAP, [(b"k\x80", I64, 1)])])], id="key-in-map-in-stream"),
    ],
)
def test_invalid_utf8_raises(fields):
    with pytest.raises(UnicodeDecodeError):
        tt.read_map(fields)


@pytest.mark.parametrize(
    ("s", "prefix", "expected"),
    [
        (b"bytes_x", b"bytes", True),
        (b"bytes", b"bytes", True),
        (b"byte", b"bytes", False),
        (b"xbytes", b"bytes", False),
        (b"Bytes", b"bytes", False),
        (b"", b"", True),
        (b"abc", b"", True),
        (b"", b"a", False),
        (b"\xffa", b"\xff", True),
        (b"a\x00b", b"a\x00", True),
        (b"a\x00b", b"a\x00c", False),
    ],
)
def test_starts_with(s, prefix, expected):
    assert tt.starts_with(s, prefix) is expected


class TestDeepNesting:
    @pytest.mark.parametrize("streams", [False, True])
    def test_fixture_matches_the_library_encoding(self, streams):
        inner = [(None if streams else "a", STREAM if streams else MAP, [])]
        one = [("a", STREAM if streams else MAP, [])]
        two = [("a", STREAM if streams else MAP, inner)]
        assert tt.nested_map_bytes(1, streams) == tt.encode_map(one)
        assert tt.nested_map_bytes(2, streams) == tt.encode_map(two)

    def test_moderate_depth_reads(self):
        got = tt.read_attachment_map(tt.nested_map_bytes(300))
        depth = 0
        while got:
            got = got["a"]
            depth += 1
        assert depth == 300
        assert tt.read_attachment_map(tt.nested_map_bytes(300, streams=True)) == {"a": []}

    @pytest.mark.parametrize("streams", [False, True], ids=["maps", "streams"])
    def test_too_deep_raises_recursion_error(self, streams):
        data = tt.nested_map_bytes(100_000, streams)
        before = tt.live_containers(), tt.live_messages()
        with pytest.raises(RecursionError):
            tt.read_attachment_map(data)
        assert (tt.live_containers(), tt.live_messages()) == before
