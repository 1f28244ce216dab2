"""Whether a change costs what it touches at any size: each shape runs at several sizes (by default
1e4, 1e5, 1e6) and prints its cost per unit (per input fact; per firing for the chain) and how much
that cost grows from the smallest size to the largest. A path that is linear stays near 1x; one that
costs the session's size, its highest id or its rule count shows as a growth well above it.

Keys are random, as users' data has them: a shape whose keys arrived in order would hide a walk
that only ordered ids keep short.

    python3 bench/scaling.py [--shapes a,d-chain,...] [--n 1e4,1e5,1e6] [--reps 3] [--clock cpu] [--list]

Each repetition runs in a fresh session with the garbage collector off while it is timed; the table
shows medians. The machine is shared: compare builds in the same minutes, interleaved.

A shape is a function (size, rng) -> [Phase, ...], registered with @shape: it builds its data,
times what it measures and returns one Phase per timed part (label, units, seconds). A shape whose
size is not a fact count (a rule count) gives its own default sizes and the name of its size.
"""

from __future__ import annotations

import argparse
import gc
import statistics
import sys
import time
from dataclasses import dataclass
from typing import Callable

import numpy as np
import pyarrow as pa

import quarn


@dataclass
class Phase:
    label: str     # what was timed, e.g. "fire", "delete+fire"
    units: int     # facts (or firings) the time is divided by
    seconds: float
    unit: str = "fact"


@dataclass
class Shape:
    name: str
    run: Callable[[int, np.random.Generator], list]
    sizes: tuple
    size_name: str
    doc: str


SHAPES: dict = {}  # registration order is print order
DEFAULT_SIZES = (10_000, 100_000, 1_000_000)


def shape(name: str, sizes: tuple = DEFAULT_SIZES, size_name: str = "n"):
    """Registers fn(size, rng) -> [Phase] under `name`."""
    def register(fn):
        if name in SHAPES:
            raise ValueError(f"shape {name} registered twice")
        SHAPES[name] = Shape(name, fn, tuple(sizes), size_name, (fn.__doc__ or "").strip().splitlines()[0])
        return fn
    return register


CLOCK = time.perf_counter  # --clock cpu: time.process_time, which a loaded machine moves less


class Timer:
    """Times a block with the garbage collector off."""

    def __enter__(self):
        gc.collect()
        gc.disable()
        self.t0 = CLOCK()
        return self

    def __exit__(self, *exc):
        self.seconds = CLOCK() - self.t0
        gc.enable()


_ARROW = {"i64": pa.int64(), "bool": pa.bool_(), "String": pa.string()}


def table(schema: dict, **cols) -> pa.Table:
    return pa.table({c: pa.array(v, type=_ARROW[schema[c]]) for c, v in cols.items()})


def fire_limit(n: int) -> int:
    return 4 * n + 1000


# ------------------------------------------------------------------------------------------- shapes

CHAIN_SCHEMAS = {
    "Item": {"id": "i64", "next": "i64", "done": "bool"},
    "Counter": {"n": "i64", "phase": "String"},
}

# One state fact walks a chain of items laid in random order; every firing modifies it and so
# re-activates the other rule, and between firings each rule is unlinked in turn (its counter
# pattern holds no fact): the per-firing work of a state machine.
CHAIN_RULES = '''
rule "take"
when
    $c : Counter(phase == "take", $r : n > 0)
    $i : Item(id == $r, done == false)
then
    modify($i) { setDone(true) }
    modify($c) { setPhase("advance") }
end

rule "advance"
when
    $c : Counter(phase == "advance", $r : n)
    $i : Item(id == $r, done == true, $nx : next)
then
    modify($c) { setPhase("take"), setN($nx) }
end
'''


@shape("d-chain")
def chain(n, rng):
    """one counter walks n items chained in random order (2n firings); cost per firing"""
    order = rng.permutation(n) + 1
    nxt = np.zeros(n + 1, dtype=np.int64)
    nxt[order[:-1]] = order[1:]
    items = table(CHAIN_SCHEMAS["Item"], id=np.arange(1, n + 1), next=nxt[1:], done=np.zeros(n, dtype=bool))
    counter = table(CHAIN_SCHEMAS["Counter"], n=[int(order[0])], phase=["take"])
    s = quarn.Session(CHAIN_RULES, schemas=CHAIN_SCHEMAS)
    s.insert("Item", items)
    s.insert("Counter", counter)
    with Timer() as t:
        r = s.fire(fire_limit=fire_limit(2 * n))
    assert r.fired == 2 * n, (r.fired, n)
    return [Phase("fire", r.fired, t.seconds, "firing")]


MINMAX_SCHEMAS = {"Store": {"id": "i64"}, "Sale": {"id": "i64", "store": "i64", "amount": "i64"}}

MINMAX_RULES = '''
rule "hi"
when
    $s : Store($id : id)
    accumulate(Sale(store == $id, $a : amount); $hi : max($a))
then
end

rule "lo"
when
    $s : Store($id : id)
    accumulate(Sale(store == $id, $a : amount); $lo : min($a))
then
end
'''


@shape("minmax-delete")
def minmax_delete(n, rng):
    """every source of one store's max and min deleted in one batch; cost per source"""
    # Amounts rise with the handles, and a batch is walked newest first: each delete takes away the
    # current max, the adversarial order for a recompute per removal.
    s = quarn.Session(MINMAX_RULES, schemas=MINMAX_SCHEMAS)
    s.insert("Store", table(MINMAX_SCHEMAS["Store"], id=[0]))
    handles = s.insert("Sale", table(MINMAX_SCHEMAS["Sale"], id=np.arange(n), store=np.zeros(n, dtype=np.int64),
                                     amount=np.arange(n)))
    s.fire(fire_limit=fire_limit(n))
    with Timer() as t:
        for h in handles:
            s.delete(h)
        s.fire(fire_limit=fire_limit(n))
    return [Phase("delete+fire", n, t.seconds)]


STRING_SCHEMAS = {
    "Customer": {"id": "String", "region": "i64"},
    "Order": {"id": "i64", "customer": "String", "total": "i64"},
    "Line": {"order": "i64", "customer": "String"},
}

STRING_RULES = '''
rule "line"
when
    $o : Order($c : customer)
    $cu : Customer(id == $c)
then
    insert(new Line($o.getId(), $c));
end
'''


def random_names(rng, count: int, prefix: str) -> list:
    """Distinct strings of 12-20 characters in random order, as ids from another system look."""
    ids = rng.permutation(count)
    return [f"{prefix}-{k * 2654435761 % (1 << 40):013x}" for k in ids]


@shape("string-join")
def string_join(n, rng):
    """n orders joined to n/10 customers on a string id (90 % match); cost per input fact"""
    nc = max(n // 10, 1)
    names = random_names(rng, 2 * nc, "cust")
    cust_of = rng.integers(0, nc, n)
    miss = rng.random(n) >= 0.9
    cust_of[miss] += nc
    s = quarn.Session(STRING_RULES, schemas=STRING_SCHEMAS)
    customers = table(STRING_SCHEMAS["Customer"], id=names[:nc], region=rng.integers(0, 10, nc))
    orders = table(STRING_SCHEMAS["Order"], id=np.arange(n), customer=[names[k] for k in cust_of],
                   total=rng.integers(1, 10_000, n))
    # The tables are built before the clock starts: building Python strings
    # is the caller's cost, not the engine's.
    with Timer() as t_in:
        s.insert("Customer", customers)
        s.insert("Order", orders)
    with Timer() as t:
        r = s.fire(fire_limit=fire_limit(n))
    assert r.fired == int((~miss).sum()), (r.fired, n)
    units = n + nc
    return [Phase("insert", units, t_in.seconds), Phase("fire", units, t.seconds)]


JOIN_SCHEMAS = {
    "Customer": {"id": "i64", "region": "i64"},
    "Product": {"id": "i64", "price": "i64"},
    "Order": {"id": "i64", "customer": "i64", "product": "i64", "total": "i64"},
    "Line": {"order": "i64", "customer": "i64", "product": "i64", "total": "i64"},
}

JOIN_RULES = '''
rule "line"
when
    $o : Order($c : customer, $p : product)
    $cu : Customer(id == $c)
    $pr : Product(id == $p)
then
    insert(new Line($o.getId(), $c, $p, $o.getTotal()));
end
'''


@shape("a-join")
def join3(n, rng):
    """n orders, n/10 customers, n/100 products, random keys, 3-way join; cost per input fact"""
    nc, npr = max(n // 10, 1), max(n // 100, 1)
    cust = rng.integers(0, nc, n)
    prod = rng.integers(0, npr, n)
    bad = rng.random(n) >= 0.9
    miss_cust = bad & (rng.random(n) < 0.5)
    cust[miss_cust] += nc
    prod[bad & ~miss_cust] += npr
    sc = JOIN_SCHEMAS
    s = quarn.Session(JOIN_RULES, schemas=sc)
    with Timer() as t_in:
        s.insert("Customer", table(sc["Customer"], id=rng.permutation(nc), region=rng.integers(0, 10, nc)))
        s.insert("Product", table(sc["Product"], id=rng.permutation(npr), price=rng.integers(1, 1000, npr)))
        s.insert("Order", table(sc["Order"], id=rng.permutation(n), customer=cust, product=prod,
                                total=rng.integers(1, 10_000, n)))
    with Timer() as t:
        s.fire(fire_limit=fire_limit(n))
    units = n + nc + npr
    return [Phase("insert", units, t_in.seconds), Phase("fire", units, t.seconds)]


ACC_SCHEMAS = {
    "Store": {"id": "i64"},
    "Sale": {"id": "i64", "store": "i64", "amount": "i64"},
    "StoreTotal": {"store": "i64", "sum": "i64", "count": "i64", "min": "i64", "max": "i64"},
}

ACC_RULES = '''
rule "store_total"
when
    $s : Store($id : id)
    accumulate(Sale(store == $id, $a1 : amount); $sum : sum($a1))
    accumulate(Sale(store == $id); $cnt : count())
    accumulate(Sale(store == $id, $a2 : amount); $lo : min($a2))
    accumulate(Sale(store == $id, $a3 : amount); $hi : max($a3))
then
    insert(new StoreTotal($id, $sum, $cnt, $lo, $hi));
end
'''


@shape("b-accumulate")
def accumulate4(n, rng):
    """n sales over n/100 stores, sum/count/min/max per store; cost per input fact"""
    ns = max(n // 100, 1)
    store = rng.integers(0, ns, n)
    store[:ns] = np.arange(ns)
    rng.shuffle(store)
    sc = ACC_SCHEMAS
    s = quarn.Session(ACC_RULES, schemas=sc)
    with Timer() as t_in:
        s.insert("Store", table(sc["Store"], id=rng.permutation(ns)))
        s.insert("Sale", table(sc["Sale"], id=np.arange(n), store=store, amount=rng.integers(1, 1001, n)))
    with Timer() as t:
        r = s.fire(fire_limit=fire_limit(n))
    assert r.fired == ns, (r.fired, ns)
    return [Phase("insert", n + ns, t_in.seconds), Phase("fire", n + ns, t.seconds)]


NOT_SCHEMAS = {
    "Account": {"id": "i64"},
    "Txn": {"id": "i64", "account": "i64", "amount": "i64"},
    "Dormant": {"id": "i64"},
    "Active": {"id": "i64"},
}

NOT_RULES = '''
rule "dormant"
when
    $a : Account($id : id)
    not Txn(account == $id)
then
    insert(new Dormant($id));
end

rule "active"
when
    $a : Account($id : id)
    exists Txn(account == $id)
then
    insert(new Active($id));
end
'''


@shape("c-not-exists")
def not_exists(n, rng):
    """n accounts, n transactions over a random half of them, not and exists; cost per input fact"""
    half = rng.permutation(n)[: max(n // 2, 1)]
    sc = NOT_SCHEMAS
    s = quarn.Session(NOT_RULES, schemas=sc)
    with Timer() as t_in:
        s.insert("Account", table(sc["Account"], id=rng.permutation(n)))
        s.insert("Txn", table(sc["Txn"], id=np.arange(n), account=half[rng.integers(0, len(half), n)],
                              amount=rng.integers(1, 1001, n)))
    with Timer() as t:
        r = s.fire(fire_limit=fire_limit(n))
    assert r.fired == n, (r.fired, n)
    return [Phase("insert", 2 * n, t_in.seconds), Phase("fire", 2 * n, t.seconds)]


TMS_SCHEMAS = {"Base": {"id": "i64"}, "L1": {"id": "i64"}, "L2": {"id": "i64"}}

TMS_RULES = '''
rule "hold"
when
    $b : Base($i : id)
then
    insertLogical(new L1($i));
end

rule "echo"
when
    $l : L1($i : id)
then
    insertLogical(new L2($i));
end
'''


@shape("e-tms")
def tms_cascade(n, rng):
    """n Base facts each holding L1 holding L2, then every Base deleted one call at a time; per Base"""
    s = quarn.Session(TMS_RULES, schemas=TMS_SCHEMAS)
    handles = s.insert("Base", table(TMS_SCHEMAS["Base"], id=rng.permutation(n)))
    with Timer() as t:
        r = s.fire(fire_limit=fire_limit(n))
    assert r.fired == 2 * n, (r.fired, n)
    del r
    with Timer() as t_del:
        for h in handles:
            s.delete(h)
        s.fire(fire_limit=fire_limit(n))
    return [Phase("fire", n, t.seconds), Phase("delete+fire", n, t_del.seconds)]


# --------------------------------------------------------------------------------------------- driver

def parse_sizes(text: str) -> tuple:
    return tuple(int(float(x)) for x in text.split(",") if x)


def fmt_cost(seconds: float) -> str:
    ns = seconds * 1e9
    if ns < 10_000:
        return f"{ns:8.0f} ns"
    return f"{ns / 1000:8.1f} us"


def run_shape(sh: Shape, sizes: tuple, reps: int, seed: int) -> list:
    """[(label, unit, {size: median cost per unit})] in the order the shape returned its phases."""
    costs: dict = {}
    order: list = []
    for size in sizes:
        for rep in range(reps):
            rng = np.random.default_rng([seed, size, rep])
            for ph in sh.run(size, rng):
                if (ph.label, ph.unit) not in costs:
                    costs[(ph.label, ph.unit)] = {}
                    order.append((ph.label, ph.unit))
                costs[(ph.label, ph.unit)].setdefault(size, []).append(ph.seconds / max(ph.units, 1))
            gc.collect()
        for key in order:
            if size in costs[key]:
                print(f"  {sh.name} {key[0]} {sh.size_name}={size:g}: {fmt_cost(statistics.median(costs[key][size]))}"
                      f" per {key[1]}", file=sys.stderr, flush=True)
    return [(label, unit, {s: statistics.median(v) for s, v in costs[(label, unit)].items()}) for label, unit in order]


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=" ".join(__doc__.split("\n\n")[0].split()))
    ap.add_argument("--shapes", default=",".join(SHAPES), help="comma-separated shape names")
    ap.add_argument("--n", default=None, help="comma-separated sizes (default: each shape's own)")
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--seed", type=int, default=20261206)
    ap.add_argument("--clock", choices=("wall", "cpu"), default="wall",
                    help="cpu: the process's CPU time, steadier on a shared machine")
    ap.add_argument("--list", action="store_true", help="list the shapes and exit")
    args = ap.parse_args(argv)
    global CLOCK
    CLOCK = time.process_time if args.clock == "cpu" else time.perf_counter
    if args.list:
        for sh in SHAPES.values():
            print(f"{sh.name:24} {sh.doc}")
        return 0
    names = [x for x in args.shapes.split(",") if x]
    unknown = [x for x in names if x not in SHAPES]
    if unknown:
        ap.error(f"unknown shapes: {', '.join(unknown)} (known: {', '.join(SHAPES)})")
    rows = []
    for name in names:
        sh = SHAPES[name]
        sizes = parse_sizes(args.n) if args.n else sh.sizes
        for label, unit, cost in run_shape(sh, sizes, args.reps, args.seed):
            rows.append((sh, label, unit, sizes, cost))
    print(f"\n{args.clock} time, median of {args.reps}; cost per unit at each size, growth = largest size / smallest")
    for sh, label, unit, sizes, cost in rows:
        cells = "  ".join(f"{sh.size_name}={s:<8g}{fmt_cost(cost[s])}" for s in sizes if s in cost)
        growth = cost[sizes[-1]] / cost[sizes[0]] if sizes[0] in cost and sizes[-1] in cost and cost[sizes[0]] else float("nan")
        print(f"{sh.name:18} {label:12} per {unit:7} {cells}  growth {growth:5.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
