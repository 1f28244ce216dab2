"""What a Result and a long session cost as the session grows: each shape runs at several sizes and
prints its cost per unit and how much that cost grows from the smallest size to the largest. A
change costs what it touches, whether or not the previous fire's Result is still held, and a session
that keeps inserting and deleting holds memory for its live facts, not for every fact it ever had.

    python3 bench/scaling_result.py [--shapes result-kept,...] [--n 1e4,1e5,1e6] [--reps 3] [--list]
    python3 bench/scaling_result.py --memory [--cycles 1000] [--batch 10000] [--kinds join2,...]

Shapes (registered with @shape, the calling shape of bench/scaling.py: fn(size, rng) -> [Phase]):
  result-kept / result-dropped  one update + fire over n stored facts, the previous Result held or
                                dropped; cost per update + fire
  event-stream                  advance + insert_row + fire per event over n stored events, each
                                step's Result held until the next one replaces it; cost per step
  temporal-stream               one A then n B events joining it (after), inserted one by one, then
                                one fire, with a first fire before the stream (each insert evaluated
                                as it comes) and without; cost per B of the inserts and of the fire
  derived-read                  the first derived() of a fire that derived one fact, over n facts of
                                its type

--memory runs the plateau loop instead: cycles of insert a batch / fire / delete it all / fire,
with no rule (plain), with an event type, an expiry and a windowed accumulate (events), with a
join matching each fact once (join), and with two types joined by key (join2), counted per key
(accumulate) and tested by a not and an exists (not-exists), each in a process of its own
(--kinds picks some); it prints the resident memory at a few cycles and the growth over the last
half of the cycles.

The machine is shared: compare builds in the same minutes, interleaved, medians of --reps.
"""

from __future__ import annotations

import argparse
import gc
import os
import subprocess
import sys
import time

import numpy as np
import pyarrow as pa

import quarn
from scaling import SHAPES, Phase, Timer, fmt_cost, parse_sizes, run_shape, shape


READING_SCHEMAS = {"Reading": {"id": "i64", "value": "i64"}, "Alert": {"id": "i64"}}

READING_RULES = '''
rule "flag"
when
    $r : Reading($id : id, value > 100)
then
    insert(new Alert($id));
    modify($r) { setValue(0) }
end
'''

CHANGES = 200


def reading_session(n, rng):
    s = quarn.Session(READING_RULES, schemas=READING_SCHEMAS)
    handles = s.insert("Reading", pa.table({"id": pa.array(np.arange(n), pa.int64()),
                                            "value": pa.array(rng.integers(0, 100, n), pa.int64())}))
    return s, handles


def update_fire(n, rng, keep):
    s, handles = reading_session(n, rng)
    r = s.fire()
    targets = [handles[k] for k in rng.integers(0, n, CHANGES)]
    with Timer() as t:
        for h in targets:
            if not keep:
                r = None
            s.update(h, value=1000)
            r = s.fire()
    assert r.fired == 1, r.fired
    return [Phase("update+fire", CHANGES, t.seconds, "change")]


@shape("result-kept")
def result_kept(n, rng):
    """one update + fire over n facts, the previous Result still held; per change"""
    return update_fire(n, rng, keep=True)


@shape("result-dropped")
def result_dropped(n, rng):
    """one update + fire over n facts, the previous Result dropped first; per change"""
    return update_fire(n, rng, keep=False)


EVENT_SCHEMAS = {"Tick": {"id": "i64", "ts": "i64", "v": "i64"}, "Sum": {"total": "i64"}}
EVENT_RULES = '''
rule "window"
when
    accumulate(Tick($v : v) over window:time(10s); $t : sum($v))
then
end
'''
STEPS = 500


@shape("event-stream", sizes=(1_000, 10_000, 100_000))
def event_stream(n, rng):
    """advance + insert_row + fire per event over n stored events, each Result held; per step"""
    s = quarn.Session(EVENT_RULES, schemas=EVENT_SCHEMAS, events={"Tick": ("ts", 3_600_000)})
    s.insert("Tick", pa.table({"id": pa.array(np.arange(n), pa.int64()), "ts": pa.array(np.zeros(n, np.int64)),
                               "v": pa.array(rng.integers(0, 100, n), pa.int64())}))
    r = s.fire()
    values = rng.integers(0, 100, STEPS)
    with Timer() as t:
        for k in range(STEPS):
            s.advance(1)
            s.insert_row("Tick", {"id": n + k, "ts": k + 1, "v": int(values[k])})
            r = s.fire()
    assert r.fired <= 1
    return [Phase("step", STEPS, t.seconds, "step")]


PAIR_SCHEMAS = {"A": {"id": "i64", "ts": "i64"}, "B": {"id": "i64", "ts": "i64"}}
PAIR_RULES = '''
rule "pair"
when
    $a : A($i : id)
    $b : B(this after[0ms,100000s] $a)
then
end
'''


@shape("temporal-stream", sizes=(1_000, 10_000, 100_000))
def temporal_stream(n, rng):
    """one A then n B events after it, inserted one by one, then one fire; per B"""
    # "fired": a first fire has run, so each insert is evaluated as it comes and the fire takes
    # the matches; "unfired": the stream waits for the first fire, which takes it whole.
    phases = []
    gaps = rng.integers(0, 3, n).cumsum() + 1
    for fired in (True, False):
        s = quarn.Session(PAIR_RULES, schemas=PAIR_SCHEMAS, events={"A": ("ts", 10**12), "B": ("ts", 10**12)})
        if fired:
            s.fire()
        s.insert_row("A", {"id": 0, "ts": 0})
        rows = [{"id": k, "ts": int(gaps[k])} for k in range(n)]
        with Timer() as t_in:
            for row in rows:
                s.insert_row("B", row)
        with Timer() as t:
            r = s.fire(fire_limit=2 * n + 10)
        assert r.fired == n, (r.fired, n)
        kind = "fired" if fired else "unfired"
        phases += [Phase(f"{kind} insert", n, t_in.seconds, "B"), Phase(f"{kind} fire", n, t.seconds, "B")]
    return phases


@shape("derived-read")
def derived_read(n, rng):
    """derived() of a fire that derived one fact, over n facts of the derived type; per read"""
    s, handles = reading_session(n, rng)
    s.insert("Alert", pa.table({"id": pa.array(np.arange(n), pa.int64())}))
    s.fire()
    reads = 20
    results = []
    for k in range(reads):
        s.update(handles[k], value=1000)
        results.append(s.fire())
    # Each Result's first read builds its table; later reads would find it built.
    with Timer() as t:
        for r in results:
            d = r.derived()
    assert len(d["Alert"]) == 1
    return [Phase("derived()", reads, t.seconds, "read")]


# --------------------------------------------------------------------------------------------- memory

PLAIN_SCHEMAS = {"P": {"id": "i64", "a": "i64", "b": "f64"}}
TICK_SCHEMAS = {"P": {"id": "i64", "ts": "i64", "a": "i64", "b": "f64"}}
TICK_RULES = '''
rule "recent"
when
    accumulate(P($a : a) over window:time(5s); $t : sum($a))
then
end
'''


def rss_kb() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


JOIN_RULES = '''
rule "pair"
when
    $x : P($i : id)
    $y : P(a == $i)
then
end
'''

# Two types joined by key, each batch half of each; the rules that make and
# retract tuples of every kind of node: a join, an accumulate per key, a not
# and an exists.
KEYED_SCHEMAS = {"L": {"id": "i64", "k": "i64"}, "R": {"id": "i64", "k": "i64"}}
KEYED_RULES = {
    "join2": '''
rule "pair" when $l : L($k : k) $r : R(k == $k) then end
''',
    "accumulate": '''
rule "count" when $l : L($k : k) accumulate(R(k == $k); $n : count()) then end
''',
    "not-exists": '''
rule "alone" when $l : L($k : k) not R(k == $k, id > 0) then end
rule "paired" when $l : L($k : k) exists R(k == $k) then end
''',
}


def memory_loop(kind: str, cycles: int, batch: int) -> None:
    events = kind == "events"
    if events:
        s = quarn.Session(TICK_RULES, schemas=TICK_SCHEMAS, events={"P": ("ts", 2_000)})
    elif kind in KEYED_RULES:
        s = quarn.Session(KEYED_RULES[kind], schemas=KEYED_SCHEMAS)
    else:
        s = quarn.Session(JOIN_RULES if kind == "join" else "", schemas=PLAIN_SCHEMAS)
    ids = pa.array(np.arange(batch), pa.int64())
    a = pa.array(np.arange(batch) if kind == "join" else np.arange(batch) % 97, pa.int64())
    b = pa.array(np.arange(batch) * 0.5, pa.float64())
    marks = {}
    clock = 0
    t0 = time.perf_counter()
    for c in range(1, cycles + 1):
        if events:
            data = pa.table({"id": ids, "ts": pa.array(np.full(batch, clock), pa.int64()), "a": a, "b": b})
        elif kind in KEYED_RULES:
            half = pa.table({"id": ids[: batch // 2], "k": ids[: batch // 2]})
            handles = s.insert("L", half) + s.insert("R", half)
        else:
            data = pa.table({"id": ids, "a": a, "b": b})
        if kind not in KEYED_RULES:
            handles = s.insert("P", data)
        r = s.fire()
        for h in handles:
            s.delete(h)
        r = s.fire()
        if events:
            s.advance(1_000)
            clock += 1_000
        del r
        if c in (1, 10, 100) or c % (cycles // 4) == 0:
            gc.collect()
            marks[c] = rss_kb()
    seconds = time.perf_counter() - t0
    half = marks[cycles // 2]
    last = marks[cycles]
    print(f"{kind:7s} " + "  ".join(f"{c}: {kb / 1024:6.1f} MB" for c, kb in marks.items())
          + f"   last half {100.0 * (last - half) / half:+.1f}%   {1e6 * seconds / (cycles * batch):.2f} us/fact",
          flush=True)


MEMORY_KINDS = ["plain", "events", "join", "join2", "accumulate", "not-exists"]


# --------------------------------------------------------------------------------------------- driver

# The shapes of this file; scaling.py's registry also holds its own.
OWN_SHAPES = ("result-kept", "result-dropped", "event-stream", "temporal-stream", "derived-read")


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--shapes", default="")
    p.add_argument("--n", default="")
    p.add_argument("--reps", type=int, default=3)
    p.add_argument("--seed", type=int, default=43)
    p.add_argument("--list", action="store_true")
    p.add_argument("--memory", action="store_true")
    p.add_argument("--cycles", type=int, default=1000)
    p.add_argument("--batch", type=int, default=10_000)
    p.add_argument("--memory-one", choices=MEMORY_KINDS, help=argparse.SUPPRESS)
    p.add_argument("--kinds", default=",".join(MEMORY_KINDS), help="the --memory loops to run")
    a = p.parse_args()
    if a.list:
        for sh in (SHAPES[x] for x in OWN_SHAPES):
            print(f"{sh.name:15s} {sh.doc}")
        return
    if a.memory_one:
        memory_loop(a.memory_one, a.cycles, a.batch)
        return
    if a.memory:
        for kind in (k for k in a.kinds.split(",") if k):
            subprocess.run([sys.executable, __file__, "--memory-one", kind, "--cycles", str(a.cycles),
                            "--batch", str(a.batch)], check=True)
        return
    names = [x for x in a.shapes.split(",") if x] or list(OWN_SHAPES)
    for name in names:
        sh = SHAPES[name]
        sizes = parse_sizes(a.n) if a.n else sh.sizes
        for label, unit, cost in run_shape(sh, sizes, a.reps, a.seed):
            cells = "  ".join(f"{sh.size_name}={size:.0e}: {fmt_cost(cost[size])}" for size in sizes if size in cost)
            print(f"{sh.name:15s} {label:12s} per {unit:7s} {cells}   growth {cost[sizes[-1]] / cost[sizes[0]]:6.2f}x",
                  flush=True)


if __name__ == "__main__":
    main()
