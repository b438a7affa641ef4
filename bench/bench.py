"""Each tolvex path side by side with the bare library it wraps, in one process.

Every path is timed as rounds: a sample of the tolvex side, then a sample of the baseline (the order
alternating per round), each sample a calibrated number of operations. A row gives the median of
the per-round ratios tolvex/baseline and the median time per operation of either side, so that a
noisy, shared machine moves both sides of a round alike.

usage: bench.py [--quick] [--markdown FILE] [--filter TEXT]
"""

import argparse
import gc
import os
import platform
import statistics
import sys
import time

import msgpack
import orjson

import _tolvex_testing as t
from tolvex import Destination, Tolvex

# --- Payloads: nested records of ints, floats, strings, booleans and short lists -------------------


def record(i):
    return {
        "id": i,
        "name": f"item-{i}",
        "price": i * 1.25 + 0.5,
        "active": i % 2 == 0,
        "tags": ["a", "bb", "ccc"][: 1 + i % 3],
        "dims": {"w": i % 17, "h": 2.5 * (i % 5), "unit": "cm"},
    }


def json_payload(size):
    """A dict whose JSON text is about `size` bytes: one record, or a list of them."""
    if size <= 200:
        return record(1)
    per = len(orjson.dumps(record(10**5)))
    return {"seq": 1, "ok": True, "records": [record(i) for i in range(max(1, size // (per + 1)))]}


def count_fields(value):
    if isinstance(value, dict):
        return sum(1 + count_fields(v) for v in value.values())
    if isinstance(value, list):
        return sum(1 + count_fields(v) for v in value)
    return 0


def map_payload(fields):
    """A dict of records under keys r00000, r00001, ... with about `fields` fields in all."""
    d = {}
    while count_fields(d) < fields:
        d[f"r{len(d):05d}"] = record(len(d))
    return d


def size_label(n):
    return f"{n // 10**6} MB" if n >= 10**6 else f"{n // 1000} KB" if n >= 1000 else f"{n} B"


# --- Timing --------------------------------------------------------------------------------------


def sample(run, n):
    start = time.perf_counter_ns()
    run(n)
    return (time.perf_counter_ns() - start) / n


def calibrate(run, target_ns):
    n = 1
    while True:
        start = time.perf_counter_ns()
        run(n)
        elapsed = time.perf_counter_ns() - start
        if elapsed >= target_ns / 4 or n >= 1 << 24:
            return max(1, int(n * target_ns / max(elapsed, 1)))
        n *= 4


def compare(ours, base, rounds, target_ns):
    """Median ratio and both median times (ns per operation) of interleaved rounds."""
    n = calibrate(ours, target_ns)
    m = calibrate(base, target_ns)
    ours(n), base(m)  # warm caches, allocators and the codecs' imports
    ratios, a, b = [], [], []
    gc.collect()
    gc.disable()
    try:
        for r in range(rounds):
            if r % 2 == 0:
                x = sample(ours, n)
                y = sample(base, m)
            else:
                y = sample(base, m)
                x = sample(ours, n)
            a.append(x)
            b.append(y)
            ratios.append(x / y)
    finally:
        gc.enable()
    return statistics.median(ratios), statistics.median(a), statistics.median(b)


# --- The paths -----------------------------------------------------------------------------------

UNROLL = 8  # attribute paths do this many operations per loop turn, so the loop costs little


class Plain:
    """The pure-Python counterpart of the message's header."""

    __slots__ = ("_content_type", "_cos", "_dest", "_is_reply")

    def __init__(self):
        self._cos = 1
        self._is_reply = False
        self._content_type = "json"
        self._dest = None

    @property
    def cos(self):
        return self._cos

    @cos.setter
    def cos(self, value):
        self._cos = value

    @property
    def is_reply(self):
        return self._is_reply

    @property
    def content_type(self):
        return self._content_type

    @property
    def dest(self):
        return self._dest

    @dest.setter
    def dest(self, value):
        self._dest = value


class Empty:
    __slots__ = ()


def codec_paths(sizes):
    for size in sizes:
        d = json_payload(size)
        label = size_label(size)

        def ours_json(n, d=d):
            m = Tolvex()
            for _ in range(n):
                m.json = d
                m.json

        def base_json(n, d=d, loads=orjson.loads, dumps=orjson.dumps):
            for _ in range(n):
                loads(dumps(d))

        def ours_msgpack(n, d=d):
            m = Tolvex()
            for _ in range(n):
                m.msgpack = d
                m.msgpack

        def base_msgpack(n, d=d, loads=msgpack.loads, dumps=msgpack.dumps):
            for _ in range(n):
                loads(dumps(d), raw=False)

        goal = 1.5 if size < 1000 else 1.05
        yield f"json set+get {label}", ours_json, base_json, goal
        yield f"msgpack set+get {label}", ours_msgpack, base_msgpack, goal


def body_paths(sizes):
    for size in sizes:
        b = orjson.dumps(json_payload(size))

        def ours(n, b=b):
            m = Tolvex()
            for _ in range(n):
                m.body = b
                m.body

        def base(n, b=b):
            for _ in range(n):
                bytes(bytearray(b))

        yield f"body set+get {size_label(size)}", ours, base, 1.2


def attribute_paths():
    m = Tolvex()
    m.content_type = "json"
    p = Plain()
    for name in ("cos", "is_reply", "content_type"):
        env = {"m": m, "p": p}
        reads = "; ".join([f"m.{name}"] * UNROLL)
        exec(f"def ours(n, m=m):\n for _ in range(n): {reads}", env)
        exec(f"def base(n, m=p):\n for _ in range(n): {reads}", env)
        yield f"read {name}", scaled(env["ours"]), scaled(env["base"]), 1.5
    for name, value in (("cos", 3), ("dest", Destination("orders/new"))):
        env = {"m": m, "p": p, "v": value}
        writes = "; ".join([f"m.{name} = v"] * UNROLL)
        exec(f"def ours(n, m=m, v=v):\n for _ in range(n): {writes}", env)
        exec(f"def base(n, m=p, v=v):\n for _ in range(n): {writes}", env)
        yield f"write {name}", scaled(env["ours"]), scaled(env["base"]), 2.0

    def ours_new(n, make=Tolvex):
        for _ in range(n):
            make()

    def base_new(n, make=Empty):
        for _ in range(n):
            make()

    yield "Tolvex() and drop", ours_new, base_new, 3.0


def scaled(run):
    """Counts each of the unrolled operations: n operations take n / UNROLL loop turns."""
    return lambda n: run(max(1, n // UNROLL))


def map_paths(field_counts):
    for fields in field_counts:
        d = map_payload(fields)
        m = Tolvex()
        m.content_type = "sdt"
        m.body = t.encode_map(t.write_dict(d))
        assert t.to_dict(m) == d
        packed = msgpack.dumps(d)
        size = 2 * len(m.body) + 4096

        def ours_read(n, m=m, to_dict=t.to_dict):
            for _ in range(n):
                to_dict(m)

        def base_read(n, packed=packed, loads=msgpack.loads):
            for _ in range(n):
                loads(packed, raw=False)

        def ours_write(n, d=d, size=size, write=t.dict2container_bench):
            for _ in range(n):
                write(d, size)

        def base_write(n, d=d, dumps=msgpack.dumps):
            for _ in range(n):
                dumps(d)

        yield f"to_dict map {fields} fields", ours_read, base_read, 1.0
        yield f"dict2container {fields} fields", ours_write, base_write, 1.0


def whole_message_paths():
    d = json_payload(10_000)

    def ours(n, d=d, from_dict=t.from_dict, to_dict=t.to_dict):
        for _ in range(n):
            m = Tolvex()
            from_dict(m, d, "bytes/json")
            to_dict(m)

    def base(n, d=d, loads=orjson.loads, dumps=orjson.dumps):
        for _ in range(n):
            loads(dumps(d))

    yield "from_dict+to_dict bytes/json 10 KB", ours, base, 1.2


def all_paths():
    sizes = (100, 10_000, 1_000_000)
    yield from codec_paths(sizes)
    yield from body_paths(sizes[1:])
    yield from attribute_paths()
    yield from map_paths((100, 10_000))
    yield from whole_message_paths()


# --- Report --------------------------------------------------------------------------------------


def machine():
    cpu = platform.processor() or "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {
        "CPU": cpu,
        "cores": str(os.cpu_count()),
        "Python": platform.python_version(),
        "orjson": orjson.__version__,
        "msgpack": ".".join(map(str, msgpack.version)),
        "load": " ".join(f"{x:.1f}" for x in os.getloadavg()),
    }


def fmt_ns(ns):
    return f"{ns / 1e6:.2f} ms" if ns >= 1e6 else f"{ns / 1e3:.2f} us" if ns >= 1e4 else f"{ns:.0f} ns"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="fewer, shorter rounds (CI)")
    ap.add_argument("--markdown", help="write the table as Markdown to this file")
    ap.add_argument("--filter", default="", help="only paths whose name holds this text")
    args = ap.parse_args()
    rounds, target = (21, 500_000) if args.quick else (101, 1_000_000)

    rows = []
    print(f"{'path':38} {'ratio':>7} {'goal':>6} {'tolvex':>11} {'baseline':>11}")
    for name, ours, base, goal in all_paths():
        if args.filter not in name:
            continue
        ratio, a, b = compare(ours, base, rounds, target)
        met = "ok" if ratio <= goal else "MISS"
        rows.append((name, ratio, goal, a, b, met))
        print(f"{name:38} {ratio:7.2f} {goal:6.2f} {fmt_ns(a):>11} {fmt_ns(b):>11}  {met}", flush=True)

    if args.markdown:
        write_markdown(args.markdown, rows, rounds)
    return 0


def write_markdown(path, rows, rounds):
    info = machine()
    with open(path, "w") as f:
        f.write(
            "# Performance\n\n"
            "`./dev bench` measures every path of the module side by side with the bare library it\n"
            "wraps, in one process, in interleaved rounds (tolvex, baseline, baseline, tolvex, ...).\n"
            "A row gives the median of the per-round ratios tolvex/baseline (below 1: tolvex is\n"
            "faster) and the median time of one operation on either side. `./dev bench --quick` runs a\n"
            "short version; the full run rewrites this file. Native figures (Google Benchmark) are\n"
            "printed after the table and are not kept here.\n\n"
            f"Machine: {info['CPU']}, {info['cores']} cores. Python {info['Python']}, "
            f"orjson {info['orjson']}, msgpack {info['msgpack']}. {rounds} rounds per path. Load\n"
            f"average at the end of the run: {info['load']} (a shared machine: single rows move by\n"
            "10-20 % between runs; the ratios are steadier than the times).\n\n"
            "| path | baseline | ratio | goal | met | tolvex | baseline |\n"
            "|---|---|---:|---:|---|---:|---:|\n"
        )
        for name, ratio, goal, a, b, met in rows:
            f.write(
                f"| {name} | {BASELINES[name.split()[0]]} | {ratio:.2f} | <= {goal:g} | "
                f"{'yes' if met == 'ok' else 'no'} | {fmt_ns(a)} | {fmt_ns(b)} |\n"
            )
        f.write(
            "\nPayloads: nested records of ints, floats, strings, booleans and short lists, coded as\n"
            "JSON text of about 100 B, 10 KB and 1 MB; structured maps of records keyed r00000, ...\n"
            "with 100 and 10,000 fields in all (each record, key, list element counts).\n"
        )


BASELINES = {
    "json": "`orjson.loads(orjson.dumps(d))`",
    "msgpack": "`msgpack.loads(msgpack.dumps(d), raw=False)`",
    "body": "`bytes(bytearray(b))`",
    "read": "pure-Python `@property` on a `__slots__` class",
    "write": "pure-Python property setter",
    "Tolvex()": "`Empty()` of a `__slots__` class, dropped",
    "to_dict": "`msgpack.loads` of the same content",
    "dict2container": "`msgpack.dumps` of the same dict",
    "from_dict+to_dict": "`orjson.loads(orjson.dumps(d))`",
}

if __name__ == "__main__":
    sys.exit(main())
