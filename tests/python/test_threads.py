"""Eight threads at once, each on messages of its own: the body paths and (when the test-only module
has them) the whole-message dict both ways. Every result is checked; no thread may hang."""

import threading

import msgpack
import pytest

from tolvex import Destination, Tolvex

try:
    import _tolvex_testing as tt
except ImportError:
    tt = None

THREADS = 8
ROUNDS = 300
JOIN_TIMEOUT = 120  # seconds; a generous bound that only a deadlock reaches
HAS_WHOLE_MESSAGE = tt is not None and hasattr(tt, "to_dict") and hasattr(tt, "from_dict")


def body_paths(worker, i):
    m = Tolvex()
    m.dest = Destination(f"w{worker}/r{i}")
    data = {"worker": worker, "round": i, "items": list(range(i % 17)), "text": "\u00e9" * (i % 5)}
    m.json = data
    assert m.json == data and m.content_type == "json"
    m.msgpack = data
    assert m.msgpack == data and m.content_type == "msgpack"
    raw = bytes([worker]) * (i % 300)
    m.body = raw
    assert m.body == raw
    m.body = msgpack.packb([worker, i])
    assert m.msgpack == {"content": [worker, i]}
    assert m.dest.dest == f"w{worker}/r{i}"


def whole_message_paths(worker, i):
    m = Tolvex()
    data = {"worker": worker, "round": i, "nested": {"list": [1, "two", 3.5]}}
    for kind in ("json", "msgpack", "bytes/json"):
        tt.from_dict(m, data, kind)
        assert m.content_type == kind
        assert tt.to_dict(m) == data, kind
    m.content_type = "sdt"
    m.body = tt.encode_map([("w", 8, worker), ("i", 8, i), ("s", 10, "x" * (i % 50))])
    assert tt.to_dict(m) == {"i": i, "s": "x" * (i % 50), "w": worker}


def run_threads(work):
    errors = []
    start = threading.Barrier(THREADS)

    def worker(n):
        try:
            start.wait()
            for i in range(ROUNDS):
                work(n, i)
        except BaseException as e:
            errors.append((n, repr(e)))

    threads = [threading.Thread(target=worker, args=(n,), daemon=True) for n in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(JOIN_TIMEOUT)
    hung = [t.name for t in threads if t.is_alive()]
    assert not hung, f"threads still running after {JOIN_TIMEOUT} s (deadlock?): {hung}"
    assert not errors, errors


def test_body_paths_in_eight_threads():
    run_threads(body_paths)


@pytest.mark.skipif(not HAS_WHOLE_MESSAGE, reason="needs to_dict/from_dict in _tolvex_testing")
def test_whole_message_dict_in_eight_threads():
    live = tt.live_messages(), tt.live_containers()
    run_threads(whole_message_paths)
    assert (tt.live_messages(), tt.live_containers()) == live


@pytest.mark.skipif(not HAS_WHOLE_MESSAGE, reason="needs to_dict/from_dict in _tolvex_testing")
def test_all_paths_mixed_in_eight_threads():
    def mixed(worker, i):
        (body_paths if (worker + i) % 2 else whole_message_paths)(worker, i)
    run_threads(mixed)
