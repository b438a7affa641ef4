"""The whole message as one dict (to_dict) and back (from_dict), and the other native-only operations."""

import sys
import threading

import msgpack
import orjson
import pytest

import _tolvex_testing as t
from tolvex import Destination, Tolvex

INT64, STRING, MAP = 8, 10, 14


def message(content_type=None, dest=None, body=None, http=None):
    m = Tolvex()
    if content_type is not None:
        m.content_type = content_type
    if dest is not None:
        m.dest = Destination(dest)
    if body is not None:
        m.body = body
    if http is not None:
        t.set_http_content_type(m, http)
    return m


MAP_AB = t.encode_map([("b", STRING, "s"), ("a", INT64, 1)])
MAP_JSON = t.encode_map([("bytes/json", STRING, '{"x": 1}'), ("a", INT64, 2)])


@pytest.mark.parametrize("content_type, dest, body, http, expected", [
    ("text/plain", "x", MAP_AB, None, {}),
    ("JSON", "x", b'{"a": 1}', None, {}),
    ("sdt ", "x", MAP_AB, None, {}),
    ("sdt", "#LOG/WARN/x", MAP_AB, None, {"LOG": MAP_AB}),
    ("json", "#LOG/x", b'{"a": 1}', None, {"LOG": b'{"a": 1}'}),
    ("sdt", "#LOG", None, None, {"LOG": b""}),
    ("sdt", "x/#LOG", MAP_AB, None, {"a": 1, "b": "s"}),
    ("sdt", "#log/x", MAP_AB, None, {"a": 1, "b": "s"}),
    ("bytes/json", "#LOG/x", MAP_JSON, None, {"x": 1}),
    ("", "x", MAP_AB, None, {"a": 1, "b": "s"}),
    (None, None, MAP_AB, None, {"a": 1, "b": "s"}),
    (None, None, b"no structured map", None, {}),
    ("sdt", None, MAP_JSON, None, {"x": 1}),
    ("sdt", None, t.encode_map([("bytes_b", STRING, "[[\"k\", 2]]"), ("bytes_a", STRING, "{}")]), None, {}),
    ("json", None, b'{"j": [1]}', None, {"j": [1]}),
    (None, None, b'{"h": 1}', "application/json", {"h": 1}),
    ("msgpack", None, msgpack.dumps([1, 2]), None, {"content": [1, 2]}),
    ("msgpack", None, msgpack.dumps({"m": "v"}), None, {"m": "v"}),
])
def test_paths(content_type, dest, body, http, expected):
    result = t.to_dict(message(content_type, dest, body, http))
    assert result == expected and type(result) is dict


@pytest.mark.parametrize("content_type, body, error", [
    ("sdt", t.encode_map([("bytes", STRING, "")]), orjson.JSONDecodeError),
    ("bytes/json", t.encode_map([("a", INT64, 1)]), orjson.JSONDecodeError),
    ("bytes/json", b"raw bytes", orjson.JSONDecodeError),
    ("sdt", t.encode_map([("bytes", MAP, [("k", INT64, 1)])]), RuntimeError),
    ("sdt", t.encode_map([("bytes", STRING, b"\xff")]), UnicodeDecodeError),
    ("sdt", t.encode_map([("bytes", STRING, "5")]), TypeError),
    ("", t.encode_map([("k", STRING, b"\xff")]), UnicodeDecodeError),
    ("json", b"", orjson.JSONDecodeError),
])
def test_path_errors(content_type, body, error):
    m = message(content_type, "x", body)
    with pytest.raises(error):
        t.to_dict(m)
    assert m.body == body  # the message stays as it was, and usable


DOC = {"id": 7, "name": "caf\u00e9", "tags": ["a", "b"], "nested": {"x": 1.5, "ok": True, "none": None}}


@pytest.mark.parametrize("kind", ["json", "msgpack", "bytes/json"])
def test_from_dict_then_to_dict(kind):
    m = message(dest="orders/new")
    t.from_dict(m, DOC, kind)
    assert m.content_type == kind
    assert t.to_dict(m) == DOC


@pytest.mark.parametrize("kind", ["application/json", "sdt", "other"])
def test_from_dict_other_kinds_change_only_the_content_type(kind):
    m = message(body=b'{"old": 1}')
    t.from_dict(m, DOC, kind)
    assert (m.content_type, m.body) == (kind, b'{"old": 1}')
    assert t.to_dict(m) == ({"old": 1} if kind == "application/json" else {})


def test_from_dict_encoding_failure_keeps_the_new_content_type_and_old_body():
    m = message("sdt", body=b"old")
    with pytest.raises(TypeError):
        t.from_dict(m, {"s": {1}}, "json")
    assert (m.content_type, m.body) == ("json", b"old")


# The working area holds a text of up to 32640 bytes; a longer text takes a heap block.
@pytest.mark.parametrize("length", [32639, 32640, 32641, 100_000])
def test_bytes_json_storage_boundary(length):
    doc = {"k": "x" * (length - len('{"k":""}'))}
    assert len(orjson.dumps(doc)) == length
    m = message()
    t.from_dict(m, doc, "bytes/json")
    assert t.read_attachment_map(m.body) == {"bytes/json": orjson.dumps(doc)}
    assert t.to_dict(m) == doc


def test_bytes_json_replaces_the_body_even_after_a_read():
    m = message()
    t.from_dict(m, {"first": 1}, "bytes/json")
    assert t.to_dict(m) == {"first": 1}  # leaves a read view of the map in the message
    t.from_dict(m, {"second": 2}, "bytes/json")
    assert t.to_dict(m) == {"second": 2}


def test_container_handles_are_not_leaked():
    before = t.live_containers()
    m = message()
    t.from_dict(m, DOC, "bytes/json")
    assert t.live_containers() == before
    for _ in range(50):
        t.to_dict(m)
    assert t.live_containers() == before + 1  # the message holds one read view
    del m
    assert t.live_containers() == before


def test_large_nested_dict_survives():
    doc = {f"rec{i}": {"n": i, "f": i / 7, "s": "v" * (i % 50), "l": [i, str(i), None, True],
                       "d": {"deep": {"deeper": [i] * 5}}} for i in range(20000)}
    assert len(orjson.dumps(doc)) > 3_000_000
    for kind in ("bytes/json", "json", "msgpack"):
        m = message()
        t.from_dict(m, doc, kind)
        assert t.to_dict(m) == doc, kind


def test_other_threads_run_while_the_map_is_read():
    m = message("sdt", body=t.encode_map([(f"k{i}", INT64, i) for i in range(200_000)]))
    go, ran = threading.Event(), []

    def other():
        go.wait()
        ran.append(True)

    thread = threading.Thread(target=other)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(100)  # from here on, the lock changes hands only when it is let go
    try:
        thread.start()
        go.set()
        result = t.to_dict(m)
        seen = list(ran)
    finally:
        sys.setswitchinterval(interval)
        thread.join(10)
    assert len(result) == 200_000
    assert seen == [True]


# --- Other native-only operations ------------------------------------------------------------------

def test_correlation_id_and_deliver_to_one():
    m = Tolvex()
    assert t.get_correlation_id(m) == ""
    t.set_correlation_id(m, "corr-\u00e9")
    t.set_deliver_to_one(m, True)
    assert (t.get_correlation_id(m), t.is_deliver_to_one(m)) == ("corr-\u00e9", True)


def test_native_constructors():
    before = t.live_messages()
    adopted = t.adopt()
    assert type(adopted) is Tolvex and adopted.body == b""
    taken, emptied = t.take_over("q/1")
    assert emptied and taken.dest.dest == "q/1"
    built = t.with_body("out/t", '{"a": [1, 2]}', "msgpack")
    assert (built.dest.dest, built.content_type, built.elide) == ("out/t", "msgpack", False)
    assert built.msgpack == {"a": [1, 2]}
    assert t.live_messages() == before + 3
    del adopted, taken, built
    assert t.live_messages() == before
