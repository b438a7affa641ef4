#!/usr/bin/env python3.14-dbg
"""Reference and memory-block leak hunt over the hot paths of tolvex, in the style of CPython's
regrtest -R: each scenario runs in rounds; after warm-up rounds the growth of sys.gettotalrefcount()
and sys.getallocatedblocks() is taken per round, and a scenario leaks when every checked round
grows. The library's own counters of live messages and containers must come back to where they were.

Needs a debug interpreter and a module built against it:
    python3.14-dbg tools/refleaks.py --build-dir build-dbg
"""

import argparse
import contextlib
import gc
import os
import pathlib
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build-dir", default="build-dbg", help="build folder whose python/ has the module")
    p.add_argument("--warmup", type=int, default=3, help="rounds run before any is checked")
    p.add_argument("--rounds", type=int, default=4, help="rounds checked after the warm-up")
    p.add_argument("--calls", type=int, default=30, help="calls of the scenario per round")
    p.add_argument("-k", dest="only", default="", help="run only scenarios whose name holds this")
    p.add_argument("-v", "--verbose", action="store_true", help="print the deltas of every scenario")
    return p.parse_args()


ARGS = parse_args()
if not hasattr(sys, "gettotalrefcount"):
    sys.exit("refleaks: needs a debug interpreter (python3.14-dbg); this one has no sys.gettotalrefcount")
BUILD = (ROOT / ARGS.build_dir / "python").resolve()
sys.path.insert(0, str(BUILD))

# msgpack's pure-Python implementation, so that its reference operations are counted too (the
# installed C extension is a release build: the debug interpreter does not count what it does).
os.environ["MSGPACK_PUREPYTHON"] = "1"
import msgpack  # noqa: E402
import orjson  # noqa: E402

import tolvex  # noqa: E402
from tolvex import DeliveryMode, Destination, DestinationType, Tolvex  # noqa: E402

try:
    import _tolvex_testing as T
except ImportError:
    T = None

if "314d" not in pathlib.Path(tolvex.__file__).name:
    sys.exit(f"refleaks: {tolvex.__file__} is not built for the debug interpreter (no '314d' suffix)")

# --- Scenarios -------------------------------------------------------------------------------------
# Each is a function of no arguments exercising one path, error paths included (an exception that
# is expected is caught here: its traceback must not keep anything alive either).

SCENARIOS = {}
# orjson exists only as a release build, whose reference operations the debug interpreter does not
# count: scenarios through it are judged by their allocated blocks alone.
BLOCKS_ONLY = set()


def scenario(fn=None, *, orjson=False):
    def register(f):
        SCENARIOS[f.__name__] = f
        if orjson:
            BLOCKS_ONLY.add(f.__name__)
        return f
    return register(fn) if fn else register


def expect(exc, fn, *args):
    try:
        fn(*args)
    except exc:
        return
    raise AssertionError(f"{fn} did not raise {exc}")


def setter(name, value):
    def set_it():
        m = Tolvex()
        setattr(m, name, value)
    return set_it


BODY = {"order": 1042, "items": [1, 2.5, "x", None, True, {"deep": [[]]}], "name": "\u00e9t\u00e9"}
MAP_FIELDS = [("a", 8, 1), ("b", 10, "text"), ("bytes", 10, "raw"), ("c", 13, 2.5), ("d", 0, 1),
              ("m", 14, [("x", 5, 7), ("s", 15, [(None, 10, "y"), (None, 16, None)])]),
              ("e", 11, b"\x00\xff"), ("n", 16, None)]


@scenario
def create_and_repr():
    m = Tolvex()
    m.dest = Destination("orders/new")
    repr(m)


@scenario
def header_properties():
    m = Tolvex()
    for t in (DestinationType.Topic, DestinationType.Queue, DestinationType.TopicTemp,
              DestinationType.QueueTemp, DestinationType.Null):
        m.dest = Destination("a/b", t)
        m.reply2 = Destination("r", t)
        m.dest, m.reply2
    m.dest = Destination("#P2P/v:x")
    m.is_reply = True
    m.is_reply, m.is_request, m.is_p2p
    for mode in (DeliveryMode.Direct, DeliveryMode.Persistent, DeliveryMode.NonPersistent):
        m.delivery_mode = mode
        m.delivery_mode
    m.content_type = "text/plain"
    m.content_type = b"sdt"
    m.content_type
    m.elide = True
    m.elide
    m.cos = 3
    m.cos


@scenario
def header_refusals():
    for name, value in [("dest", None), ("reply2", "t"), ("is_reply", "yes"), ("delivery_mode", 16),
                        ("content_type", 5), ("cos", -1), ("cos", 2**32), ("cos", "1"),
                        ("elide", {}), ("body", "x"), ("json", []), ("msgpack", "x")]:
        expect(TypeError, setter(name, value))
    for name in ("is_request", "is_p2p"):
        expect(AttributeError, setter(name, True))
    m = Tolvex()
    m.content_type = b"\xff"
    expect(UnicodeDecodeError, lambda: m.content_type)


@scenario
def raw_body():
    m = Tolvex()
    m.body = b"a\x00b" * 100
    m.body
    m.body = b""
    m.body


@scenario(orjson=True)
def json_body():
    m = Tolvex()
    m.json = BODY
    m.json
    m.json = {}
    m.json


@scenario(orjson=True)
def json_errors():
    m = Tolvex()
    expect(TypeError, setter("json", {"x": object()}))
    m.content_type = "json"
    m.body = b"{not json"
    expect(orjson.JSONDecodeError, lambda: m.json)
    m.body = b"[1, 2]"
    expect((TypeError, ValueError), lambda: m.json)
    m.body = b'"text"'
    expect((TypeError, ValueError), lambda: m.json)


@scenario
def msgpack_body():
    m = Tolvex()
    m.msgpack = BODY
    m.msgpack
    for shape in ([1, 2, 3], "text", (1,), {"k": [b"\x00"]}):
        m.body = msgpack.packb(shape)
        m.msgpack


@scenario
def msgpack_errors():
    m = Tolvex()
    expect(TypeError, setter("msgpack", {"x": object()}))
    for bad in (b"\xc1", b"\x92\x01", msgpack.packb(5), msgpack.packb(None), b""):
        m.body = bad
        with contextlib.suppress(Exception):  # every error path counts, whatever it raises
            m.msgpack


@scenario
def destination_objects():
    d = Destination("a", DestinationType.Queue)
    d.dest = "b"
    d.dest_type = DestinationType.Topic
    d.dest, d.dest_type
    Destination("c")
    expect(TypeError, Destination, 5)
    expect(TypeError, Destination, "x", "Queue")


@scenario
def enumerations():
    for e in (DeliveryMode.Direct, DeliveryMode(16), DestinationType.Queue, DestinationType(-1)):
        int(e), e.name, repr(e), str(e), hash(e), e == 0
    DeliveryMode.__members__, DestinationType.__members__
    expect(TypeError, DeliveryMode, "x")


if T is not None:
    @scenario
    def container_read():
        T.read_map(MAP_FIELDS)
        T.count_map(MAP_FIELDS)
        T.read_stream([(None, 10, "x"), (None, 15, [(None, 5, 1)]), (None, 14, [("k", 8, 2)])])
        T.read_attachment_map(T.encode_map(MAP_FIELDS))
        T.read_attachment_map(T.nested_map_bytes(50))
        for code in range(18):
            T.read_field("k", code)
            T.read_field("k", code, True)

    @scenario
    def container_read_errors():
        expect(ValueError, T.read_attachment_map, b"\xd1\x06\x00\x00\x00\x00")
        expect(ValueError, T.read_attachment_map, b"")
        m = Tolvex()
        m.body = b"\x00\x01"
        m.content_type = "sdt"
        if hasattr(T, "to_dict"):
            T.to_dict(m)

    @scenario
    def container_write():
        d = {"a": 1, "b": "s", "c": 2.5, "t": True, "l": [1, "x", [2.0]], "m": {"k": {"z": None}},
             "bytes": b"raw", "big": 2**63 - 1}
        T.write_dict(d)
        T.round_trip(d)
        T.write_dict_partial(d, 40)
        T.get_bytes_string({"bytesx": "v", "a": 1})

    @scenario
    def container_write_errors():
        class Boom:
            def __iter__(self):
                raise RuntimeError("boom")
        nested = {}
        for _ in range(2000):
            nested = {"k": nested}
        for value in ({"x": object()}, {"x": Boom()}, nested, {"x": 2**70}):
            with contextlib.suppress(Exception):
                T.write_dict(value)

    if hasattr(T, "to_dict") and hasattr(T, "from_dict"):
        # No key starting with "bytes": to_dict would read that one as JSON text.
        MAP_BODY = T.encode_map([f for f in MAP_FIELDS if not f[0].startswith("bytes")])

        @scenario(orjson=True)
        def to_dict_paths():
            for ct, dest, body in [("sdt", "x", MAP_BODY), ("", "#LOG/x", b"log"),
                                   ("json", "x", b'{"a": [1]}'), ("msgpack", "x", msgpack.packb([1])),
                                   ("other", "x", b"?"),
                                   ("bytes/json", "x", T.encode_map([("bytes/json", 10, '{"j": 1}')]))]:
                m = Tolvex()
                m.content_type = ct
                m.dest = Destination(dest)
                m.body = body
                T.to_dict(m)

        @scenario(orjson=True)
        def from_dict_kinds():
            m = Tolvex()
            for kind in ("json", "msgpack", "bytes/json", "other"):
                T.from_dict(m, BODY, kind)
                T.to_dict(m)

        @scenario(orjson=True)
        def whole_message_errors():
            m = Tolvex()
            m.content_type = "bytes/json"
            m.body = T.encode_map([("bytes/json", 10, "{bad")])
            expect(orjson.JSONDecodeError, T.to_dict, m)
            expect(TypeError, T.from_dict, m, {"x": object()}, "json")


# --- The runner ------------------------------------------------------------------------------------

def clear_caches():
    gc.collect()
    if hasattr(sys, "_clear_internal_caches"):
        sys._clear_internal_caches()
    elif hasattr(sys, "_clear_type_cache"):
        sys._clear_type_cache()
    gc.collect()


def measure(fn):
    # Everything the measuring keeps is made up front, and deltas are small (cached) integers, so
    # the bookkeeping itself neither allocates nor holds references between two readings.
    rounds = ARGS.warmup + ARGS.rounds
    refs, blocks = [0] * rounds, [0] * rounds
    calls = range(ARGS.calls)
    clear_caches()
    prev_refs, prev_blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
    for i in range(rounds):
        for _ in calls:
            fn()
        clear_caches()
        now_refs, now_blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
        refs[i], blocks[i] = now_refs - prev_refs, now_blocks - prev_blocks
        prev_refs, prev_blocks = now_refs, now_blocks
    return refs, blocks


def live():
    return (T.live_messages(), T.live_containers()) if T is not None else (0, 0)


def main():
    chosen = {k: v for k, v in SCENARIOS.items() if ARGS.only in k}
    start = time.monotonic()
    live_before = live()
    leaks = []
    worst_refs = worst_blocks = 0
    for name, fn in chosen.items():
        refs, blocks = measure(fn)
        checked_refs, checked_blocks = refs[ARGS.warmup:], blocks[ARGS.warmup:]
        judged_refs = name not in BLOCKS_ONLY
        leaked = all(d >= 1 for d in checked_blocks) or (judged_refs and all(d >= 1 for d in checked_refs))
        if judged_refs:
            worst_refs = max(worst_refs, *checked_refs)
        worst_blocks = max(worst_blocks, *checked_blocks)
        if leaked:
            leaks.append(name)
        if leaked or ARGS.verbose:
            note = "" if judged_refs else " (refs not judged: orjson)"
            print(f"{name:24} {'LEAK' if leaked else 'ok  '} refs {refs} blocks {blocks}{note}")
    live_after = live()
    if live_after != live_before:
        leaks.append(f"library handles (messages, containers) {live_before} -> {live_after}")
        print(f"library handles (messages, containers) went {live_before} -> {live_after}")
    seconds = time.monotonic() - start
    calls = ARGS.calls * (ARGS.warmup + ARGS.rounds)
    summary = (f"{len(chosen)} scenarios x {calls} calls, largest checked growth per round: "
               f"{worst_refs} refs, {worst_blocks} blocks; leaking: {len(leaks)} ({seconds:.0f} s)")
    if leaks:
        print("refleaks: FAILED —", summary, "—", ", ".join(leaks))
        return 1
    print("refleaks: passed —", summary)
    return 0


if __name__ == "__main__":
    sys.exit(main())
