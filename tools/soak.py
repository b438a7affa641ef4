#!/usr/bin/env python3.14
"""Load soak: creates, fills, reads and drops many messages and reports the growth of resident
memory after a warm-up. Each message gets the whole header and one body kind in turn: raw bytes,
JSON, MessagePack, and a 100-field structured map (read back as a dict) when the test-only module
is there. Every read is checked.

    python3.14 tools/soak.py --build-dir build-rel [--messages N] [--warmup N] [--bound-mb MB]
"""

import argparse
import gc
import os
import pathlib
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build-dir", default="build-rel")
    p.add_argument("--messages", type=int, default=1_000_000)
    p.add_argument("--warmup", type=int, default=50_000)
    p.add_argument("--bound-mb", type=float, default=2.0, help="allowed growth of resident memory")
    p.add_argument("--no-bound", action="store_true", help="report the growth without judging it")
    return p.parse_args()


ARGS = parse_args()
sys.path.insert(0, str((ROOT / ARGS.build_dir / "python").resolve()))


from tolvex import DeliveryMode, Destination, DestinationType, Tolvex  # noqa: E402

try:
    import _tolvex_testing as T
except ImportError:
    T = None


def resident_bytes():
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        import resource
        scale = 1 if sys.platform == "darwin" else 1024
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * scale


JSON_BODY = {"order": 1042, "items": [1, 2.5, "x", None, True], "customer": {"id": "c-7", "vip": False}}
MSGPACK_BODY = {"order": 1043, "blob": b"\x00\x01\xff" * 10, "tags": ["a", "b"], "price": 9.75}
MODES = (DeliveryMode.Direct, DeliveryMode.Persistent, DeliveryMode.NonPersistent)

if T is not None:
    # 100 fields of the common kinds: ints, texts, doubles and a nested map every tenth.
    FIELDS = []
    for i in range(100):
        kind = i % 10
        if kind == 9:
            FIELDS.append((f"f{i:03}", 14, [("inner", 8, i), ("s", 10, "nested")]))
        elif kind % 3 == 0:
            FIELDS.append((f"f{i:03}", 8, i * 1000))
        elif kind % 3 == 1:
            FIELDS.append((f"f{i:03}", 10, f"value {i}"))
        else:
            FIELDS.append((f"f{i:03}", 13, i / 4))
    MAP_BODY = T.encode_map(FIELDS)
    MAP_DICT = T.read_attachment_map(MAP_BODY)
    assert len(MAP_DICT) == 100
    read_map = T.to_dict if hasattr(T, "to_dict") else (lambda m: T.read_attachment_map(m.body))
    KINDS = 4
else:
    KINDS = 3


def one(i):
    m = Tolvex()
    m.dest = Destination(f"orders/{i % 100}", DestinationType.Queue if i & 1 else DestinationType.Topic)
    m.reply2 = Destination("replies/x")
    m.is_reply = bool(i & 2)
    m.delivery_mode = MODES[i % 3]
    m.elide = bool(i & 4)
    m.cos = 1 + i % 3
    kind = i % KINDS
    if kind == 0:
        m.content_type = "application/octet-stream"
        m.body = b"raw body %d" % i
        assert m.body == b"raw body %d" % i
    elif kind == 1:
        m.json = JSON_BODY
        assert m.json == JSON_BODY and m.content_type == "json"
    elif kind == 2:
        m.msgpack = MSGPACK_BODY
        assert m.msgpack == MSGPACK_BODY and m.content_type == "msgpack"
    else:
        m.content_type = "sdt"
        m.body = MAP_BODY
        assert read_map(m) == MAP_DICT
    assert m.dest.dest == f"orders/{i % 100}" and m.reply2.dest == "replies/x"
    assert (m.is_reply, m.elide, m.cos) == (bool(i & 2), bool(i & 4), 1 + i % 3)
    assert m.delivery_mode == MODES[i % 3] and m.is_request == (not m.is_reply)
    if i % 1000 == 0:
        assert "orders/" in repr(m)


def main():
    start = time.monotonic()
    live = (T.live_messages(), T.live_containers()) if T else (0, 0)
    for i in range(ARGS.warmup):
        one(i)
    gc.collect()
    base = resident_bytes()
    peak = base
    for i in range(ARGS.warmup, ARGS.messages):
        one(i)
        if i % 50_000 == 0:
            peak = max(peak, resident_bytes())
    gc.collect()
    end = resident_bytes()
    peak = max(peak, end)
    seconds = time.monotonic() - start
    growth = (end - base) / 2**20
    peak_growth = (peak - base) / 2**20
    leaked_handles = ((T.live_messages(), T.live_containers()) != live) if T else False
    ok = ARGS.no_bound or (growth < ARGS.bound_mb and not leaked_handles)
    kinds = "raw, json, msgpack" + (", 100-field map" if T else "")
    summary = (f"{ARGS.messages} messages ({kinds}) in {seconds:.0f} s, "
               f"{ARGS.messages / seconds:,.0f}/s; resident memory after {ARGS.warmup} warm-up: "
               f"{base / 2**20:.1f} MB, growth {growth:+.2f} MB (peak {peak_growth:+.2f} MB, "
               f"bound {ARGS.bound_mb} MB)" + ("; library handles not all freed" if leaked_handles else ""))
    print(f"soak: {'passed' if ok else 'FAILED'} — {summary}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
